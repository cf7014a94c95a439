#!/usr/bin/env bash
# The recipes for many machines, read from docs/many-machines.md and run as written (the folders, host names
# and waits are the test's own): GNU parallel over an OpenSSH server of the test's own on the loopback
# address (its own configuration, host key and user key, in a temporary folder; the machine's ssh set-up is
# not touched). node1 and node2 are hosts as the page asks for; blind logs in where the shared folder is
# empty, as on a host that does not see the share; down is a closed port. The books are small: one with a
# page without its mask, one with a space in its name, one with a new line in it, one in use by another run
# for a while, one that is gone by the time its job runs.
#
#   many_machines.sh ORFEO_CLI MAKE_PAGES SAME_PIXELS DOCS_PAGE
set -uo pipefail
cli=$(realpath "$1") make_pages=$(realpath "$2") same_pixels=$(realpath "$3") docs_page=$(realpath "$4")
source "$(dirname "${BASH_SOURCE[0]}")/docs_recipe.sh"
work=$(mktemp -d "${TMPDIR:-/tmp}/orfeo-hosts.XXXXXX")
cleanup() {
  [ -s "$work/sshd.pid" ] && kill "$(cat "$work/sshd.pid")" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*" >&2
  [ -s "$work/sshd.log" ] && sed 's/^/  sshd: /' "$work/sshd.log" | tail -20 >&2
  exit 1
}

# --- an ssh server on 127.0.0.1 ------------------------------------------------------------------------------
free_port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
port=$(free_port) blind_port=$(free_port) closed=$(free_port)
ssh-keygen -q -t ed25519 -N '' -f "$work/host_key" && ssh-keygen -q -t ed25519 -N '' -f "$work/user_key" ||
  fail "no keys"
cp "$work/user_key.pub" "$work/authorized_keys"
shared=$work/shared scans=$work/shared/scans rescans=$work/shared/rescans
mkdir -p "$work/bin" "$work/home" "$scans" "$rescans"
# "Installed on every host": orfeo-cli in the PATH of every login, through a stand-in that notes the host and
# the book of each call, so that the test can tell who ran what.
cat >"$work/bin/orfeo-cli" <<SCRIPT
#!/bin/bash
printf '%s %s\0' "\$ORFEO_TEST_HOST" "\${@: -1}" >>"$work/calls"
exec "$cli" "\$@"
SCRIPT
# A login (as host \$1) starts in its home, where parallel's work folders go (not in the machine's home).
cat >"$work/login" <<SCRIPT
#!/bin/sh
export ORFEO_TEST_HOST="\$1" PATH="$work/bin:\$PATH"
cd "$work/home" || exit 255
exec "\${SHELL:-/bin/sh}" -c "\$SSH_ORIGINAL_COMMAND"
SCRIPT
# blind's logins: the shared folder covered by an empty one in a mount namespace of their own, as a share
# that is not mounted leaves its mount point.
map=""
[ "$(id -u)" -eq 0 ] || map=--map-root-user
cat >"$work/blind" <<SCRIPT
#!/bin/sh
exec unshare --mount $map sh -c 'mount -t tmpfs blind "\$0" && exec "\$1" blind' "$shared" "$work/login"
SCRIPT
chmod +x "$work/bin/orfeo-cli" "$work/login" "$work/blind"
# MaxStartups: parallel's look at the hosts opens five connections to each at once, and by default sshd
# drops some of those beyond ten that are still logging in, which a loaded machine reaches.
cat >"$work/sshd_config" <<CONFIG
Port $port
Port $blind_port
ListenAddress 127.0.0.1
MaxStartups 100
HostKey $work/host_key
AuthorizedKeysFile $work/authorized_keys
PidFile $work/sshd.pid
StrictModes no
UsePAM no
PasswordAuthentication no
KbdInteractiveAuthentication no
PermitRootLogin prohibit-password
# A home of the logins' own: the machine's user's shell start-up files stay out (their output would garble
# parallel's look at the hosts).
SetEnv HOME=$work/home
ForceCommand $work/login node
Match LocalPort $blind_port
  ForceCommand $work/blind
CONFIG
cat >"$work/ssh_config" <<CONFIG
Host node1 node2
  HostName 127.0.0.1
  Port $port
Host blind
  HostName 127.0.0.1
  Port $blind_port
# Quiet: parallel 20221122 reads the hosts' answers and ssh's messages from one pipe, and a "Connection
# refused" landing within an answer once ended a run with "This should not happen".
Host down
  HostName 127.0.0.1
  Port $closed
  LogLevel QUIET
