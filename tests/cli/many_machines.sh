#!/usr/bin/env bash
# The README's recipes for many machines, run for real: GNU parallel over an OpenSSH server of the test's
# own on the loopback address (its own configuration, host key and user key, in a temporary folder; the
# machine's ssh set-up is not touched), on small books: one with a page without its mask, one with a space
# in its name. Two host names lead to the server, a third to a closed port (a host that is down).
#
#   many_machines.sh ORFEO_CLI MAKE_PAGES SAME_PIXELS
set -uo pipefail
cli=$(realpath "$1") make_pages=$(realpath "$2") same_pixels=$(realpath "$3")
work=$(mktemp -d "${TMPDIR:-/tmp}/orfeo-hosts.XXXXXX")
cleanup() {
  [ -s "$work/sshd.pid" ] && kill "$(cat "$work/sshd.pid")" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*" >&2
  [ -s "$work/sshd.log" ] && sed 's/^/  sshd: /' "$work/sshd.log" >&2
  exit 1
}

# --- an ssh server on 127.0.0.1 ------------------------------------------------------------------------------
free_port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
port=$(free_port) closed=$(free_port)
ssh-keygen -q -t ed25519 -N '' -f "$work/host_key" && ssh-keygen -q -t ed25519 -N '' -f "$work/user_key" ||
  fail "no keys"
cp "$work/user_key.pub" "$work/authorized_keys"
mkdir -p "$work/home"
# MaxStartups: parallel's look at the hosts opens five connections to each at once, and by default sshd
# drops some of those beyond ten that are still logging in, which a loaded machine reaches.
cat >"$work/sshd_config" <<CONFIG
Port $port
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
CONFIG
cat >"$work/ssh_config" <<CONFIG
Host node1 node2
  HostName 127.0.0.1
  Port $port
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
ssh -F "$work/ssh_config" node1 true || fail "no login through the test's own ssh server"

# "Installed on every host": orfeo-cli in the PATH the jobs get (parallel --env PATH).
mkdir -p "$work/bin" && ln -s "$cli" "$work/bin/orfeo-cli"
export PATH=$work/bin:$PATH
hosts=(--ssh "ssh -F $work/ssh_config" --env PATH)

# --- the books ----------------------------------------------------------------------------------------------
shelf=$work/shelf
for book in b1 "b 2" b3 b4; do
  "$make_pages" --masks "$shelf/$book" 300 400 2 >/dev/null || fail "no pages"
  "$make_pages" "$shelf/$book-rescans" 300 400 2 >/dev/null || fail "no rescans"
done
rm "$shelf/b3/cache/automask/page002.tif"
cd "$work"

# --- back: one run per book, one at a time per host, the host that is down left out -------------------------
ls -d "$shelf"/b?/ "$shelf/b 2/" | parallel --will-cite -j 1 -S node1,node2,down --filter-hosts "${hosts[@]}" \
  --joblog back.log --term-seq TERM,600000,KILL,25 exec orfeo-cli -q back {} 2>back.err
status=$?
[ "$status" -eq 1 ] || fail "parallel ended with $status, not 1 (one book failed)"
for book in b1 "b 2" b4; do
  [ "$(ls "$shelf/$book/pics" | wc -l)" -eq 2 ] || fail "'$book' has $(ls "$shelf/$book/pics" | wc -l) back subscans"
done
[ "$(ls "$shelf/b3/pics")" = page001.tif ] || fail "b3's back subscans: $(ls "$shelf/b3/pics")"
grep -q "page002.tif\" not found." back.err || fail "the bad page's message did not come back: $(cat back.err)"
awk -F'\t' 'NR > 1 && $2 == "down" { exit 1 }' back.log || fail "a job ran on the host that is down"
[ "$(awk -F'\t' 'NR > 1 && $7 != 0' back.log | wc -l)" -eq 1 ] || fail "joblog: $(cat back.log)"

# --- retry later: a book in use by another run (75) is tried again; a bad book (1) is not ------------------
flock -x "$shelf/b1" sleep 2 &
locker=$!
sleep 0.3
ls -d "$shelf/b1/" "$shelf/b3/" | parallel --will-cite -j 1 -S node1,node2,down --filter-hosts "${hosts[@]}" \
  --retries 5 --joblog retry.log --term-seq TERM,600000,KILL,25 \
  'trap "" TERM; orfeo-cli -q --report {}orfeo-report.jsonl back {}; s=$?; [ $s = 75 ] && { sleep 1; exit 75; }; exit 0' \
  2>retry.err
status=$?
wait "$locker"
[ "$status" -eq 0 ] || fail "the retry recipe ended with $status: $(cat retry.err)"
grep -q '"in_use":false,"job":"back".*"status":0' "$shelf/b1/orfeo-report.jsonl" ||
  fail "b1 was not written after its retries: $(cat "$shelf/b1/orfeo-report.jsonl")"
[ "$(grep -c '"type":"book"' "$shelf/b3/orfeo-report.jsonl")" -eq 1 ] || fail "the bad book was run again"
grep -q '"status":1,.*"type":"book"' "$shelf/b3/orfeo-report.jsonl" || fail "b3's report: $(cat "$shelf/b3/orfeo-report.jsonl")"

