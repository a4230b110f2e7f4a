#!/usr/bin/env bash
# Kills pipeline-agent (SIGKILL, through the local platform's testing hook) at
# every step boundary of a backup (a differential one, which reads one file
# of its set and refers to its full for the other) and of a restore of a set
# of two files,
# N = 1, 2, ... until the job completes, and after each kill checks what a crash may leave:
# - cleanup leaves only complete jobs and their files;
# - every complete job restores byte for byte, every file of its set;
# - nothing outside the store changed, and no partial output remains.
# Then a check --repair, a cleanup, a delete and an expire are killed at each
# step in turn, each in a store of its own.
# Run by on_object_store.sh, every store is one in the test object store
# (stores cannot be removed there, so each run that wants a fresh store
# takes one of a name of its own) and, after each cleanup, no unfinished
# upload may be left.
# On an object store every request is a round trip to the server: there
# the backup, restore, repair, delete and expire are killed at every fourth
# step (and on until each completes), from a first step drawn at random
# among 1 to 4 so that runs together cover every step; the cleanup at
# every step. That keeps the run within about three minutes. CRASH_STRIDE=N
# in the environment does the same with every Nth step on a store in a
# directory (the sanitizer workflow's, where every run of the agent costs
# a second: the plain workflow kills at every step).
# Usage: crash_consistency.sh AGENT
set -euo pipefail

agent=$1
# shellcheck source=lib.sh
source "$(dirname "$0")/lib.sh" agent-crash

run() { "$agent" --store "$(store_url store)" --test-skip-pauses --log-level -1 "$@"; }
# The first step killed and the steps between two kills of the longer
# sweeps (see above).
first=1 stride=${CRASH_STRIDE:-1}
if object_store; then
  stride=4
fi
[[ $stride =~ ^[1-9][0-9]*$ ]] || fail "CRASH_STRIDE must be a whole number from 1, not '$stride'"
first=$((1 + RANDOM % stride))

# Fails with $2 when store $1 holds an unfinished upload (an object store's;
# a directory has none). The inputs here are smaller than a first part, so
# a file's upload begins and completes within one step and no kill lands
# inside it; this guards against any left all the same (s3_store_e2e.sh's
# killed_upload kills one mid-upload).
no_upload_left() {
  object_store || return 0
  local left
  left=$("$PIPELINESETUP_TEST_S3_TOOL" uploads "$(store_url "$1")/")
  [[ -z $left ]] || { echo "$left" >&2; fail "$2: an unfinished upload is left"; }
}

# What the jobs must never touch: the inputs and a bystander tree beside the
# store, as names and checksums.
outside() {
  find inputs bystander -print0 | sort -z | xargs -0 ls -ld --time-style=+%s.%N | awk '{print $1, $5, $6, $7}'
  find inputs bystander -type f -print0 | sort -z | xargs -0 sha256sum
}

# The list of complete jobs' manifests that restore, and a check of the rest.
restored_bytes=0
jobs_checked=0
verify_store() {
  local what=$1
  run cleanup >/dev/null 2>cleanup.err || { cat cleanup.err >&2; fail "$what: cleanup failed"; }
  no_upload_left store "$what"
  run list >list.txt 2>/dev/null || fail "$what: list failed"
  # Rows of files: JOB STATE FILE STREAM FILE-STATE BYTES CREATED.
  if awk 'NR > 1 && $3 != "-" && ($2 != "complete" || $5 != "closed")' list.txt | grep -q .; then
    cat list.txt >&2
    fail "$what: cleanup left files of incomplete jobs"
  fi
  run check >check.txt 2>&1 || { cat check.txt >&2; fail "$what: check finds the store damaged"; }
  local manifest
  for manifest in manifests/*.json; do
    [[ -e $manifest ]] || continue
    local job
    job=$(sed -n 's/.*"jobId": *\([0-9]*\).*/\1/p' "$manifest" | head -n 1)
    awk -v job="$job" 'NR > 1 && $1 "" == job && $2 == "complete"' list.txt | grep -q . || continue
    local name input
    name=$(basename "$manifest" .json)
    rm -rf "check/$name"
    mkdir "check/$name"
    run restore "$manifest" --output "check/$name" 2>restore.err ||
      { cat restore.err >&2; fail "$what: complete job $job does not restore"; }
    for input in "inputs/$name.bin" "inputs/$name.log"; do
      cmp -s "check/$name/$(basename "$input")" "$input" ||
        fail "$what: job $job restored other bytes for $input"
      restored_bytes=$((restored_bytes + $(stat -c %s "$input")))
    done
    jobs_checked=$((jobs_checked + 1))
  done
  [[ "$(outside)" == "$before" ]] || fail "$what: something outside the store changed"
  if compgen -G '.*.partial-*' >/dev/null || compgen -G 'check/*/.*.partial-*' >/dev/null; then
    fail "$what: a partial output remains"
  fi
}

