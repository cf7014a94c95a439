# Sourced by the tests that run the README's recipes: they run the README's own lines, so that a recipe
# changed there without its test (or the other way round) fails the test instead of passing on an old copy.

# readme_recipe README NAME [FROM TO]...: the code block that follows the line "<!-- recipe NAME: ... -->",
# each FROM replaced by TO (the test's own folders, hosts and waits). Fails when the block is not there once
# or a FROM is not in it.
readme_recipe() {
  local readme=$1 name=$2 text count
  shift 2
  count=$(grep -c "^<!-- recipe $name:" "$readme")
  [ "$count" -eq 1 ] || { echo "README: $count blocks marked 'recipe $name'" >&2; return 1; }
  text=$(awk -v mark="<!-- recipe $name:" '
    index($0, mark) == 1 { found = 1; next }
    found && /^```/ { if (inside) exit; inside = 1; next }
    inside { print }' "$readme")
  [ -n "$text" ] || { echo "README: no code block after 'recipe $name'" >&2; return 1; }
  while [ $# -ge 2 ]; do
    [[ $text == *"$1"* ]] || { echo "README: recipe $name no longer holds '$1'" >&2; return 1; }
    text=${text//"$1"/"$2"}
    shift 2
  done
  printf '%s\n' "$text"
}
