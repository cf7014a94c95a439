#!/usr/bin/env bash
# Drives orfeo-cli's bash completion function with bash-completion's helpers loaded, in a scratch folder
# with two folders and a file, and compares what it offers with what it should.
#   completion_test.sh COMPLETION_SCRIPT [BASH_COMPLETION]
set -u
script=$1
helpers=${2:-/usr/share/bash-completion/bash_completion}
if [ ! -r "$helpers" ]; then
  echo "bash-completion's helpers are missing ($helpers): install the Debian package bash-completion" >&2
  exit 1
fi

scratch=$(mktemp -d "${TMPDIR:-/tmp}/orfeo-completion.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/book" "$scratch/book2" "$scratch/other"
touch "$scratch/bfile"
cd "$scratch" || exit 1

# shellcheck disable=SC1090
source "$helpers" || exit 1
# shellcheck disable=SC1090
source "$script" || exit 1

failures=0
check_registration() {
  local got
  got=$(complete -p orfeo-cli 2>&1)
  if [ "$got" != "complete -F _orfeo_cli orfeo-cli" ]; then
    echo "FAIL: orfeo-cli's completion is registered as: $got" >&2
    failures=$((failures + 1))
  fi
}

# expect "WANTED (sorted, space separated)" LINE WORD...: completes the last WORD of LINE, as bash would
# after splitting LINE into WORDs.
expect() {
  local wanted=$1 line=$2
  shift 2
  COMP_WORDS=("$@")
  COMP_CWORD=$(($# - 1))
  COMP_LINE=$line
  COMP_POINT=${#line}
  COMPREPLY=()
  _orfeo_cli orfeo-cli "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}" 2>/dev/null
  local got
  got=$(printf '%s\n' "${COMPREPLY[@]}" | sed '/^$/d' | LC_ALL=C sort | paste -sd ' ' -)
  if [ "$got" = "$wanted" ]; then
    echo "ok: '$line' -> '$got'"
  else
    echo "FAIL: '$line' offered '$got', wanted '$wanted'" >&2
    failures=$((failures + 1))
  fi
}

check_registration
expect "back"               "orfeo-cli ba"                  orfeo-cli ba
expect "merge"              "orfeo-cli m"                   orfeo-cli m
expect "back merge"         "orfeo-cli "                    orfeo-cli ""
expect "back"               "orfeo-cli -j 2 -q b"           orfeo-cli -j 2 -q b
expect "--jobs"             "orfeo-cli --j"                 orfeo-cli --j
expect "--max-megapixels"   "orfeo-cli --m"                 orfeo-cli --m
expect "--help"             "orfeo-cli --h"                 orfeo-cli --h
expect "--quiet"            "orfeo-cli --q"                 orfeo-cli --q
expect "--verbose --version" "orfeo-cli --v"                 orfeo-cli --v
expect "--dry-run"          "orfeo-cli --d"                 orfeo-cli --d
expect "--dry-run --from --help --jobs --max-megapixels --null --quiet --report --verbose --version -0 -V -j -n -q -v" "orfeo-cli -" orfeo-cli -
expect "merge"              "orfeo-cli -n m"                orfeo-cli -n m
expect "book book2"         "orfeo-cli --dry-run merge book b" orfeo-cli --dry-run merge book b
expect ""                   "orfeo-cli -j "                 orfeo-cli -j ""
expect ""                   "orfeo-cli --max-megapixels "   orfeo-cli --max-megapixels ""
expect ""                   "orfeo-cli --jobs="             orfeo-cli --jobs = ""
expect "book book2"         "orfeo-cli back b"              orfeo-cli back b
expect "book book2 other"   "orfeo-cli back "               orfeo-cli back ""
expect "book book2"         "orfeo-cli back -q b"           orfeo-cli back -q b
expect "book book2 other"   "orfeo-cli back book "          orfeo-cli back book ""
expect "book book2"         "orfeo-cli -j 2 merge b"        orfeo-cli -j 2 merge b
expect "book book2"         "orfeo-cli merge book b"        orfeo-cli merge book b
expect "--jobs"             "orfeo-cli merge book --j"      orfeo-cli merge book --j
expect "book book2 other"   "orfeo-cli merge book book2 "   orfeo-cli merge book book2 ""

if [ "$failures" -ne 0 ]; then
  echo "$failures completion checks failed" >&2
  exit 1
fi
echo "every completion check passed"