mkdir inputs manifests check bystander bystander/files
head -c 5000 /dev/urandom >bystander/files/1.arch
echo 'not a catalog' >bystander/catalog.db
head -c 700000 /dev/urandom >inputs/base.bin
head -c 300001 /dev/urandom >inputs/base.log
run backup inputs/base.bin inputs/base.log --streams 3 --manifest manifests/base.json 2>/dev/null
cp inputs/base.bin inputs/job.bin
cp inputs/base.log inputs/job.log
# The backup killed below is a differential one: job.bin is unchanged since
# this full of the set, and referred to there; job.log changed, and is read.
# (A diff is compared with the full whatever jobs a kill left complete.)
run backup inputs/job.bin inputs/job.log --set crash --streams 2 --manifest chain-full.json 2>/dev/null
echo "one more line" >>inputs/job.log

# Backup: each kill point in turn.
phase_started=$SECONDS
seconds=""
# Adds how long the phase $1 took to the summary.
phase_done() {
  seconds+="${seconds:+, }$1 $((SECONDS - phase_started))"
  phase_started=$SECONDS
}
backup_points=0
crashed_refused=0
for ((n = first; ; n += stride)); do
  rm -f manifests/job.json
  before=$(outside)
  got=0
  run --test-kill-at "$n" backup inputs/job.bin inputs/job.log --set crash --type diff --streams 3 \
    --manifest manifests/job.json >/dev/null 2>err.txt || got=$?
  if [[ $got == 0 ]]; then
    before=$(outside)
    verify_store "backup completed at $n"
    backup_steps=$((n - 1))  # at most: the steps before the one it completed at
    break
  fi
  [[ $got == 137 ]] || { cat err.txt >&2; fail "backup killed at step $n exited $got"; }
  backup_points=$((backup_points + 1))
  # A manifest may outlive a kill only whole; its job then restores or, if it
  # was never marked complete, is cleaned up. Until then a restore refuses
  # it, though every archive file it names may be whole.
  if [[ -e manifests/job.json ]]; then
    python3 -c 'import json,sys; json.load(open(sys.argv[1]))' manifests/job.json ||
      fail "backup killed at step $n left a broken manifest"
    job=$(sed -n 's/.*"jobId": *\([0-9]*\).*/\1/p' manifests/job.json | head -n 1)
    run list >list.txt 2>/dev/null || fail "list after a kill at step $n failed"
    if ! awk -v job="$job" 'NR > 1 && $1 "" == job && $2 == "complete"' list.txt | grep -q .; then
      mkdir -p check/crashed
      got=0
      run restore manifests/job.json --output check/crashed >/dev/null 2>err.txt || got=$?
      [[ $got == 2 ]] && grep -qF "job $job of the store " err.txt &&
        grep -qF " is crashed, not complete; it cannot be restored" err.txt ||
        { cat err.txt >&2; fail "a restore of job $job, crashed at step $n, exited $got"; }
      [[ -z $(ls -A check/crashed) ]] || fail "a refused restore of a crashed job wrote its outputs"
      crashed_refused=$((crashed_refused + 1))
    fi
  fi
  before=$(outside)
  verify_store "backup killed at step $n"
  (( n < 1000 )) || fail "the backup never completed"
done

# The job the kills ran into is a differential one that refers to its full.
[[ $(python3 -c 'import json,sys; m=json.load(open(sys.argv[1])); print(m["backup"]["type"], sum(1 for f in m["files"] if "heldBy" in f))' manifests/job.json) == "diff 1" ]] ||
  fail "the backup killed at each step is no diff that refers to its full for one file"