# --- merge: the pairs of folders, linked --------------------------------------------------------------------
parallel --will-cite -j 1 -S node1,node2,down --filter-hosts "${hosts[@]}" --link --joblog merge.log \
  --term-seq TERM,600000,KILL,25 exec orfeo-cli -q merge {1} {2} \
  ::: "$shelf/b1" "$shelf/b 2" ::: "$shelf/b1-rescans" "$shelf/b 2-rescans" 2>merge.err ||
  fail "the merge recipe failed: $(cat merge.err)"
for book in "b1-rescans" "b 2-rescans"; do
  [ "$(ls "$shelf/$book/new_scans" | wc -l)" -eq 2 ] || fail "'$book' has no merged pages"
done

# --- a stopped run: parallel TERMed, the remote run finishes its pages in hand --------------------------------
# `exec`: parallel's remote wrapper signals the job's process group and takes its first child's end for the
# group's; without exec that child is a shell that TERM ends at once, and KILL follows for the rest.
"$make_pages" --masks "$shelf/long" 2480 3508 1 >/dev/null || fail "no long book"
for i in $(seq 2 120); do
  name=$(printf 'page%03d.tif' "$i")
  ln "$shelf/long/page001.tif" "$shelf/long/$name"
  ln "$shelf/long/cache/automask/page001.tif" "$shelf/long/cache/automask/$name"
done
echo "$shelf/long/" | parallel --will-cite -j 1 -S node1,down --filter-hosts "${hosts[@]}" --joblog long.log \
  --term-seq TERM,600000,KILL,25 exec orfeo-cli -q back {} 2>long.err &
runner=$!
for _ in $(seq 300); do [ "$(ls "$shelf/long/pics" 2>/dev/null | grep -c '^page')" -ge 3 ] && break; sleep 0.1; done
kill -TERM "$runner"
wait "$runner"
for _ in $(seq 300); do
  [ -z "$(find "$shelf/long/pics" -name 'orfeo-*.tmp')" ] && ! pgrep -f "orfeo-cli -q back $shelf/long/" >/dev/null &&
    break
  sleep 0.1
done
written=$(ls "$shelf/long/pics" | grep -c '^page')
[ "$written" -ge 3 ] && [ "$written" -lt 120 ] || fail "the stopped run wrote $written of 120 pages"
leftover=$(find "$shelf/long/pics" -name 'orfeo-*.tmp')
[ -z "$leftover" ] || fail "the stopped remote run left its pages in hand half done: $leftover"

# --- without a shared file system: each book carried to the host and its back subscans back ---------------
# The hosts' copies live under a work folder of their own ("remote" here, beside the shelf).
local=$work/local remote=$work/remote
mkdir -p "$local" "$remote"
for book in c1 "c 2"; do "$make_pages" --masks "$local/$book" 300 400 2 >/dev/null || fail "no pages"; done
(cd "$local" && ls -d */ | parallel --will-cite -j 1 -S node1,node2,down --filter-hosts "${hosts[@]}" \
  --workdir "$remote" --transferfile {} --return {}pics --cleanup --joblog "$work/carry.log" \
  --term-seq TERM,600000,KILL,25 exec orfeo-cli -q back {}) 2>carry.err || fail "the recipe without a shared file system failed: $(cat carry.err)"
for book in c1 "c 2"; do
  [ "$(ls "$local/$book/pics" 2>/dev/null | wc -l)" -eq 2 ] || fail "'$book' came back with $(ls "$local/$book/pics" 2>&1)"
done
# --cleanup leaves the carried folders (it removes files, not folders): the hosts' work folders go after.
parallel --will-cite --nonall -S node1,node2,down --filter-hosts "${hosts[@]}" rm -rf "$remote" 2>>carry.err ||
  fail "the hosts' work folders were not removed: $(cat carry.err)"
[ ! -e "$remote" ] || fail "the hosts' copies are left: $(find "$remote" | head -5)"

# Every output exact: as a run on this machine, without parallel, writes it.
exact() {  # BOOK OUTPUT_FOLDER JOB [FOLDER2]
  local copy=$work/exact/$(basename "$1")
  rm -rf "$work/exact" && mkdir -p "$work/exact" && cp -r "$1" "$copy" || fail "no copy of $1"
  if [ "$3" = merge ]; then
    local copy2=$work/exact/$(basename "$4")
    cp -r "$4" "$copy2" && rm -rf "$copy2/new_scans" && orfeo-cli -q merge "$copy" "$copy2"
    copy=$copy2
  else
    rm -rf "$copy/pics" && orfeo-cli -q back "$copy"
  fi
  local page
  for page in "$2"/*; do
    "$same_pixels" "$page" "$copy/$(basename "$2")/$(basename "$page")" >/dev/null || fail "$page differs from a local run's"
  done
}
exact "$shelf/b 2" "$shelf/b 2/pics" back
exact "$shelf/b1" "$shelf/b1-rescans/new_scans" merge "$shelf/b1-rescans"
exact "$local/c1" "$local/c1/pics" back

# Nothing left half written anywhere.
leftover=$(find "$shelf" -name 'orfeo-*.tmp')
[ -z "$leftover" ] || fail "temporary files left: $leftover"
echo "The many-machine recipes went through."