Host *
  User $(id -un)
  IdentityFile $work/user_key
  IdentitiesOnly yes
  UserKnownHostsFile /dev/null
  StrictHostKeyChecking no
  LogLevel ERROR
  BatchMode yes
  ConnectTimeout 5
CONFIG
# sshd run by root wants its privilege separation folder, which only a running system sshd would have made.
# It stays: another run of this test (from another build folder) may be using it.
[ "$(id -u)" -ne 0 ] || mkdir -p /run/sshd
/usr/sbin/sshd -f "$work/sshd_config" -E "$work/sshd.log" || fail "sshd did not start"
for _ in $(seq 50); do [ -s "$work/sshd.pid" ] && break; sleep 0.1; done
export PARALLEL_SSH="ssh -F $work/ssh_config" PARALLEL=--will-cite
ssh -F "$work/ssh_config" node1 orfeo-cli --version >/dev/null || fail "no orfeo-cli through the test's own ssh server"
[ "$(ssh -F "$work/ssh_config" blind ls "$shared")" = "" ] && ssh -F "$work/ssh_config" blind true ||
  fail "blind sees the share, or cannot log in"

# recipe NAME [FROM TO]...: the page's block NAME with the test's folders and hosts, as a script for bash.
recipe() {
  docs_recipe "$docs_page" "$@" >"$work/$1.sh" || fail "the page's recipe $1 is not as the test knows it"
}
# run_recipe NAME [FROM TO]...: runs it in the test's folder, its output in NAME.out and NAME.err, its status
# returned.
run_recipe() {
  recipe "$@"
  (cd "$work" && bash "$1.sh") >"$work/$1.out" 2>"$work/$1.err"
}
# joblog_status LOG SEQ: the Exitval of the job of the list's SEQth book (from 1), or "none".
joblog_status() { awk -F'\t' -v seq="$2" 'NR > 1 && $1 == seq { s = $7 } END { print (s == "" ? "none" : s) }' "$1"; }
# book_status REPORT: the status in a report's book object, or "none".
book_status() { jq -r 'select(.type == "book") | .status' "$1" 2>/dev/null | grep . || echo none; }
# accounted LIST LOG REPORT_NAME LOOK_OUTPUT: every book of the NUL-separated LIST (its names relative to the
# list's folder) has a line in the job log;
# a job that ended with 0 left a report in the book saying 0 or 1; and the books the page's line lists to
# look at are those without a report saying 0, the failed jobs' among them.
accounted() {
  local list=$1 log=$2 report=$3 look=$4 seq=0 book job status expected=""
  while IFS= read -rd '' book; do
    seq=$((seq + 1))
    job=$(joblog_status "$log" "$seq")
    status=$(cd "$(dirname "$list")" && book_status "$book/$report")
    case $job in
    none) fail "'$book' has no line in the job log: $(cat "$log")" ;;
    0) [[ $status == [01] ]] || fail "the job of '$book' ended with 0 with its report saying '$status'" ;;
    esac
    [ "$status" = 0 ] || expected+=$book$'\n'
  done <"$list"
  [ "$(($(wc -l <"$log") - 1))" -eq "$seq" ] || fail "the job log has other jobs than the list's books: $(cat "$log")"
  [ "$(cat "$look")" = "${expected%$'\n'}" ] || fail "the books to look at: '$(cat "$look")', not '$expected'"
}
# runs_of HOST BOOK: how many times orfeo-cli ran on BOOK (a name without a new line) on HOST.
runs_of() { tr '\0' '\n' <"$work/calls" | grep -cxF "$1 $2"; }

# --- the books ----------------------------------------------------------------------------------------------
newline=$'b\n4'
for book in b1 "b 2" b3 "$newline"; do
  "$make_pages" --masks "$scans/$book" 300 400 2 >/dev/null || fail "no pages"
  "$make_pages" "$rescans/$book" 300 400 2 >/dev/null || fail "no rescans"
done
rm "$scans/b3/cache/automask/page002.tif"

# --- back: one run per book, one at a time per host, the host that is down left out -------------------------
hosts=(server1,server2 node1,node2,down)
run_recipe back /shared/scans "$scans" "${hosts[@]}"
status=$?
[ "$status" -eq 1 ] || fail "parallel ended with $status, not 1 (one book failed): $(cat "$work/back.err")"
for book in b1 "b 2" "$newline"; do
  [ "$(ls "$scans/$book/pics" | wc -l)" -eq 2 ] || fail "'$book' has $(ls "$scans/$book/pics" | wc -l) back subscans"