# Some step lies between the manifest's saving and the job's completion.
((stride > 1 || crashed_refused > 0)) || fail "no kill left a manifest of a job not complete"
phase_done backup
# Restore: each kill point in turn; the store must not change at all.
restore_points=0
run list >store-before.txt 2>/dev/null
# The objects too, by name and size, on an object store (a directory's
# files are the list's).
objects() { if object_store; then "$PIPELINESETUP_TEST_S3_TOOL" keys "$(store_url store)/"; fi; }
objects_before=$(objects)
for ((n = first; ; n += stride)); do
  before=$(outside)
  got=0
  rm -rf restored
  mkdir restored
  run --test-kill-at "$n" restore manifests/base.json --output restored \
    >/dev/null 2>err.txt || got=$?
  if [[ $got == 0 ]]; then
    for input in inputs/base.bin inputs/base.log; do
      cmp -s "restored/$(basename "$input")" "$input" || fail "the restore completed with other bytes"
      restored_bytes=$((restored_bytes + $(stat -c %s "$input")))
    done
    break
  fi
  [[ $got == 137 ]] || { cat err.txt >&2; fail "restore killed at step $n exited $got"; }
  restore_points=$((restore_points + 1))
  # An output may outlive a kill only whole, once it was linked into place.
  for input in inputs/base.bin inputs/base.log; do
    if [[ -e "restored/$(basename "$input")" ]]; then
      cmp -s "restored/$(basename "$input")" "$input" ||
        fail "restore killed at step $n left a broken output"
    fi
  done
  if compgen -G 'restored/.*' >/dev/null; then fail "restore killed at step $n left a partial output"; fi
  [[ "$(outside)" == "$before" ]] || fail "restore killed at step $n changed files outside the store"
  run list >store-after.txt 2>/dev/null
  cmp -s store-before.txt store-after.txt || fail "restore killed at step $n changed the store"
  [[ $(objects) == "$objects_before" ]] || fail "restore killed at step $n changed the store's objects"
  (( n < 1000 )) || fail "the restore never completed"
done

phase_done restore
# Repair, in a store of its own holding two complete jobs: the catalog
# damaged three ways, the repair killed (SIGKILL) and stopped (SIGTERM) at
# each step in turn. Afterwards the store has either the damaged catalog as
# it was or the rebuilt one, whole: then it checks sound and both jobs
# restore.
rrun() { "$agent" --store "$(store_url rstore)" --test-skip-pauses --log-level -1 "$@"; }
schema() { echo "pipelinesetup_store_$(store_cat rstore/store.ini | sed -n 's/^trellan_id=//p')"; }
on_catalog() {  # runs SQL on the store's catalog, SQLite's or PostgreSQL's
  if [[ -n ${PIPELINE_CATALOG:-} ]]; then
    psql -X -q -d "$PIPELINE_CATALOG" -c "SET client_min_messages = warning" \
      -c "SET search_path TO $(schema)" -c "$1"
  else
    sqlite3 rstore/catalog.db "$1"
  fi
}
damage() {
  case $1 in
  row) on_catalog "DELETE FROM archive_files WHERE afile_id = (SELECT MAX(afile_id) FROM archive_files)" ;;
  catalog)
    if [[ -n ${PIPELINE_CATALOG:-} ]]; then
      on_catalog "DROP SCHEMA IF EXISTS $(schema) CASCADE"
    else
      rm -f rstore/catalog.db
    fi ;;
  garbage)
    if [[ -n ${PIPELINE_CATALOG:-} ]]; then
      on_catalog "DROP TABLE IF EXISTS jobs CASCADE"
    else
      head -c 5000 /dev/zero | tr '\0' g >rstore/catalog.db
    fi ;;
  esac
}
repaired_whole() {
  rrun check >check.txt 2>&1 || { cat check.txt >&2; fail "$1: check finds the store damaged"; }
  local name
  for name in base job; do
    rm -rf restored-r
    mkdir restored-r
    rrun restore "manifests-r/$name.json" --output restored-r 2>err.txt ||
      { cat err.txt >&2; fail "$1: complete job $name does not restore"; }
    cmp -s "restored-r/$name.bin" "inputs/$name.bin" && cmp -s "restored-r/$name.log" "inputs/$name.log" ||
      fail "$1: complete job $name restored other bytes"
  done
}
rm -rf rstore manifests-r
mkdir manifests-r
for name in base job; do
  rrun backup "inputs/$name.bin" "inputs/$name.log" --streams 3 --manifest "manifests-r/$name.json" 2>/dev/null
