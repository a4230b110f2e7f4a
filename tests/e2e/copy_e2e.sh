#!/usr/bin/env bash
# copy: jobs copied between stores byte for byte, as stored.
#   round_trip  a set with a tree, an encrypted and compressed job and a
#               chain (a full and an incr) copied with --all-new: every job
#               restores by its id from the copy, check finds it sound, the
#               key check came along, the source is unchanged; copying again
#               skips them all and a new job alone is copied; under
#               on_object_store.sh also from the object store into a
#               directory and from there into the object store again
#   refusals    exit 2 and one line, and no target made, for each mistake
#   killed      SIGKILL at every step of a copy (fewer on an object store,
#               or with CRASH_STRIDE set): after cleanup every job of the target is complete
#               and restores, or is failed with no file; copied again, a
#               job left failed is copied whole; SIGTERM ends a paced copy
#               at once, and the copy after it is whole
# Usage: copy_e2e.sh AGENT CASE
set -euo pipefail
agent=$1
case_name=$2
# shellcheck source=lib.sh
source "$(dirname "$0")/lib.sh" agent-copy

# Runs the agent on store $1 (a name: see store_url).
on() {
  local store=$1
  shift
  "$agent" --store "$(store_url "$store")" --test-skip-pauses "$@" </dev/null
}
job_of() { python3 -c 'import json, sys; print(json.load(open(sys.argv[1]))["jobId"])' "$1"; }
# The jobs of store $1's list with their states, "JOB STATE" a line.
jobs_of() { on "$1" list 2>/dev/null | awk 'NR > 1 {print $1, $2}' | sort -u; }
# The jobs of store $1 with when each began, as list --json gives them.
began_of() {
  on "$1" --json list 2>/dev/null |
    python3 -c 'import json, sys; [print(j["jobId"], j["createdAt"]) for j in json.load(sys.stdin)["jobs"]]' | sort
}

make_inputs() {
  head -c 3000000 /dev/urandom >a.bin
  mkdir -p t/sub
  for i in 1 2 3; do head -c $((i * 200000 + 17)) /dev/urandom >"t/sub/f$i"; done
  printf 'key file content, thirty-two bytes or more, any bytes at all\n' >key
  chmod 600 key
}

# Restores job $2 of the store --store $1 names into a new directory $3
# (more options after).
restore_job() {
  local store=$1 job=$2 out=$3
  shift 3
  mkdir "$out"
  "$agent" --store "$store" -q restore --job "$job" --output "$out" "$@" </dev/null 2>restore.err ||
    { cat restore.err >&2; fail "job $job does not restore from $store"; }
}

