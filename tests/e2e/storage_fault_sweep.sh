#!/usr/bin/env bash
# Makes each storage operation of the agent's jobs go wrong in turn, through
# the local platform's fault storage (--test-storage-fault): for a backup of
# a set, a restore, a cleanup and a check, for operation N = 1, 2, ... until
# the fault is no longer reached, and for each kind of fault (an errno, a
# short write, a power loss). After each run, with the store's operations
# healthy again:
# - cleanup and check pass;
# - a job reported complete (exit 0) is complete in the store and restores
#   byte for byte; no job is complete in the store that does not restore,
#   nor one whose manifest was never saved;
# - the job a run began is gone after cleanup unless it completed.
# Prints the runs and their outcomes, job by kind.
# Usage: storage_fault_sweep.sh AGENT [KIND...]   (default: every kind)
# SWEEP_JOBS="backup restore" limits the jobs swept; SWEEP_STEP=K makes
# every Kth operation fail rather than each (1, 1+K, ...). Run by on_object_store.sh
# the store is in the test object store: there a power loss drops nothing
# the server acknowledged, and a cleanup run's killed job is made before it,
# as such a store cannot be copied.
set -euo pipefail

agent=$(realpath "$1")
shift
kinds=("$@")
((${#kinds[@]})) || kinds=(errno=ENOSPC errno=EIO errno=EDQUOT errno=EROFS short crash)
work=$(mktemp -d "${TMPDIR:-/tmp}/storage-sweep.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

fail() { echo "FAIL: $*" >&2; exit 1; }
store=store
[[ -z ${PIPELINESETUP_TEST_STORE_BASE:-} ]] || store=$PIPELINESETUP_TEST_STORE_BASE/base-store
export XDG_STATE_HOME=$work/state
run() { "$agent" --store "$store" --test-skip-pauses --log-level -1 "$@"; }

# The job id a manifest names.
job_of() { sed -n 's/.*"jobId": *\([0-9]*\).*/\1/p' "$1" | head -n 1; }

# Restores manifest $1 and compares it with the inputs named $2.bin, $2.log.
restores() {
  local manifest=$1 name=$2
  rm -rf restored
  mkdir restored
  run restore "$manifest" --output restored >/dev/null 2>restore.err || return 1
  cmp -s restored/"$name".bin inputs/"$name".bin && cmp -s restored/"$name".log inputs/"$name".log
}

# The store after a run, its operations healthy: $1 says which run.
verify() {
  local what=$1
  run cleanup >/dev/null 2>cleanup.err || { cat cleanup.err >&2; fail "$what: cleanup failed"; }
  run check >check.txt 2>&1 || { cat check.txt >&2; fail "$what: check finds the store damaged"; }
  run list >list.txt 2>/dev/null || fail "$what: list failed"
  # Every job complete in the store has its manifest and restores; the base
  # job's restore is the one kept in check (the others were checked when
  # they completed, and the store never rewrites a file).
  local job
  for job in $(awk 'NR > 1 && $2 == "complete" {print $1}' list.txt | sort -u); do
    [[ -n ${manifest_of[$job]:-} ]] || fail "$what: job $job is complete but was never reported so"
  done
  restores "$base_manifest" base || { cat restore.err >&2; fail "$what: the base job no longer restores"; }
}

mkdir inputs manifests
head -c 400000 /dev/urandom >inputs/base.bin
head -c 120001 /dev/urandom >inputs/base.log
head -c 300000 /dev/urandom >inputs/job.bin
head -c 90001 /dev/urandom >inputs/job.log
declare -A manifest_of
base_manifest=manifests/base.json
run backup inputs/base.bin inputs/base.log --streams 2 --manifest manifests/base.json 2>/dev/null
manifest_of[$(job_of manifests/base.json)]=manifests/base.json

# A job killed in its writing, for cleanup to settle.
kill_a_backup() {
  local got=0
  run --test-kill-at 12 backup inputs/job.bin inputs/job.log --streams 2 \
    --manifest manifests/killed.json >/dev/null 2>&1 || got=$?
  [[ $got == 137 ]] || fail "the backup to leave for cleanup exited $got"
}
# The stores each run starts from, so that no run finds more to do than the
# one before it: the base job alone, and beside it a killed job. A store in
# object storage is not copied: restore and check leave it as it was, and
# each cleanup run gets a killed job of its own.
if [[ $store == store ]]; then
  cp -a store base-store
  kill_a_backup
  mv store cleanup-store
  cp -a base-store store
  fresh_store() { rm -rf store && cp -a "$1" store; }
else
  # Restore and check runs share the base store, which they leave as it
  # was; the backup runs go into a store of their own (its jobs would give
  # every check more to do); each cleanup run gets a new store, its base
  # job backed up again, and a killed job.
  fresh_store() {
    store=$PIPELINESETUP_TEST_STORE_BASE/$1
    base_manifest=manifests/$1.json
    [[ $1 != base-store ]] || base_manifest=manifests/base.json
    if [[ $1 == cleanup-store ]]; then
      store=$PIPELINESETUP_TEST_STORE_BASE/cleanup-$n-$kind
      rm -f "$base_manifest"
    fi
    if [[ ! -e $base_manifest ]]; then
      run backup inputs/base.bin inputs/base.log --streams 2 --manifest "$base_manifest" 2>/dev/null
      manifest_of[$(job_of "$base_manifest")]=$base_manifest
    fi
    [[ $1 != cleanup-store ]] || kill_a_backup
  }
fi

declare -A outcomes
total=0
read -ra jobs <<<"${SWEEP_JOBS:-backup restore cleanup check}"
for job in "${jobs[@]}"; do
  for kind in "${kinds[@]}"; do
    completed=0 failed=0 crashed=0
    for ((n = 1; ; n += ${SWEEP_STEP:-1})); do
      (( n < 2000 )) || fail "$job under $kind: the faults never ran out"
      what="$job with $kind at operation $n"
      case $job in
        cleanup) fresh_store cleanup-store ;;
        restore|check) fresh_store base-store ;;
        backup) [[ -z ${PIPELINESETUP_TEST_STORE_BASE:-} ]] || fresh_store backup-store ;;
      esac
      rm -f run.log manifests/run.json
      got=0
      case $job in
        backup) run --log-file run.log --test-storage-fault "nth=$n,$kind" backup \
                  inputs/job.bin inputs/job.log --streams 2 --manifest manifests/run.json \
                  >/dev/null 2>err.txt || got=$? ;;
        restore) rm -rf out && mkdir out
                 run --log-file run.log --test-storage-fault "nth=$n,$kind" restore \
                   manifests/base.json --output out >/dev/null 2>err.txt || got=$? ;;
        cleanup) run --log-file run.log --test-storage-fault "nth=$n,$kind" cleanup \
                   >/dev/null 2>err.txt || got=$? ;;
        check) run --log-file run.log --test-storage-fault "nth=$n,$kind" check \
                 >/dev/null 2>err.txt || got=$? ;;
      esac
      # Past the job's last operation: the fault was never reached. (A fault
      # while the store opens is logged before its log is, on stderr.)
      if ! grep -q 'storage fault:' run.log err.txt 2>/dev/null; then
        [[ $got == 0 ]] || { cat err.txt >&2; fail "$what: failed without a fault"; }
        [[ $job != backup ]] || manifest_of[$(job_of manifests/run.json)]=manifests/run-$n-$kind.json
        [[ $job != backup ]] || mv manifests/run.json "manifests/run-$n-$kind.json"
        verify "$what (no fault)"
        break
      fi
      total=$((total + 1))
      case $got in
        0) completed=$((completed + 1)) ;;
        137) crashed=$((crashed + 1)) ;;
        *) failed=$((failed + 1)) ;;
      esac
      if [[ $job == backup && $got == 0 ]]; then
        [[ -e manifests/run.json ]] || fail "$what: reported complete without a manifest"
        manifest_of[$(job_of manifests/run.json)]=manifests/run-$n-$kind.json
        mv manifests/run.json "manifests/run-$n-$kind.json"
        restores "manifests/run-$n-$kind.json" job ||
          { cat restore.err >&2; fail "$what: reported complete but does not restore"; }
      fi
      if [[ $job == restore && $got == 0 ]]; then
        cmp -s out/base.bin inputs/base.bin && cmp -s out/base.log inputs/base.log ||
          fail "$what: the restore reported success with other bytes"
      fi
      # Killed after its manifest was saved, a job whose completion marker
      # was made is completed by cleanup (it was whole), and must restore;
      # without one, cleanup fails it.
      killed=
      if [[ $job == backup && $got == 137 && -e manifests/run.json ]]; then
        killed=$(job_of manifests/run.json)
        manifest_of[$killed]=manifests/run-$n-$kind.json
        mv manifests/run.json "manifests/run-$n-$kind.json"
      fi
      verify "$what"
      if [[ -n $killed ]] && awk -v job="$killed" 'NR > 1 && $1 "" == job && $2 == "complete"' list.txt | grep -q .; then
        restores "manifests/run-$n-$kind.json" job ||
          { cat restore.err >&2; fail "$what: completed by cleanup but does not restore"; }
      fi
    done
    outcomes[$job,$kind]="$((completed + failed + crashed)) runs: $completed completed, $failed failed, $crashed crashed"
  done
done

printf '%-8s %-13s %s\n' job fault outcome
for job in "${jobs[@]}"; do
  for kind in "${kinds[@]}"; do
    printf '%-8s %-13s %s\n' "$job" "$kind" "${outcomes[$job,$kind]}"
  done
done
echo "$total runs with a fault; every store healthy after cleanup, every complete job restored"