done
repair_points=0
for how in row catalog garbage; do
  signals=KILL
  [[ $how == row ]] && signals="KILL TERM"
  for signal in $signals; do
    for ((n = first; ; n += stride)); do
      damage "$how"
      damaged=$(rrun list 2>/dev/null || true)
      before=$(outside)
      got=0
      option=--test-kill-at
      [[ $signal == TERM ]] && option=--test-signal-at
      rrun "$option" "$n" check --repair >/dev/null 2>err.txt || got=$?
      if [[ $got == 0 ]]; then
        repaired_whole "repair of a $how damage completed at $n"
        break
      fi
      expected=137
      [[ $signal == TERM ]] && expected=143
      [[ $got == "$expected" ]] || { cat err.txt >&2; fail "repair ($how) stopped by SIG$signal at step $n exited $got"; }
      repair_points=$((repair_points + 1))
      view=$(rrun list 2>/dev/null || true)
      # A lost catalog is made anew, empty, by the repair's opening of the
      # store: as lost as before.
      if [[ $view == "$damaged" ]] || [[ $how == catalog && -z $(awk 'NR > 1' <<<"$view") ]]; then
        [[ "$(outside)" == "$before" ]] || fail "repair ($how) stopped at step $n changed files outside the store"
      else
        repaired_whole "repair ($how) stopped by SIG$signal at step $n"
      fi
      (( n < 1000 )) || fail "the repair never completed"
    done
  done
done
rm -rf rstore
phase_done repair

# Cleanup: in a store of its own, one complete job and one that a kill
# half-way through its backup left crashed; a cleanup is killed at each step
# in turn, and what follows finds the complete job whole and the crashed one
# gone.
crun() { "$agent" --store "$(store_url "$cstore")" --test-skip-pauses --log-level -1 "$@"; }
cleanup_points=0
for ((n = 1; ; n++)); do
  cstore=cstore
  object_store && cstore=cstore-$n
  rm -rf cstore restored-c manifests-c
  mkdir restored-c manifests-c
  crun backup inputs/base.bin inputs/base.log --streams 3 --manifest manifests-c/base.json 2>/dev/null
  crun --test-kill-at $((backup_steps / 2)) backup inputs/job.bin inputs/job.log --streams 3 \
    --manifest manifests-c/crashed.json >/dev/null 2>&1 && fail "the backup to crash completed"
  got=0
  crun --test-kill-at "$n" cleanup >/dev/null 2>err.txt || got=$?
  [[ $got == 0 || $got == 137 ]] || { cat err.txt >&2; fail "cleanup killed at step $n exited $got"; }
  crun cleanup >/dev/null 2>err.txt || { cat err.txt >&2; fail "cleanup after a kill at $n failed"; }
  no_upload_left "$cstore" "cleanup killed at step $n, then a cleanup"
  crun check >check.txt 2>&1 || { cat check.txt >&2; fail "cleanup killed at step $n: check finds the store damaged"; }
  [[ $(crun list 2>/dev/null | awk 'NR > 1 && $3 != "-" && ($2 != "complete" || $5 != "closed")' | wc -l) == 0 ]] ||
    fail "cleanup killed at step $n: files of a job that did not complete are left"
  crun restore manifests-c/base.json --output restored-c 2>err.txt || { cat err.txt >&2; fail "cleanup killed at step $n: the complete job does not restore"; }
  cmp -s restored-c/base.bin inputs/base.bin && cmp -s restored-c/base.log inputs/base.log ||
    fail "cleanup killed at step $n: the complete job restored other bytes"
  [[ $got == 0 ]] && break
  cleanup_points=$((cleanup_points + 1))
  (( n < 1000 )) || fail "the cleanup never completed"
done
rm -rf cstore
phase_done cleanup