done
[ "$(ls "$scans/b3/pics")" = page001.tif ] || fail "b3's back subscans: $(ls "$scans/b3/pics")"
grep -q "page002.tif\" not found." "$work/back.err" || fail "the bad page's message did not come back: $(cat "$work/back.err")"
awk -F'\t' 'NR > 1 && $2 == "down" { exit 1 }' "$work/back.log" || fail "a job ran on the host that is down"
[ "$(awk -F'\t' 'NR > 1 { n++; if ($7 != 0) bad++ } END { print n + 0, bad + 0 }' "$work/back.log")" = "4 1" ] ||
  fail "four jobs, one failed, was the job log to say: $(cat "$work/back.log")"

# --- retry later: a book in use by another run (75) is tried again, a book with a bad page (1) is not, and
# a book that is not there (2, on every host) and the books given to blind (2) fail their jobs ------------
mkdir "$scans/gone"
run_recipe list /shared/scans "$scans" || fail "the list was not made: $(cat "$work/list.err")"
rmdir "$scans/gone"
# Another run's lock on b1, held until b1's run has been refused once.
(exec 9<"$scans/b1" && flock -x 9 && exec sleep 600) &
locker=$!
for _ in $(seq 100); do flock -xn "$scans/b1" true || break; sleep 0.1; done
rm -f "$work/calls"
recipe retry "${hosts[0]}" node1,blind,down "sleep 60" "sleep 2"
(cd "$work" && exec bash retry.sh >retry.out 2>retry.err) &
runner=$!
for _ in $(seq 600); do grep -qs '"in_use":true' "$scans/b1/orfeo-back.jsonl" && break; sleep 0.1; done
kill "$locker"
wait "$locker" 2>/dev/null
wait "$runner"
status=$?
[ "$status" -eq 1 ] || fail "the retry recipe ended with $status, not 1 (the book that is not there): $(cat "$work/retry.err")"
run_recipe look || fail "the line of the books to look at failed: $(cat "$work/look.err")"
accounted "$work/books.list" "$work/back.log" orfeo-back.jsonl "$work/look.out"
printf '%s\n' "$scans/b3" "$scans/gone" | cmp -s - <(sort "$work/look.out") ||
  fail "the books to look at: $(cat "$work/look.out")"
[ "$(runs_of node "$scans/b3")" -eq 1 ] || fail "the book with a bad page ran $(runs_of node "$scans/b3") times"
[ "$(runs_of node "$scans/b1")" -ge 2 ] || fail "the book in use was not tried again"
[ "$(runs_of node "$scans/gone")" -ge 1 ] && [ "$(runs_of blind "$scans/gone")" -ge 1 ] ||
  fail "the book that is not there was not tried on both hosts: $(tr '\0' '\n' <"$work/calls")"
[ "$(grep -zc "^blind " "$work/calls")" -gt "$(runs_of blind "$scans/gone")" ] ||
  fail "blind was given no other book: $(tr '\0' '\n' <"$work/calls")"
for book in b1 "b 2" "$newline"; do
  [ "$(book_status "$scans/$book/orfeo-back.jsonl")" = 0 ] || fail "'$book' was not written: $(cat "$scans/$book/orfeo-back.jsonl")"
done

# --- merge: each book of rescans with the book of its name ---------------------------------------------------
run_recipe merge /shared/rescans "$rescans" /shared/scans "$scans" "${hosts[@]}"
status=$?
[ "$status" -eq 1 ] || fail "the merge recipe ended with $status, not 1 (b3 lacks a back subscan): $(cat "$work/merge.err")"
for book in b1 "b 2" "$newline"; do
  [ "$(ls "$rescans/$book/new_scans" | wc -l)" -eq 2 ] || fail "'$book' has no merged pages"
done
[ "$(awk -F'\t' 'NR > 1 && $7 == 0' "$work/merge.log" | wc -l)" -eq 3 ] || fail "merge joblog: $(cat "$work/merge.log")"

# --- a stopped run: parallel TERMed, the remote run finishes its pages in hand --------------------------------
# `exec`: parallel's remote wrapper signals the job's process group and takes its first child's end for the
# group's; without exec that child is a shell that TERM ends at once, and KILL follows for the rest.
long=$work/longshelf/long
"$make_pages" --masks "$long" 2480 3508 1 >/dev/null || fail "no long book"
for i in $(seq 2 120); do
  name=$(printf 'page%03d.tif' "$i")
  ln "$long/page001.tif" "$long/$name"
  ln "$long/cache/automask/page001.tif" "$long/cache/automask/$name"
