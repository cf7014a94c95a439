#!/usr/bin/env bash
# Makes the Debian package of the build tree with CPack in a scratch folder (nothing is rebuilt) and
# checks its contents and its control fields, and that the packaged orfeo-cli runs.
#   deb_test.sh CPACK_CONFIG VERSION FILE...   (FILE: a path under /usr, e.g. bin/orfeo-cli)
set -u
config=$1
version=$2
shift 2

scratch=$(mktemp -d "${TMPDIR:-/tmp}/orfeo-deb.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

if ! cpack --config "$config" -G DEB -B "$scratch/out" >"$scratch/cpack.log" 2>&1; then
  cat "$scratch/cpack.log" >&2
  echo "FAIL: cpack -G DEB failed" >&2
  exit 1
fi
debs=("$scratch"/out/*.deb)
if [ ${#debs[@]} -ne 1 ] || [ ! -f "${debs[0]}" ]; then
  cat "$scratch/cpack.log" >&2
  echo "FAIL: cpack made no single .deb: ${debs[*]}" >&2
  exit 1
fi
deb=${debs[0]}
echo "package: $(basename "$deb")"

# The files in the package: exactly the expected ones, under /usr.
printf './usr/%s\n' "$@" | LC_ALL=C sort >"$scratch/wanted"
dpkg-deb -c "$deb" | tee "$scratch/listing"
awk '$1 !~ /^d/ { print $6 }' "$scratch/listing" | LC_ALL=C sort >"$scratch/got"
if ! diff -u "$scratch/wanted" "$scratch/got" >&2; then
  fail "the package's files differ from the list above (- wanted, + in the package)"
fi

# Control fields.
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = orfeo ] || fail "Package is '$(field Package)'"
[ "$(field Version)" = "$version" ] || fail "Version is '$(field Version)', not $version"
[ "$(field Section)" = graphics ] || fail "Section is '$(field Section)'"
[[ $(field Maintainer) =~ ^[^\<]+\ \<[^\>@]+@[^\>]+\>$ ]] || fail "Maintainer is '$(field Maintainer)'"
[ "$(field Description | wc -l)" -ge 2 ] || fail "the Description has no long part"
depends=$(field Depends)
echo "Depends: $depends"
# dpkg-shlibdeps found the libraries the programs link to.
for library in libc6 libfreeimage3 libtbb12; do
  [[ $depends == *"$library "* || $depends == *"$library," || $depends == *"$library" ]] ||
    fail "Depends does not name $library"
done

# The packaged orfeo-cli runs.
dpkg-deb -x "$deb" "$scratch/root"
got=$("$scratch/root/usr/bin/orfeo-cli" --version 2>&1)
[ "$got" = "orfeo-cli $version" ] || fail "the packaged orfeo-cli --version says '$got'"

if [ "$failures" -ne 0 ]; then
  echo "$failures package checks failed" >&2
  exit 1
fi
echo "the package holds what it should"
