#!/usr/bin/env bash
# Installs the build tree into a scratch folder, as a package would (prefix /usr under a DESTDIR), and
# checks that exactly the expected files are there, that the programs run, and that the installed desktop
# entry, metainfo and manual pages pass their validators.
#   install_test.sh BUILD_DIR VERSION FILE...   (FILE: a path under the prefix, e.g. bin/orfeo-cli)
set -u
build=$1
version=$2
shift 2

scratch=$(mktemp -d "${TMPDIR:-/tmp}/orfeo-install.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

if ! DESTDIR="$scratch/root" cmake --install "$build" --prefix /usr >"$scratch/install.log" 2>&1; then
  cat "$scratch/install.log" >&2
  echo "FAIL: cmake --install failed" >&2
  exit 1
fi
prefix=$scratch/root/usr

# Exactly the expected files, nothing more.
printf '%s\n' "$@" | LC_ALL=C sort >"$scratch/wanted"
(cd "$prefix" && find . \( -type f -o -type l \) | sed 's|^\./||' | LC_ALL=C sort) >"$scratch/got"
if ! diff -u "$scratch/wanted" "$scratch/got" >&2; then
  fail "the installed files differ from the list above (- wanted, + installed)"
fi

# The programs are executable, and orfeo-cli says its version.
for program in "$prefix"/bin/* "$prefix"/libexec/orfeo/*; do
  [ -x "$program" ] || fail "$program is not executable"
done
if [ -x "$prefix/bin/orfeo-cli" ]; then
  got=$("$prefix/bin/orfeo-cli" --version 2>&1)
  [ "$got" = "orfeo-cli $version" ] || fail "installed orfeo-cli --version says '$got'"
fi

# Data files are readable by all and not executable.
while IFS= read -r file; do
  [ -e "$prefix/$file" ] || continue
  mode=$(stat -c %a "$prefix/$file")
  [ "$mode" = 644 ] || fail "$file has mode $mode, not 644"
done < <(grep -v '^bin/\|^libexec/' "$scratch/wanted")

# The installed orfeo-cli finds its installed page worker and writes every page of a sample book.
if [ -x "$prefix/bin/orfeo-cli" ] && [ -n "${ORFEO_SAMPLES:-}" ]; then
  cp -r "$ORFEO_SAMPLES/book" "$scratch/book"
  "$prefix/bin/orfeo-cli" -q back "$scratch/book" >"$scratch/run.log" 2>&1 ||
    fail "the installed orfeo-cli did not write the sample book: $(cat "$scratch/run.log")"
fi

# The manual pages as installed (gzipped) format without complaint.
for page in "$prefix"/share/man/man1/*.1.gz; do
  [ -e "$page" ] || continue
  gzip -t "$page" || fail "$page is not a valid gzip file"
  complaints=$(MANWIDTH=80 LC_ALL=C.UTF-8 man --warnings -l "$page" 2>&1 >/dev/null)
  [ -z "$complaints" ] || fail "man --warnings -l $page: $complaints"
done

# The desktop entry, its icon, and the metainfo that names it, as a software centre sees them.
for entry in "$prefix"/share/applications/*.desktop; do
  [ -e "$entry" ] || continue
  output=$(desktop-file-validate "$entry" 2>&1) && [ -z "$output" ] || fail "desktop-file-validate $entry: $output"
  icon=$(sed -n 's/^Icon=//p' "$entry")
  compgen -G "$prefix/share/icons/hicolor/*/apps/$icon.png" >/dev/null ||
    fail "$entry names the icon '$icon', which is not installed in the hicolor theme"
done
if compgen -G "$prefix/share/metainfo/*.xml" >/dev/null; then
  # validate-tree checks, among the rest, that the metainfo's launchable is an installed desktop entry.
  output=$(appstreamcli validate-tree --no-net "$scratch/root" 2>&1) || fail "appstreamcli validate-tree: $output"
  if grep -Eq '^ *[EWI]: ' <<<"$output"; then
    fail "appstreamcli validate-tree reported issues: $output"
  fi
fi

if [ "$failures" -ne 0 ]; then
  echo "$failures install checks failed" >&2
  exit 1
fi
echo "installed as expected: $*"