# Delete and expire: in a store of its own holding three complete jobs, a
# delete of the oldest and an expire that keeps the newest are killed at each
# step in turn. Right after the kill a job that list shows complete restores;
# after a cleanup every job either restores byte for byte or is gone, and
# check finds the store sound.
drun() { "$agent" --store "$(store_url "$dstore")" --test-skip-pauses --log-level -1 "$@"; }
# Restores job $1 of manifest $2 into a fresh directory; compares it with
# inputs/$3.bin and inputs/$3.log.
job_whole() {
  rm -rf restored-d
  mkdir restored-d
  drun restore "$2" --output restored-d 2>err.txt || { cat err.txt >&2; return 1; }
  cmp -s restored-d/"$3".bin inputs/"$3".bin && cmp -s restored-d/"$3".log inputs/"$3".log
}
removal_points=0
for command in delete expire; do
  for ((n = first; ; n += stride)); do
    dstore=dstore
    object_store && dstore=dstore-$command-$n
    rm -rf dstore manifests-d
    mkdir manifests-d
    ids=()
    for i in 1 2 3; do
      drun backup inputs/base.bin inputs/base.log --streams 2 --manifest "manifests-d/$i.json" 2>/dev/null
      ids+=("$(sed -n 's/.*"jobId": *\([0-9]*\).*/\1/p' "manifests-d/$i.json" | head -n 1)")
    done
    got=0
    if [[ $command == delete ]]; then
      drun --test-kill-at "$n" delete "${ids[0]}" --yes >/dev/null 2>err.txt || got=$?
    else
      drun --test-kill-at "$n" expire --keep-last 1 >/dev/null 2>err.txt || got=$?
    fi
    [[ $got == 0 || $got == 137 ]] || { cat err.txt >&2; fail "$command killed at step $n exited $got"; }
    for i in 1 2 3; do
      state=$(drun list 2>/dev/null | awk -v j="${ids[$((i - 1))]}" '$1 "" == j {print $2}' | sort -u)
      if [[ $state == complete ]]; then
        job_whole "${ids[$((i - 1))]}" "manifests-d/$i.json" base ||
          fail "$command killed at step $n: job $i is listed complete but does not restore"
      fi
    done
    drun cleanup >/dev/null 2>err.txt || { cat err.txt >&2; fail "cleanup after $command killed at $n failed"; }
    no_upload_left "$dstore" "$command killed at step $n, then a cleanup"
    drun check >check.txt 2>&1 || { cat check.txt >&2; fail "$command killed at step $n: check finds the store damaged after cleanup"; }
    drun list >list.txt 2>/dev/null
    for i in 1 2 3; do
      id=${ids[$((i - 1))]}
      if awk -v j="$id" 'NR > 1 && $1 "" == j' list.txt | grep -q .; then
        [[ $(awk -v j="$id" '$1 "" == j {print $2}' list.txt | sort -u) == complete ]] ||
          { cat list.txt >&2; fail "$command killed at step $n: job $i is neither whole nor gone"; }
        job_whole "$id" "manifests-d/$i.json" base || fail "$command killed at step $n: job $i does not restore"
      elif store_has "$dstore/jobs/$id.complete" || store_has "$dstore/jobs/$id.manifest.json"; then
        fail "$command killed at step $n: gone job $i left its marker or manifest"
      fi
    done
    # What is kept is never removed.
    awk -v j="${ids[2]}" 'NR > 1 && $1 "" == j' list.txt | grep -q . || fail "$command killed at step $n removed the newest job"
    [[ $command == delete ]] && { awk -v j="${ids[1]}" 'NR > 1 && $1 "" == j' list.txt | grep -q . || fail "delete killed at step $n removed another job"; }
    if [[ $got == 0 ]]; then
      [[ $(awk 'NR > 1 {print $1}' list.txt | sort -u | wc -l) == $([[ $command == delete ]] && echo 2 || echo 1) ]] ||
        { cat list.txt >&2; fail "$command completed but left other jobs"; }
      break
    fi
    removal_points=$((removal_points + 1))
    (( n < 1000 )) || fail "the $command never completed"
  done
done
rm -rf dstore
phase_done "delete and expire"

((stride == 1)) || echo "killed every $stride steps from step $first"
echo "kill points: backup $backup_points, restore $restore_points, repair $repair_points," \
  "cleanup $cleanup_points, delete and expire $removal_points; complete jobs restored and compared: $jobs_checked;" \
  "restores of a crashed job's manifest refused: $crashed_refused;" \
  "bytes compared: $restored_bytes; seconds: $seconds"
echo "PASS: crash_consistency"
