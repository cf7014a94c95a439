#!/usr/bin/env bash
# Each page is on the disk under its name before the run says so: after every rename into pics/, the run
# opens pics/ and flushes it (a power cut could otherwise lose the new name). Read off the system calls.
#   flush_test.sh ORFEO_CLI SAMPLES
set -u
cli=$1 samples=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cp -r "$samples/book" "$scratch/book"
rm -rf "$scratch/book/pics"
# LeakSanitizer cannot work under ptrace: in a sanitizer build, the traced run does without it.
ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0" \
  strace -f -qq -e trace=rename,renameat,renameat2,openat,fsync -o "$scratch/calls" \
    "$cli" -q -j 1 back "$scratch/book" || { echo "FAIL: the run failed" >&2; exit 1; }
pages=$(ls "$scratch/book/pics" | wc -l)
[ "$pages" -eq 3 ] || { echo "FAIL: $pages pages written" >&2; exit 1; }
# For each rename into pics/: the same process then opens pics/ as a folder and fsyncs that descriptor.
awk -v folder="$scratch/book/pics/" '
  /rename.*\.tmp", "/ && index($0, folder) { pending[$1] = 1; renames++ ; next }
  pending[$1] && /openat\(.*O_DIRECTORY/ && index($0, folder) { fd[$1] = $NF; next }
  pending[$1] && fd[$1] != "" && $0 ~ "fsync\\(" fd[$1] "\\)" { flushed++; pending[$1] = 0; fd[$1] = ""; next }
  END {
    if (renames != 3 || flushed != renames) { printf "FAIL: %d renames, %d folder flushes after them\n", renames, flushed > "/dev/stderr"; exit 1 }
    print renames " pages renamed into place, each followed by a flush of the folder"
  }' "$scratch/calls"
