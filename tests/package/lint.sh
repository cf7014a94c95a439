#!/usr/bin/env bash
# Checks one of the files that Orfeo installs beside its programs with the tool made for it; any
# complaint fails the check.
#   lint.sh desktop DESKTOP_FILE
#   lint.sh metainfo METAINFO_FILE VERSION
#   lint.sh man MAN_PAGE VERSION
#   lint.sh completion SCRIPT
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
    output=$(appstreamcli validate --no-net "$file" 2>&1)
    status=$?
    printf '%s\n' "$output"
    [ "$status" -eq 0 ] || fail "appstreamcli validate exited with status $status"
    # Errors, warnings and infos are lines "E: ...", "W: ...", "I: ..."; pedantic notes are let through.
    if grep -Eq '^ *[EWI]: ' <<<"$output"; then
      fail "appstreamcli validate reported issues"
    fi
    grep -q "<release version=\"$version\"" "$file" || fail "no <release> for version $version"
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
  *)
    echo "usage: lint.sh desktop|metainfo|man|completion FILE [VERSION]" >&2
    exit 2
    ;;
esac
echo "ok: $kind $file"