case $case_name in
round_trip)
  make_inputs
  on src -q backup a.bin t --streams 3 --manifest m1.json
  on src -q backup a.bin --streams 2 --compress zstd --encrypt --key-file key --manifest m2.json
  on src -q backup t --set chain --streams 2 --manifest m3.json
  cp -r t t-before
  echo changed >>t/sub/f2
  on src -q backup t --set chain --type incr --streams 2 --manifest m4.json
  before=$(jobs_of src)
  on src copy --all-new --to "$(store_url dst)" 2>copy.txt || { cat copy.txt >&2; fail "the copy failed"; }
  [[ $(grep -c "^pipeline-agent: job [0-9]*: copied to $(store_shown dst), each archive file's digest as stored there matching the source's record$" copy.txt) == 4 ]] ||
    { cat copy.txt >&2; fail "the copy did not tell of 4 jobs copied"; }
  grep -qx "pipeline-agent: copied 4 jobs to $(store_shown dst); 0 jobs complete there already" copy.txt ||
    { cat copy.txt >&2; fail "the copy did not sum up"; }
  [[ $(jobs_of src) == "$before" ]] || fail "the copy changed the source's jobs"
  [[ $(jobs_of dst) == "$before" ]] || fail "the target's jobs are not the source's: $(jobs_of dst)"
  # Each began when its backup did, for the target's retention and chains.
  [[ $(began_of dst) == "$(began_of src)" ]] || fail "the copies began at other times: $(began_of dst)"
  # Each job restores by its id from the copy, the incr through its full.
  restore_job "$(store_url dst)" "$(job_of m1.json)" out1
  cmp a.bin out1/a.bin && diff -r t-before out1/t || fail "job 1 restored other bytes from the copy"
  restore_job "$(store_url dst)" "$(job_of m2.json)" out2 --key-file key
  cmp a.bin out2/a.bin || fail "the encrypted job restored other bytes from the copy"
  restore_job "$(store_url dst)" "$(job_of m3.json)" out3
  diff -r t-before out3/t || fail "the full of the chain restored other bytes from the copy"
  restore_job "$(store_url dst)" "$(job_of m4.json)" out4
  diff -r t out4/t || fail "the incr restored other bytes from the copy"
  # The manifest a backup wrote names the source's archive files: the
  # copy's own is what restores there.
  mkdir fresh
  expect 2 "differs from the store's copy of job $(job_of m1.json)" --store "$(store_url dst)" \
    restore m1.json --output fresh
  on dst check --key-file key >check.txt 2>&1 || { cat check.txt >&2; fail "check finds the copy damaged"; }
  [[ $(store_cat dst/encryption-check) == "$(store_cat src/encryption-check)" ]] ||
    fail "the target has not the source's key check"
  # Again: every job is there already. A new one alone is copied.
  on src copy --all-new --to "$(store_url dst)" 2>again.txt
  grep -qx "pipeline-agent: copied 0 jobs to $(store_shown dst); 4 jobs complete there already" again.txt ||
    { cat again.txt >&2; fail "a second copy did not skip every job"; }
  on src -q backup a.bin --manifest m5.json
  on src --json copy "$(job_of m5.json)" "$(job_of m1.json)" --to "$(store_url dst)" >named.json 2>named.txt
  grep -qx "pipeline-agent: copied 1 job to $(store_shown dst); 1 job complete there already" named.txt ||
    { cat named.txt >&2; fail "a named new job was not copied alone"; }
  python3 - named.json "$(job_of m5.json)" "$(job_of m1.json)" "$(store_shown dst)" <<'PY' ||
import json, sys
doc = json.load(open(sys.argv[1]))
assert doc["ok"] and doc["command"] == "copy", doc
assert doc["copied"] == [int(sys.argv[2])] and doc["skipped"] == [int(sys.argv[3])], doc
assert doc["to"] == sys.argv[4] and doc["from"].endswith("src"), doc
PY
    fail "copy --json did not tell what it copied and skipped"
  if object_store; then
    # From the object store into a directory, and from there into the
    # object store again.
    "$agent" --store "$(store_url dst)" --test-skip-pauses -q copy --all-new --to local </dev/null
    restore_job local "$(job_of m4.json)" local4
    diff -r t local4/t || fail "the incr restored other bytes from the copy in a directory"
    "$agent" --store local --test-skip-pauses -q copy --all-new --to "$(store_url again)" </dev/null
    restore_job "$(store_url again)" "$(job_of m2.json)" again2 --key-file key
    cmp a.bin again2/a.bin || fail "the encrypted job restored other bytes after two copies"
    on again check --key-file key >check.txt 2>&1 || { cat check.txt >&2; fail "check finds the third store damaged"; }
  fi
  ;;

refusals)
  make_inputs
  on src -q backup a.bin --manifest m1.json
  on src -q backup t --set chain --manifest full.json
  on src -q backup t --set chain --type incr --manifest incr.json
  got=0
  on src -q backup a.bin --streams 2 --manifest failed.json --fail-stream 1 2>/dev/null || got=$?
  [[ $got == 1 ]] || fail "the rehearsed failure exited $got"
  failed=$(jobs_of src | awk '$2 == "failed" {print $1}')
  src=$(cd src && pwd -P)
  refused() {
    expect_line 2 "$1" --store src --test-skip-pauses "${@:2}"
    [[ ! -e dst ]] || fail "a refused copy made the target: $*"
  }
  refused "copy takes the jobs to copy or --all-new, one of them" copy --to dst
  refused "copy takes the jobs to copy or --all-new, one of them" copy "$(job_of m1.json)" --all-new --to dst
  refused "$src has no job 42" copy 42 --to dst
  refused "job $failed is failed in $src, not complete: only a complete job is copied" copy "$failed" --to dst
  refused "--to names the store that the jobs are copied from, $src" copy --all-new --to ./src
  refused "job $(job_of incr.json) refers to job $(job_of full.json), which dst will not have: copy job $(job_of full.json) too, or give --all-new" \
    copy "$(job_of incr.json)" --to dst
  refused "--limit-rate must be bytes per second from 1K to 1024G (800K, 50M, 1G), not 5X" \
    copy --all-new --to dst --limit-rate 5X
  ;;

