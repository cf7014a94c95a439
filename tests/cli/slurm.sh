#!/usr/bin/env bash
# The Slurm recipe, read from docs/many-machines.md and run as written (the folders are the test's own), on a
# cluster of the test's own on 127.0.0.1: munged, slurmctld and slurmd started here as root, with their key,
# configuration, state and logs in a temporary folder (the machine's /etc/slurm, munge key and daemons are
# not touched), and stopped by their process ids at the end. The books: one with a page without its mask,
# one with a space in its name, one with a new line in it, one in use by another run, a long one whose task
# is cancelled with pages in hand, and one that is gone by the time its task runs.
#
#   slurm.sh ORFEO_CLI MAKE_PAGES SAME_PIXELS DOCS_PAGE
set -uo pipefail
cli=$(realpath "$1") make_pages=$(realpath "$2") same_pixels=$(realpath "$3") docs_page=$(realpath "$4")
source "$(dirname "${BASH_SOURCE[0]}")/docs_recipe.sh"
skip() {
  echo "SKIP: $*"
  exit 77
}
fail() {
  echo "FAIL: $*" >&2
  for log in "$work"/log/*; do [ -s "$log" ] && tail -5 "$log" | sed "s|^|  $(basename "$log"): |" >&2; done
  exit 1
}
# slurmd starts each task as the user who submitted it, which it can only do as root.
[ "$(id -u)" -eq 0 ] || skip "slurmd must run as root to start jobs"
for program in munged slurmctld slurmd sbatch scontrol squeue scancel sinfo jq; do
  command -v "$program" >/dev/null || { echo "FAIL: $program is not installed (tools/setup.sh)" >&2; exit 1; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/orfeo-slurm.XXXXXX")
chmod 755 "$work"
# Every Slurm command of the test, the cleanup's too, talks to the test's cluster, never to the machine's.
export SLURM_CONF=$work/slurm.conf
daemons=()
cleanup() {
  if [ ${#daemons[@]} -gt 0 ]; then
    # Tasks still running (a failed check) are killed first: their processes belong to no daemon of ours.
    scancel --quiet --signal=KILL --full --user=root 2>/dev/null
    for _ in $(seq 100); do [ -z "$(squeue -h 2>/dev/null)" ] && break; sleep 0.1; done
    local pid
    for pid in "${daemons[@]}"; do kill "$pid" 2>/dev/null; done
    for pid in "${daemons[@]}"; do wait "$pid" 2>/dev/null; done
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# --- munge and Slurm on 127.0.0.1 ----------------------------------------------------------------------------
mkdir -p "$work/munge" "$work/state" "$work/spool" "$work/log" "$work/bin" "$work/run"
chmod 700 "$work/munge"
head -c 1024 /dev/urandom >"$work/munge/key" && chmod 400 "$work/munge/key" || fail "no munge key"
munged --foreground --force --socket="$work/munge.socket" --key-file="$work/munge/key" \
  --pid-file="$work/munge/pid" --seed-file="$work/munge/seed" --log-file="$work/log/munged.log" \
  2>>"$work/log/munged.log" &
daemons=($!)
for _ in $(seq 100); do [ -S "$work/munge.socket" ] && break; sleep 0.1; done
[ -S "$work/munge.socket" ] || fail "munged did not start"

free_port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
# What runs in this container: processes tracked by their parents (no cgroups), tasks not bound to cores.
# cred_expire is how long Slurm holds a requeued task back (120 s by default); sched_interval, how often it
# looks again at the tasks that wait (60 s).
cat >"$work/slurm.conf" <<CONFIG
ClusterName=orfeo
SlurmctldHost=$(hostname -s)(127.0.0.1)
SlurmctldPort=$(free_port)
SlurmdPort=$(free_port)
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket=$work/munge.socket,cred_expire=5
StateSaveLocation=$work/state
SlurmdSpoolDir=$work/spool
SlurmctldPidFile=$work/slurmctld.pid
SlurmdPidFile=$work/slurmd.pid
SlurmctldLogFile=$work/log/slurmctld.log
SlurmdLogFile=$work/log/slurmd.log
PlugStackConfig=$work/plugstack.conf
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/none
MpiDefault=none
SchedulerType=sched/builtin
SchedulerParameters=sched_interval=1
SelectType=select/cons_tres
SelectTypeParameters=CR_Core
ReturnToService=2
NodeName=orfeo1 NodeAddr=127.0.0.1 NodeHostname=$(hostname -s) CPUs=$(nproc) State=UNKNOWN
PartitionName=books Nodes=orfeo1 Default=YES MaxTime=INFINITE State=UP
CONFIG
touch "$work/plugstack.conf"
slurmctld -D 2>>"$work/log/slurmctld.log" &
daemons=("$!" "${daemons[@]}")
slurmd -D -N orfeo1 2>>"$work/log/slurmd.log" &
daemons=("$!" "${daemons[@]}")
for _ in $(seq 600); do [ "$(sinfo -h -o %t 2>/dev/null)" = idle ] && break; sleep 0.1; done
[ "$(sinfo -h -o %t)" = idle ] || fail "the node is not idle: $(sinfo -h -o '%t %E')"

# --- the books ----------------------------------------------------------------------------------------------
# "Installed on every node": orfeo-cli in the PATH that sbatch passes on to the tasks.
ln -s "$cli" "$work/bin/orfeo-cli"
export PATH=$work/bin:$PATH
scans=$work/shared/scans rescans=$work/shared/rescans
newline=$'s\n5'
for book in s1 "s 2" s3 s4 "$newline" gone; do
  "$make_pages" --masks "$scans/$book" 300 400 2 >/dev/null || fail "no pages"
done
for book in s1 "s 2" s3; do "$make_pages" "$rescans/$book" 300 400 2 >/dev/null || fail "no rescans"; done
rm "$scans/s3/cache/automask/page002.tif"
long=$scans/long
"$make_pages" --masks "$long" 2480 3508 1 >/dev/null || fail "no long book"
for i in $(seq 2 120); do
  name=$(printf 'page%03d.tif' "$i")
  ln "$long/page001.tif" "$long/$name" && ln "$long/cache/automask/page001.tif" "$long/cache/automask/$name" ||
    fail "no long book"
done

# --- the recipe ---------------------------------------------------------------------------------------------
recipe() {  # NAME [FROM TO]...: the page's block NAME, as a file in the folder the recipe runs in
  docs_recipe "$docs_page" "$@" >"$work/run/$1" || fail "the page's recipe $1 is not as the test knows it"
}
recipe sbatch
mv "$work/run/sbatch" "$work/run/orfeo-books.sbatch"
recipe list /shared/scans "$scans"
recipe slurm /shared/rescans "$rescans" /shared/scans "$scans"
recipe look
recipe slurm-look
cd "$work/run" || fail "no run folder"
bash list || fail "no list"
mapfile -d '' books <books.list
task_of() {  # BOOK: its task's number, its place in the list
  local i
  for i in "${!books[@]}"; do [ "${books[i]}" = "$scans/$1" ] && echo "$i" && return; done
  echo "none"
}
[ ${#books[@]} -eq 7 ] && [ "$(task_of long)" != none ] || fail "the list: $(tr '\0' '\n' <books.list)"
rm -r "$scans/gone"
# Another run's lock on s4, held until s4's task has been refused once.
(exec 9<"$scans/s4" && flock -x 9 && exec sleep 600) &
locker=$!
for _ in $(seq 100); do flock -xn "$scans/s4" true || break; sleep 0.1; done

bash slurm >slurm.out 2>slurm.err || fail "the jobs were not submitted: $(cat slurm.err)"
# The back subscans' array: the first one submitted.
back=$(scontrol -o show job | grep -o ' ArrayJobId=[0-9]*' | cut -d= -f2 | sort -n | head -1)
[ -n "$back" ] || fail "no job array: $(cat slurm.out)"
for _ in $(seq 300); do grep -qs '"in_use":true' "$scans/s4/orfeo-back.jsonl" && break; sleep 0.1; done
kill "$locker"
wait "$locker" 2>/dev/null
for _ in $(seq 600); do [ "$(ls "$long/pics" 2>/dev/null | grep -c '^page')" -ge 3 ] && break; sleep 0.1; done
scancel "${back}_$(task_of long)" || fail "scancel refused"
for _ in $(seq 1200); do [ -z "$(squeue -h)" ] && break; sleep 0.1; done
[ -z "$(squeue -h)" ] || fail "tasks still in the queue: $(squeue)"
bash look >look.out 2>look.err || fail "the books to look at were not listed: $(cat look.err)"
bash slurm-look >slurm-look.out 2>&1 || fail "the merges to look at were not listed: $(cat slurm-look.out)"

# --- each task's outcome ------------------------------------------------------------------------------------
# task BOOK: "JobState Restarts ExitCode" of BOOK's back task.
task() {
  scontrol show job "${back}_$(task_of "$1")" | grep -oE '(^| )(JobState|Restarts|ExitCode)=[^ ]*' | cut -d= -f2 |
    paste -sd ' '
}
report() { jq -c 'select(.type == "book") | [.status, .in_use, .stopped, .written]' "$1/orfeo-back.jsonl" 2>&1; }
log_of() { cat "orfeo-${back}_$(task_of "$1").log"; }
for book in s1 "s 2" "$newline"; do
  [ "$(task "$book")" = "COMPLETED 0 0:0" ] || fail "'$book' task: $(task "$book")"
  [ "$(report "$scans/$book")" = "[0,false,false,2]" ] || fail "'$book' report: $(report "$scans/$book")"
  [ "$(ls "$scans/$book/pics" | wc -l)" -eq 2 ] || fail "'$book' has $(ls "$scans/$book/pics" | wc -l) back subscans"
done
# A page not written ends the task as done; the report says which page.
[ "$(task s3)" = "COMPLETED 0 0:0" ] || fail "s3's task: $(task s3)"
[ "$(report "$scans/s3")" = "[1,false,false,1]" ] || fail "s3's report: $(report "$scans/s3")"
grep -q 'page002.tif\\" not found' "$scans/s3/orfeo-back.jsonl" || fail "s3's report names no page"
# In use: requeued, then written.
[ "$(task s4)" = "COMPLETED 1 0:0" ] || fail "s4's task: $(task s4)"
[ "$(report "$scans/s4")" = "[0,false,false,2]" ] || fail "s4's report: $(report "$scans/s4")"
[ "$(log_of s4 | grep -c 'is in use by another run.')" -eq 1 ] || fail "s4's log: $(log_of s4)"
# Gone: the task failed with the status of a folder that is not there.
[ "$(task gone)" = "FAILED 0 2:0" ] || fail "gone's task: $(task gone)"
# Cancelled with pages in hand: those finished, nothing half written, no worker said to have crashed.
[ "$(task long | cut -d' ' -f1,3)" = "CANCELLED 143:0" ] || fail "long's task: $(task long)"
report "$scans/long" | grep -q '^\[143,false,true,' || fail "long's report: $(report "$long")"
written=$(ls "$long/pics" | grep -c '^page')
[ "$written" -ge 3 ] && [ "$written" -lt 120 ] || fail "the cancelled task wrote $written of 120 pages"
[ -z "$(find "$long/pics" -name 'orfeo-*.tmp')" ] || fail "pages left half written: $(ls "$long/pics")"
grep -q "Stopped: $written of 120 scans written." "$long/orfeo-back.jsonl" || fail "long's report: $(report "$long")"
! grep -qi crash "$long/orfeo-back.jsonl" <(log_of long) || fail "a page was said to have crashed: $(log_of long)"
mkdir -p "$work/one/cache/automask" && ln "$long/page001.tif" "$work/one/" &&
  ln "$long/cache/automask/page001.tif" "$work/one/cache/automask/" && "$cli" -q back "$work/one" || fail "no local run"
for page in "$long"/pics/*; do
  "$same_pixels" "$work/one/pics/page001.tif" "$page" >/dev/null || fail "$page differs from a local run's"
done

# --- the merges and the books to look at --------------------------------------------------------------------
for book in s1 "s 2"; do
  [ "$(ls "$rescans/$book/new_scans" | wc -l)" -eq 2 ] || fail "'$book' was not merged: $(cat slurm.err)"
done
[ "$(ls "$rescans/s3/new_scans")" = page001.tif ] || fail "s3's merge: $(ls "$rescans/s3/new_scans")"
[ "$(cat slurm-look.out)" = "$rescans/s3" ] || fail "the merges to look at: $(cat slurm-look.out)"
expected=""
for book in "${books[@]}"; do
  case ${book#"$scans/"} in s3 | long | gone) expected+=$book$'\n' ;; esac
done
[ "$(cat look.out)" = "${expected%$'\n'}" ] || fail "the books to look at: $(cat look.out)"
echo "The Slurm recipe went through."
