#!/usr/bin/env bash
# velmora-encode under the engines that run batches of thousands of files,
# as a school or an archive runs it:
#
#   run-cluster.sh VELMORA_ENCODE SCENARIO
#
#   parallel  GNU parallel over 20 clips with --joblog; one job killed
#             (SIGKILL) mid-way; --resume-failed reruns it and completes the set.
#   resume    one batch of 20 clips killed (SIGKILL) at 5 random points, then
#             run to its end: byte for byte the files of an uninterrupted run
#             on one core (RESUME_SEED repeats a run's points).
#   slurm     a one-node Slurm cluster started here (munged, slurmctld and
#             slurmd on private ports and sockets; root only): an array job of
#             4 tasks, each taking its --shard; one task cancelled mid-way
#             (SIGTERM), resubmitted, then the whole array again.
#   statuses  each exit status as GNU parallel's job log records it: 0, 1, 2,
#             130, and 75 on a full file system (a tmpfs; root only).
#
# Every set is checked whole: each audience's file, as long as its source,
# decoding without an error; nothing else in the folder. Exits 77 with a
# "SKIP:" line where the scenario cannot run here.
set -euo pipefail

encoder=$(realpath "${1:?usage: run-cluster.sh VELMORA_ENCODE SCENARIO}")
scenario=${2:?usage: run-cluster.sh VELMORA_ENCODE SCENARIO}
SKIP=77
audiences=56k,256k
keys=("" "-256k") # the suffix of each audience's file, slowest first

log() { printf '[%s %s] %s\n' "$scenario" "$(date +%T)" "$*"; }
fail() {
  log "FAIL: $*"
  exit 1
}
skip() {
  echo "SKIP: $*"
  exit $SKIP
}

for tool in ffmpeg ffprobe; do
  command -v $tool >/dev/null || fail "$tool is missing: run scripts/install-deps"