killed)
  make_inputs
  on src -q backup a.bin t --streams 2 --manifest m1.json
  on src -q backup a.bin --streams 3 --compress lz4 --encrypt --key-file key --manifest m2.json
  before=$(jobs_of src)
  # CRASH_STRIDE=N kills at every Nth step (the sanitizers' workflow), as
  # crash_consistency.sh does; on an object store every sixth, from a first
  # one drawn at random, so that runs together cover every step.
  stride=${CRASH_STRIDE:-1}
  object_store && stride=6
  n=$((1 + RANDOM % stride))
  kills=0
  while :; do
    target=dst-$n
    got=0
    on src --test-kill-at "$n" copy --all-new --to "$(store_url "$target")" >/dev/null 2>&1 || got=$?
    [[ $got == 0 || $got == 137 ]] || fail "the copy killed at step $n exited $got"
    [[ $(jobs_of src) == "$before" ]] || fail "a copy killed at step $n changed the source"
    if on "$target" list >/dev/null 2>&1; then
      on "$target" -q cleanup >/dev/null 2>&1 || fail "cleanup after a kill at step $n failed"
      # Rows of files: JOB STATE FILE STREAM FILE-STATE BYTES CREATED.
      on "$target" list 2>/dev/null >list.txt
      if awk 'NR > 1 && $3 != "-" && ($2 != "complete" || $5 != "closed")' list.txt | grep -q .; then
        cat list.txt >&2
        fail "after a kill at step $n the target keeps files of a job that is not complete"
      fi
      on "$target" check --key-file key >check.txt 2>&1 ||
        { cat check.txt >&2; fail "after a kill at step $n check finds the target damaged"; }
      for m in m1 m2; do
        job=$(job_of "$m.json")
        awk -v job="$job" '$1 "" == job && $2 == "complete"' <(jobs_of "$target") | grep -q . || continue
        opts=()
        [[ $m == m2 ]] && opts=(--key-file key)
        restore_job "$(store_url "$target")" "$job" "out-$n-$m" "${opts[@]}"
        cmp a.bin "out-$n-$m/a.bin" || fail "after a kill at step $n job $job restored other bytes"
      done
      if [[ $got == 137 ]]; then
        # Copied again, a job the kill left failed is copied whole.
        on src copy --all-new --to "$(store_url "$target")" >/dev/null 2>again.txt ||
          { cat again.txt >&2; fail "the copy after a kill at step $n failed"; }
        [[ $(jobs_of "$target") == "$before" ]] || fail "the copy after a kill at step $n is not whole"
        [[ $(began_of "$target") == "$(began_of src)" ]] ||
          fail "the copy after a kill at step $n began at other times"
        on "$target" check --key-file key >check.txt 2>&1 ||
          { cat check.txt >&2; fail "the copy after a kill at step $n is not sound"; }
      fi
    fi
    [[ $got == 0 ]] && break
    kills=$((kills + 1))
    n=$((n + stride))
    ((n < 400)) || fail "the copy was still killed at step $n"
  done
  ((kills > 3)) || fail "only $kills kills: the copy had no steps to kill at"
  [[ $(jobs_of "$target") == "$before" ]] || fail "the copy that ran to its end is not whole"
  echo "killed $kills times"
  # SIGTERM while a limit paces the copy: exit 143 within seconds, what it
  # wrote invalidated, and the copy after a cleanup whole.
  ends_on_sigterm 1.5 10 "$agent" --store "$(store_url src)" --test-skip-pauses copy --all-new \
    --to "$(store_url signalled)" --limit-rate 512K
  on signalled -q cleanup >/dev/null
  on src -q copy --all-new --to "$(store_url signalled)" || fail "the copy after a SIGTERM failed"
  [[ $(jobs_of signalled) == "$before" ]] || fail "the copy after a SIGTERM is not whole"
  ;;
*) fail "no case $case_name" ;;
esac
echo "PASS: $case_name"
