#!/usr/bin/env bash
# Fails, naming each one, when a function of the programs is longer than 60 lines, as universal-ctags
# measures it (from its first line to its closing brace; a lambda counts in its own right and in the
# function around it).
#   function_length.sh SOURCE_DIR
# The programs' code is every top-level folder but the tests, benchmarks, fuzzers, samples, build folders,
# documentation, packaging and tools, so that a new folder is measured without a word here.
set -euo pipefail
cd "$1"
limit=60

# Debian names universal-ctags' program ctags-universal; ctags may be another program.
ctags=ctags-universal
if ! command -v "$ctags" >/dev/null; then
  ctags=ctags
  if ! "$ctags" --version 2>/dev/null | grep -q 'Universal Ctags'; then
    echo "universal-ctags is needed to measure the functions (Debian: universal-ctags)" >&2
    exit 1
  fi
fi

folders=()
for folder in */; do
  folder=${folder%/}
  case $folder in
    tests | bench | fuzz | samples | build* | docs | packaging | debian | tools | cmake | desktop) ;;
    *) folders+=("$folder") ;;
  esac
done

# One line a function: FILE:LINE: NAME, N lines. A lambda's tag is an anonymous name whose scope is the
# function that holds it.
"$ctags" -R --languages=C++ --kinds-C++=f --fields=+neZ -f - "${folders[@]}" | awk -F'\t' -v limit="$limit" -v folders="${folders[*]}" '
  {
    line = 0; end = 0; scope = ""
    for (i = 4; i <= NF; ++i) {
      if ($i ~ /^line:/) line = substr($i, 6)
      else if ($i ~ /^end:/) end = substr($i, 5)
      else if ($i ~ /^scope:/) scope = substr($i, 7)
    }
    ++measured
    if (!line || !end) { print $2 ": " $1 ": ctags did not find its end"; ++long; next }
    lines = end - line + 1
    if (lines <= limit) next
    kind = scope; sub(/:.*/, "", kind)
    sub(/^[a-z]+:/, "", scope)
    gsub(/__anon[0-9a-f]+(::)?/, "", scope)
    owner = scope; sub(/.*::/, "", owner)
    sub(/^orfeo::/, "", scope)
    if ($1 ~ /^__anon/) name = "a lambda in " scope
    else if (kind == "class" || kind == "struct") name = owner "::" $1
    else name = $1
    print $2 ":" line ": " name ", " lines " lines"
    ++long
  }
  END {
    if (long) {
      print long " function(s) over " limit " lines: split them into the steps they take." > "/dev/stderr"
      exit 1
    }
    if (measured < 100) { print "ctags measured only " measured " functions" > "/dev/stderr"; exit 1 }
    print measured " functions in " folders ", none over " limit " lines."
  }'