done
recipe back /shared/scans "$work/longshelf" "${hosts[0]}" node1,down
(cd "$work" && exec bash back.sh >long.out 2>long.err) &
runner=$!
for _ in $(seq 300); do [ "$(ls "$long/pics" 2>/dev/null | grep -c '^page')" -ge 3 ] && break; sleep 0.1; done
parallel_pid=$(pgrep -P "$runner" -x parallel) || fail "no parallel under the recipe's shell"
kill -TERM "$parallel_pid"
wait "$runner"
for _ in $(seq 300); do
  [ -z "$(find "$long/pics" -name 'orfeo-*.tmp')" ] && ! pgrep -f "orfeo-cli -q back $long" >/dev/null && break
  sleep 0.1
done
written=$(ls "$long/pics" | grep -c '^page')
[ "$written" -ge 3 ] && [ "$written" -lt 120 ] || fail "the stopped run wrote $written of 120 pages"
leftover=$(find "$long/pics" -name 'orfeo-*.tmp')
[ -z "$leftover" ] || fail "the stopped remote run left its pages in hand half done: $leftover"

# --- without a shared file system: each book carried to a host and its back subscans back -------------------
local=$work/local
for book in c1 "c 2" $'c\n3'; do "$make_pages" --masks "$local/$book" 300 400 2 >/dev/null || fail "no pages"; done
carry() {  # EXPECTED_STATUS BOOKS_TO_LOOK_AT...
  run_recipe carry "~/scans" "$local" "${hosts[0]}" node1,node2,down "sleep 60" "sleep 2"
  local status=$? left
  [ "$status" -eq "$1" ] || fail "the carrying recipe ended with $status, not $1: $(cat "$work/carry.err")"
  shift
  left=$(find "$work/home/.parallel/tmp" -mindepth 1 2>/dev/null)
  [ -z "$left" ] || fail "the hosts kept what they were given: $left"
  (cd "$local" && bash "$work/look.sh") >"$work/look.out" || fail "the books to look at were not listed"
  accounted "$local/books.list" "$local/back.log" orfeo-back.jsonl "$work/look.out"
  [ "$(cat "$work/look.out")" = "$(printf '%s\n' "$@")" ] || fail "the books to look at: $(cat "$work/look.out")"
}
carry 0
for book in c1 "c 2" $'c\n3'; do
  [ "$(ls "$local/$book/pics" 2>/dev/null | wc -l)" -eq 2 ] || fail "'$book' came back with $(ls "$local/$book/pics" 2>&1)"
done
# One more page went bad since: its back subscan of the first run must not stay beside the new ones.
rm "$local/c1/cache/automask/page002.tif"
carry 0 ./c1
[ "$(ls "$local/c1/pics")" = page001.tif ] || fail "c1/pics after the rerun: $(ls "$local/c1/pics")"
[ "$(ls "$local/c 2/pics" | wc -l)" -eq 2 ] || fail "'c 2' lost its back subscans on the rerun"

# Every output exact: as a run on this machine, without parallel, writes it.
exact() {  # BOOK OUTPUT_FOLDER JOB [FOLDER2]
  local copy=$work/exact/$(basename "$1")
  rm -rf "$work/exact" && mkdir -p "$work/exact" && cp -r "$1" "$copy" || fail "no copy of $1"
  if [ "$3" = merge ]; then
    local copy2=$work/exact/$(basename "$4")-rescans
    cp -r "$4" "$copy2" && rm -rf "$copy2/new_scans" && "$cli" -q merge "$copy" "$copy2"
    copy=$copy2
  else
    rm -rf "$copy/pics" && "$cli" -q back "$copy"
  fi
  local page
  for page in "$2"/*; do
    "$same_pixels" "$page" "$copy/$(basename "$2")/$(basename "$page")" >/dev/null || fail "$page differs from a local run's"
  done
}
exact "$scans/b 2" "$scans/b 2/pics" back
exact "$scans/b1" "$rescans/b1/new_scans" merge "$rescans/b1"
exact "$local/c1" "$local/c1/pics" back

# Nothing left half written anywhere.
leftover=$(find "$shared" "$local" -name 'orfeo-*.tmp')
[ -z "$leftover" ] || fail "temporary files left: $leftover"
echo "The many-machine recipes went through."