done
work=$(mktemp -d "${TMPDIR:-/tmp}/velmora-cluster.XXXXXX")
cleanups=()
# Undone last first: the jobs, then the daemons that run them, munged last.
cleanup() {
  local i
  for ((i = ${#cleanups[@]} - 1; i >= 0; i--)); do eval "${cleanups[i]}" || true; done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

# poll SECONDS COMMAND...: COMMAND every 0.05 s until it succeeds; false after SECONDS.
poll() {
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do
    [ "$SECONDS" -lt "$deadline" ] || return 1
    sleep 0.05
  done
}

# make_clips FOLDER COUNT [LONG_INDEX LONG_SECONDS]: COUNT clips of 2 s
# (320x240 with sound, each its own colours and tone) named clip01.mp4 ...;
# the one numbered LONG_INDEX lasts LONG_SECONDS at 640x480, long enough to
# be caught mid-way. One ffmpeg makes them all; FOLDER/lengths lists each
# clip's seconds.
make_clips() {
  local folder=$1 count=$2 long=${3:-0} long_seconds=${4:-0} i name seconds size
  local -a args=(-nostdin -v error -y)
  mkdir -p "$folder"
  for ((i = 1; i <= count; i++)); do
    name=$(printf 'clip%02d.mp4' "$i")
    seconds=2 size=320x240
    [ "$i" -eq "$long" ] && seconds=$long_seconds size=640x480
    args+=(-f lavfi -i "testsrc2=s=$size:r=25:d=$seconds,hue=h=$((i * 17))"
      -f lavfi -i "sine=f=$((200 + 37 * i)):d=$seconds")
    echo "$name $seconds" >>"$folder/lengths"
  done
  for ((i = 1; i <= count; i++)); do
    args+=(-map $((2 * i - 2)):v -map $((2 * i - 1)):a -c:v libx264 -preset ultrafast -c:a aac
      "$folder/$(printf 'clip%02d.mp4' "$i")")
  done
  ffmpeg "${args[@]}"
}

# check_sets SOURCES OUT: every source's set complete (each file as long as
# its source within 0.5 s, decoding without an error) and nothing else in
# OUT, hidden files aside; prints the count of files.
check_sets() {
  local sources=$1 out=$2 name seconds key file got count=0
  while read -r name seconds; do
    for key in "${keys[@]}"; do
      file=$out/${name%.mp4}$key.rm
      [ -f "$file" ] || fail "missing: $file"
      got=$(ffprobe -v error -count_frames -show_entries format=duration -of csv=p=0 "$file" \
        2>"$work/decoding") || fail "ffprobe cannot read $file"
      [ ! -s "$work/decoding" ] || fail "$file does not decode cleanly: $(cat "$work/decoding")"
      awk -v a="$got" -v b="$seconds" 'BEGIN { d = a - b; exit !(d < 0.5 && d > -0.5) }' ||
        fail "$file lasts $got s, its source $seconds s"
      count=$((count + 1))
    done
  done <"$sources/lengths"
  local listed
  listed=$(find "$out" -mindepth 1 -not -name '.*' | wc -l)
  [ "$listed" -eq "$count" ] || fail "$out holds $listed files, the sets $count: $(ls "$out")"
  echo "$count"
}

temps_in() { find "$1" -mindepth 1 -name '.*.velmora-*' | wc -l; }

# The pid in the name of the first temporary file in FOLDER of a file
# named STEM: ".STEM.rm.velmora-PID-XXXXXX".
writer_of() {
  local name
  name=$(find "$1" -mindepth 1 -name ".$2.rm.velmora-*" -printf '%f\n' 2>/dev/null | head -1)
  [ -n "$name" ] || return 1
  name=${name#".$2.rm.velmora-"}
  echo "${name%%-*}"
}

batch=("$encoder" --skip-existing --json --audience "$audiences")

# --- GNU parallel: a job log, a job killed, --resume-failed -------------------
scenario_parallel() {
  command -v parallel >/dev/null || fail "parallel is missing: run scripts/install-deps"
  local clips=$work/clips out=$work/out joblog=$work/jobs.log status pid
  make_clips "$clips" 20 7 20
  local run=(parallel --will-cite --joblog "$joblog" -j 2 "${batch[@]}" --output-dir "$out" '{}'
    ::: "$clips"/*.mp4)
  log "parallel -j 2 over 20 clips, a job each"
  "${run[@]}" >"$work/first.json" 2>"$work/first.err" &
  local parallel_pid=$!
  poll 120 writer_of "$out" clip07 >/dev/null || fail "clip07's job never began its files"
  pid=$(writer_of "$out" clip07)
  kill -KILL "$pid"
  log "killed clip07's velmora-encode (pid $pid, SIGKILL) mid-way"
  status=0
  wait "$parallel_pid" || status=$?
  [ "$status" -eq 1 ] || fail "parallel exited $status, not 1 (one job failed)"
  awk 'NR > 1 && ($7 != 0 || $8 != 0) { print "  failed in the job log: exit", $7, "signal", $8, $NF }' \
    "$joblog"
  [ "$(awk 'NR > 1 && $8 == 9' "$joblog" | wc -l)" -eq 1 ] || fail "the job log has no killed job"
  grep -q '"result":"completed"' "$work/first.json" || fail "no job completed"

  log "parallel --resume-failed"
  "${run[@]:0:4}" --resume-failed "${run[@]:4}" >"$work/again.json" 2>"$work/again.err" ||
    fail "the rerun failed: $(tail -3 "$work/again.err")"
  local lines
  lines=$(($(wc -l <"$joblog") - 1))
  [ "$lines" -eq 21 ] || fail "the job log holds $lines jobs, not 20 and the one rerun"
  sed 's/^/  /' "$work/again.json"
  [ "$(grep -c '"result":"completed"' "$work/again.json")" -eq 2 ] ||
    fail "the rerun did not make clip07's two files"
  log "files: $(check_sets "$clips" "$out") complete and decodable;" \
    "temporary files the killed job left: $(temps_in "$out")"
  [ "$(find "$out" -mindepth 1 -name '.*' -not -name ".clip07*.velmora-$pid-*" | wc -l)" -eq 0 ] ||
    fail "a hidden file other than the killed job's: $(ls -A "$out")"

  log "the whole list again: every set already done"
  "${run[@]}" >"$work/third.json" 2>/dev/null || fail "the third run failed"
  [ "$(grep -c '"result":"already_done"' "$work/third.json")" -eq 40 ] ||
    fail "not every file reported already done: $(grep -v already_done "$work/third.json")"
}

# --- one batch killed at random points, then resumed -------------------------
scenario_resume() {
  local clips=$work/clips ref=$work/reference out=$work/out seed=${RESUME_SEED:-$$}
  make_clips "$clips" 20
  RANDOM=$seed
  log "uninterrupted, on one core: taskset -c 0"
  local began
  began=$(date +%s%N)
  if command -v taskset >/dev/null && taskset -c 0 true 2>/dev/null; then
    taskset -c 0 "${batch[@]}" --output-dir "$ref" "$clips"/*.mp4 >/dev/null 2>&1
  else
    "${batch[@]}" --output-dir "$ref" "$clips"/*.mp4 >/dev/null 2>&1
  fi
  local took_ms=$((($(date +%s%N) - began) / 1000000))
  log "took ${took_ms} ms; 5 runs killed (SIGKILL) at random points (seed $seed), on every core"
  local k pid at
  for k in 1 2 3 4 5; do
    # A twentieth to a fifth of the whole: the batch moves on a little each time.
    at=$((50 + took_ms * (5 + RANDOM % 16) / 100))
    "${batch[@]}" --output-dir "$out" "$clips"/*.mp4 >"$work/run$k.json" 2>/dev/null &
    pid=$!
    sleep "$(printf '%d.%03d' $((at / 1000)) $((at % 1000)))"
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    log "run $k killed after $at ms: $(grep -c '"result":"completed"' "$work/run$k.json" || true)" \
      "files made, $(grep -c '"result":"already_done"' "$work/run$k.json" || true) already done"
  done
  "${batch[@]}" --output-dir "$out" "$clips"/*.mp4 >"$work/last.json" 2>/dev/null ||
    fail "the last run failed"
  log "the last run: $(grep -c '"result":"completed"' "$work/last.json" || true) files made," \
    "$(grep -c '"result":"already_done"' "$work/last.json" || true) already done"
  log "files: $(check_sets "$clips" "$out") complete and decodable"
  (cd "$ref" && md5sum -- *.rm) >"$work/ref.md5"
  (cd "$out" && md5sum -- *.rm) >"$work/out.md5"
  diff "$work/ref.md5" "$work/out.md5" >&2 ||
    fail "the resumed files differ from the uninterrupted run's (seed $seed)"
  log "checksums identical to the uninterrupted run's, file by file:"
  sed 's/^/  /' "$work/out.md5"
  log "temporary files the killed runs left: $(temps_in "$out")"
}

# --- a one-node Slurm cluster ------------------------------------------------
free_ports() {
  python3 -c '
import socket
s = [socket.socket() for _ in range(2)]
for x in s: x.bind(("127.0.0.1", 0))
print(*[x.getsockname()[1] for x in s])'
}

# ended PID: the process is gone (or a zombie of ours).
ended() { ! kill -0 "$1" 2>/dev/null || [ "$(ps -o stat= -p "$1" 2>/dev/null | cut -c1)" = Z ]; }

# stop_daemon PID: SIGTERM, then SIGKILL after 10 s.
stop_daemon() {
  kill -TERM "$1" 2>/dev/null || return 0
  poll 10 ended "$1" || kill -KILL "$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
}

start_slurm() {
  [ "$(id -u)" -eq 0 ] || skip "the Slurm test starts munged, slurmctld and slurmd, which needs root"
  local tool
  for tool in munged slurmctld slurmd sbatch sinfo squeue scancel scontrol python3; do
    command -v $tool >/dev/null || skip "$tool is missing: run scripts/install-deps"
  done
  local s=$work/slurm
  mkdir -p "$s"/{state,spool,log}
  # munged wants its socket's folders searchable by all, and its key private.
  chmod 711 "$work" "$s"
  head -c 1024 /dev/urandom >"$s/munge.key"
  chmod 400 "$s/munge.key"
  munged -F --socket="$s/munge.socket" --key-file="$s/munge.key" --log-file="$s/log/munged.log" \
    --pid-file="$s/munged.pid" --seed-file="$s/munged.seed" >>"$s/log/munged.log" 2>&1 &
  local munged_pid=$!
  cleanups+=("stop_daemon $munged_pid")
  poll 10 test -S "$s/munge.socket" || fail "munged did not start: $(tail -3 "$s/log/munged.log")"
  local ports host
  read -r -a ports < <(free_ports)
  host=$(hostname -s)
  export SLURM_CONF=$s/slurm.conf
  cat >"$SLURM_CONF" <<EOF
ClusterName=velmora-test
SlurmctldHost=$host(127.0.0.1)
SlurmctldPort=${ports[0]}
SlurmdPort=${ports[1]}
AuthType=auth/munge
AuthInfo=socket=$s/munge.socket
CredType=cred/munge
SlurmUser=root
SlurmdUser=root
StateSaveLocation=$s/state
SlurmdSpoolDir=$s/spool
SlurmctldPidFile=$s/slurmctld.pid
SlurmdPidFile=$s/slurmd.pid
SlurmctldLogFile=$s/log/slurmctld.log
SlurmdLogFile=$s/log/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
SchedulerType=sched/builtin
SelectType=select/cons_tres
SelectTypeParameters=CR_Core
SlurmdParameters=config_overrides
ReturnToService=2
MpiDefault=none
NodeName=velmora1 NodeHostname=$host NodeAddr=127.0.0.1 CPUs=4 State=UNKNOWN
PartitionName=test Nodes=velmora1 Default=YES MaxTime=INFINITE State=UP
EOF
  slurmctld -D -i -f "$SLURM_CONF" >"$s/log/slurmctld.out" 2>&1 &
  local ctld_pid=$!
  slurmd -D -N velmora1 -f "$SLURM_CONF" >"$s/log/slurmd.out" 2>&1 &
  local slurmd_pid=$!
  cleanups+=("stop_daemon $ctld_pid" "stop_daemon $slurmd_pid" "end_jobs")
  poll 30 node_idle || fail "the node did not come up: $(tail -3 "$s/log/slurmctld.log" "$s/log/slurmd.log")"
  log "Slurm $(sinfo -V | cut -d' ' -f2): node velmora1 idle (ports ${ports[*]})"
}

node_idle() { [ "$(sinfo -h -n velmora1 -o %t 2>/dev/null)" = idle ]; }
no_jobs() { [ -z "$(squeue -h 2>/dev/null)" ]; }

# Cancels every job still there (the cluster is ours alone) and waits for them to end.
end_jobs() {
  scancel --full --user=root 2>/dev/null || return 0
  poll 20 no_jobs || true
}

# job_state ID: e.g. COMPLETED, CANCELLED (the controller keeps ended jobs a while).
job_state() { scontrol show job "$1" | sed -n 's/.*JobState=\([A-Z_]*\).*/\1/p'; }
# exit_code ID: the batch script's status and the signal that ended it, "130:0".
exit_code() { scontrol show job "$1" | sed -n 's/.* ExitCode=\([0-9:]*\).*/\1/p'; }
job_done() { [ -z "$(squeue -h -j "$1" 2>/dev/null)" ]; }

scenario_slurm() {
  start_slurm
  local clips=$work/clips out=$work/out
  # Sorted, the 8 clips go to the tasks as 0 1 2 3 0 1 2 3: task 2 has clip03
  # (long enough to cancel mid-way) and clip07.
  make_clips "$clips" 8 3 30
  cat >"$work/task.sh" <<EOF
#!/bin/bash
exec $(printf '%q ' "${batch[@]}")--shard "\$SLURM_ARRAY_TASK_ID/4" --output-dir "$out" "$clips"/*.mp4
EOF
  chmod +x "$work/task.sh"
  local job resubmitted again
  job=$(sbatch --parsable --array=0-3 --output="$work/task-%a.out" --error="$work/task-%a.err" \
    "$work/task.sh")
  log "submitted array job $job: tasks 0-3, each: velmora-encode --shard \$SLURM_ARRAY_TASK_ID/4" \
    "--skip-existing ... 8 clips"
  poll 120 writer_of "$out" clip03 >/dev/null || fail "task 2 never began clip03: $(cat "$work"/task-2.*)"
  squeue -h -j "$job" -o '  %i %T' || true
  scancel "${job}_2"
  log "scancel ${job}_2 while it encodes clip03"
  poll 120 job_done "$job" || fail "the array did not end"
  local task
  for task in 0 1 2 3; do
    log "task ${job}_$task: $(job_state "${job}_$task"), exit $(exit_code "${job}_$task"):"
    sed 's/^/    /' "$work/task-$task.out"
  done
  [ "$(job_state "${job}_2")" = CANCELLED ] || fail "task 2 was not cancelled"
  [ "$(exit_code "${job}_2")" = 130:0 ] || fail "task 2 did not exit 130 after SIGTERM"
  grep -q '"source":"[^"]*clip03.mp4".*"result":"stopped"' "$work/task-2.out" ||
    fail "task 2 was not stopped mid-way through clip03"
  for task in 0 1 3; do
    [ "$(job_state "${job}_$task")" = COMPLETED ] || fail "task $task did not complete"
  done

  resubmitted=$(sbatch --parsable --array=2 --output="$work/again-%a.out" \
    --error="$work/again-%a.err" "$work/task.sh")
  log "resubmitted task 2 as job $resubmitted"
  poll 120 job_done "$resubmitted" || fail "the resubmitted task did not end"
  log "task ${resubmitted}_2: $(job_state "${resubmitted}_2"), exit $(exit_code "${resubmitted}_2"):"
  sed 's/^/    /' "$work/again-2.out"
  [ "$(job_state "${resubmitted}_2")" = COMPLETED ] || fail "the resubmitted task did not complete"
  [ "$(grep -c '"result":"completed"' "$work/again-2.out")" -eq 4 ] ||
    fail "the resubmitted task did not make clip03's and clip07's files"

  again=$(sbatch --parsable --array=0-3 --output="$work/all-%a.out" "$work/task.sh")
  poll 120 job_done "$again" || fail "the third array did not end"
  local done_lines
  done_lines=$(cat "$work"/all-*.out | grep -c '"result":"already_done"' || true)
  log "the whole array again (job $again): $done_lines of 16 files already done"
  [ "$done_lines" -eq 16 ] || fail "a rerun made again what was done: $(cat "$work"/all-*.out)"

  log "files: $(check_sets "$clips" "$out") complete and decodable, 8 sources x 2 audiences;" \
    "temporary files left: $(temps_in "$out")"
  [ "$(find "$out" -mindepth 1 -name '.*' | wc -l)" -eq 0 ] || fail "hidden files left: $(ls -A "$out")"
}

# --- exit statuses, as a scheduler reads them --------------------------------
scenario_statuses() {
  command -v parallel >/dev/null || fail "parallel is missing: run scripts/install-deps"
  local clips=$work/clips out=$work/out joblog=$work/statuses.log
  make_clips "$clips" 2 2 10
  echo "a shopping list, not a film" >"$work/notes.txt"
  mkfifo "$work/silent.mkv"
  mkdir -p "$work/full" "$out"
  local e=$encoder a=$audiences
  # Each job's command, and the status it must end with.
  local -a jobs=(
    "0 $e --audience $a $clips/clip01.mp4 $out/one.rm"
    "0 $e --skip-existing --audience $a $clips/clip01.mp4 --output-dir $out"
    "2 $e --audience 1m $clips/clip01.mp4 $out/two.rm"
    "2 $e --shard 4/4 --output-dir $out $clips/clip01.mp4"
    "1 $e --audience $a $work/missing.mp4 $out/three.rm"
    "1 $e --audience $a $work/notes.txt $clips/clip01.mp4 --output-dir $out/mixed"
    "130 timeout --preserve-status -s TERM 2 $e --audience $a $work/silent.mkv $out/four.rm"
  )
  local full=no
  if [ "$(id -u)" -eq 0 ] && unshare -m --propagation private \
    sh -c "mount -t tmpfs -o size=128k velmora-full '$work/full'" 2>/dev/null; then
    full=yes
    # In a mount namespace of its own: the full file system goes with the job.
    jobs+=("75 unshare -m --propagation private sh -c \"mount -t tmpfs -o size=128k velmora-full $work/full && exec $e --audience $a $work/notes.txt $clips/clip02.mp4 --output-dir $work/full\"")
  else
    log "NOTE: 75 on a full file system is not shown: mounting a small tmpfs needs root"
  fi
  local -a commands=()
  local j
  for j in "${jobs[@]}"; do commands+=("${j#* }"); done
  log "parallel -j 2 --joblog over ${#jobs[@]} commands"
  parallel --will-cite --joblog "$joblog" -j 2 ::: "${commands[@]}" >/dev/null 2>&1 || true
  local seq want got
  printf '  %-6s %s\n' status command
  for ((seq = 1; seq <= ${#jobs[@]}; seq++)); do
    want=${jobs[seq - 1]%% *}
    got=$(awk -v s="$seq" 'NR > 1 && $1 == s { print $7 }' "$joblog")
    j=${commands[seq - 1]//$work/…}
    printf '  %-6s %s\n' "$got" "${j//$e/velmora-encode}"
    [ "$got" = "$want" ] || fail "exit $got, not $want: ${commands[seq - 1]}"
  done
  log "every status as documented${full:+ (75: $full)}"
}

case $scenario in
  parallel | resume | slurm | statuses) "scenario_$scenario" ;;
  *) fail "unknown scenario $scenario" ;;
esac
log "passed"
