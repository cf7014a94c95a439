# Sourced by the tests that run the recipes of a page in docs/: they run the page's own lines, so that a
# recipe changed there without its test (or the other way round) fails the test instead of passing on an old
# copy.

# docs_recipe PAGE NAME [FROM TO]...: the code block that follows the line "<!-- recipe NAME: ... -->" in
# PAGE, each FROM replaced by TO (the test's own folders, hosts and waits). Fails when the block is not there
# once or a FROM is not in it.
docs_recipe() {
  local page=$1 name=$2 text count
  shift 2
  count=$(grep -c "^<!-- recipe $name:" "$page")
  [ "$count" -eq 1 ] || { echo "$page: $count blocks marked 'recipe $name'" >&2; return 1; }
  text=$(awk -v mark="<!-- recipe $name:" '
    index($0, mark) == 1 { found = 1; next }
    found && /^```/ { if (inside) exit; inside = 1; next }
    inside { print }' "$page")
  [ -n "$text" ] || { echo "$page: no code block after 'recipe $name'" >&2; return 1; }
  while [ $# -ge 2 ]; do
    [[ $text == *"$1"* ]] || { echo "$page: recipe $name no longer holds '$1'" >&2; return 1; }
    text=${text//"$1"/"$2"}
    shift 2
  done
  printf '%s\n' "$text"
}
