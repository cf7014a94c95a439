#!/usr/bin/env bash
# Checks one of the files that Orfeo installs beside its programs with the tool made for it; any
# complaint fails the check.
#   lint.sh desktop DESKTOP_FILE
#   lint.sh metainfo METAINFO_FILE VERSION
#   lint.sh man MAN_PAGE VERSION
#   lint.sh completion SCRIPT
#   lint.sh copyright COPYRIGHT_FILE
#   lint.sh changelog CHANGELOG VERSION
set -u
kind=$1
file=$2
version=${3:-}

fail() {
  echo "FAIL: $file: $*" >&2
  exit 1
}

need() {
  command -v "$1" >/dev/null || fail "$1 is missing: install the Debian package $2 (tools/setup.sh lists it)"
}

# run_silent COMMAND...: the command must succeed and print nothing.
run_silent() {
  local output status
  output=$("$@" 2>&1)
  status=$?
  [ -n "$output" ] && printf '%s\n' "$output" >&2
  [ "$status" -eq 0 ] || fail "$1 exited with status $status"
  [ -z "$output" ] || fail "$1 complained"
}

case $kind in
  desktop)
    need desktop-file-validate desktop-file-utils
    run_silent desktop-file-validate "$file"
    ;;
  metainfo)
    need appstreamcli appstream
    output=$(appstreamcli validate --pedantic --no-net "$file" 2>&1)
    status=$?
    printf '%s\n' "$output"
    [ "$status" -eq 0 ] || fail "appstreamcli validate exited with status $status"
    # Errors, warnings, infos and pedantic notes are lines "E: ...", "W: ...", "I: ...", "P: ...".
    if grep -Eq '^ *[EWIP]: ' <<<"$output"; then
      fail "appstreamcli validate --pedantic reported issues"
    fi
    grep -q "<release version=\"$version\"" "$file" || fail "no <release> for version $version"
    grep -q "<project_license>GPL-3.0-or-later</project_license>" "$file" || fail "no GPL-3.0-or-later project_license"
    ;;
  man)
    need groff groff-base
    need man man-db
    run_silent groff -man -ww -z "$file"
    # man's own formatting, with groff's warnings on: only its complaints are kept.
    complaints=$(MANWIDTH=80 LC_ALL=C.UTF-8 man --warnings -l "$file" 2>&1 >/dev/null)
    status=$?
    [ -n "$complaints" ] && printf '%s\n' "$complaints" >&2
    [ "$status" -eq 0 ] || fail "man exited with status $status"
    [ -z "$complaints" ] || fail "man --warnings complained"
    # man-db's whatis must find the NAME section.
    lexgrog "$file" >/dev/null || fail "lexgrog cannot parse the NAME section"
    grep -q "^\.TH .*\"Orfeo $version\"" "$file" || fail "the .TH line does not name Orfeo $version"
    ;;
  completion)
    run_silent bash -n "$file"
    ;;
  copyright)
    # Debian's machine-readable format: the format line, a header naming the work, a Files stanza for
    # everything, and the licence it names spelled out with the path of Debian's copy of its text.
    [ "$(head -n 1 "$file")" = "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/" ] ||
      fail "the first line is not the copyright-format 1.0 Format field"
    grep -q '^Upstream-Name: Orfeo$' "$file" || fail "no Upstream-Name"
    grep -q '^Files: \*$' "$file" || fail "no 'Files: *' stanza"
    grep -q '^Copyright: ' "$file" || fail "no Copyright field"
    [ "$(grep -c '^License: GPL-3+$' "$file")" -eq 2 ] || fail "GPL-3+ is not both named and spelled out"
    grep -q '/usr/share/common-licenses/GPL-3' "$file" || fail "no pointer to /usr/share/common-licenses/GPL-3"
    grep -q 'either version 3 of the License, or' "$file" || fail "the 'or later' grant is missing"
    ! grep -nP '\t| +$' "$file" || fail "tabs or trailing blanks"
    ;;
  changelog)
    need dpkg-parsechangelog dpkg-dev
    got=$(dpkg-parsechangelog -l "$file" -S Version 2>&1) || fail "dpkg-parsechangelog: $got"
    [ "$got" = "$version" ] || fail "the newest entry is for version '$got', not $version"
    ;;
  *)
    echo "usage: lint.sh desktop|metainfo|man|completion|copyright|changelog FILE [VERSION]" >&2
    exit 2
    ;;
esac
echo "ok: $kind $file"
