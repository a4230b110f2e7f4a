#!/usr/bin/env bash
# Agents of several hosts sharing one store whose catalog is in PostgreSQL.
# Usage: pg_multihost.sh AGENT CASE, with PIPELINESETUP_TEST_PG naming the
# test server (skipped, exit 77, without it). The cases that stop a server
# start one of their own with .ci/postgres, so that other tests keep theirs.
#   six_hosts     6 agents at once, each its own host name, into one store:
#                 identities unique, every job restores byte for byte
#   killed_agent  one agent killed mid-job: its advisory lock is released, and
#                 cleanup from another host removes exactly its files
#   server_stops  the server stopped during a backup, restarted under one,
#                 and down for a restore: clean failures, nothing complete,
#                 the store consistent after it returns and cleanup runs
set -euo pipefail

agent=$1
case_name=$2
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=pg_env.sh
source "$(dirname "$0")/pg_env.sh"
if [[ -z ${PIPELINESETUP_TEST_PG:-} ]]; then
  echo "SKIP: PIPELINESETUP_TEST_PG names no PostgreSQL server"
  exit 77
fi
work=$(mktemp -d "${TMPDIR:-/tmp}/agent-pg.XXXXXX")
server=""
cleanup_work() {
  [[ -n $server ]] && "$here/../../.ci/postgres" kill "$server" >/dev/null 2>&1
  rm -rf "$work"
  [[ -n $server ]] && rm -rf "$server"
  return 0
}
trap cleanup_work EXIT
cd "$work"

fail() { echo "FAIL: $*" >&2; exit 1; }
pg=$PIPELINESETUP_TEST_PG
make_input() { head -c "$2" /dev/urandom >"$1"; }
# The agent on host $1.
on() { local host=$1; shift; "$agent" --test-host-name "$host" "$@"; }
# The ids of every archive file in manifests $@, one a line.
manifest_ids() { python3 -c '
import json, sys
for path in sys.argv[1:]:
    for a in json.load(open(path))["archiveFiles"]:
        print(a["trellanId"], a["groupNumber"], a["afileId"])' "$@"; }
# Rows of list for job $1 (JOB STATE FILE STREAM FILE-STATE BYTES CREATED).
rows_of() { awk -v job="$1" 'NR > 1 && $1 "" == job' list.txt; }
# Waits until file $1 holds a line with $2, at most 60 s.
await() {
  local i
  for ((i = 0; i < 600; i++)); do grep -q "$2" "$1" 2>/dev/null && return 0; sleep 0.1; done
  fail "gave up waiting for '$2' in $1"
}

case $case_name in
six_hosts)
  for h in 1 2 3 4 5 6; do make_input "in$h.db" $((400000 + h * 7919)); done
  # Real pauses: the six jobs overlap over their whole length.
  for h in 1 2 3 4 5 6; do
    on "host$h" --store store --catalog "$pg" backup "in$h.db" --streams 4 \
      --manifest "m$h.json" >/dev/null 2>"b$h.err" &
    eval "pid$h=\$!"
  done
  for h in 1 2 3 4 5 6; do
    eval "wait \$pid$h" || { cat "b$h.err" >&2; fail "the agent of host$h failed its backup"; }
  done
  grep -q '^catalog=' store/store.ini || fail "store.ini records no catalog"
  [[ $(manifest_ids m?.json | wc -l) == 24 ]] || fail "the manifests name other than 24 archive files"
  [[ $(manifest_ids m?.json | sort | uniq -d) == "" ]] || fail "two jobs got the same archive file id"
  [[ $(manifest_ids m?.json | awk '{print $3}' | sort -u | wc -l) == 24 ]] ||
    fail "archive file ids repeat"
  "$agent" --store store list >list.txt 2>/dev/null
  [[ $(awk 'NR > 1 && $2 == "complete" && $5 == "closed"' list.txt | wc -l) == 24 ]] ||
    { cat list.txt >&2; fail "list does not show 24 closed files of complete jobs"; }
  # Each host restores another host's job.
  for h in 1 2 3 4 5 6; do
    other=$((h % 6 + 1))
    on "host$h" --store store restore "m$other.json" --output "r$other.db" 2>"r$h.err" ||
      { cat "r$h.err" >&2; fail "host$h cannot restore the job of host$other"; }
    cmp "in$other.db" "r$other.db" || fail "host$h restored other bytes of host$other's job"
  done
  "$agent" --store store check >/dev/null 2>check.err || { cat check.err >&2; fail "check fails"; }
  ;;

killed_agent)
  make_input long.db 600000
  make_input doomed.db 500000
  # A job that runs throughout (8 streams, 2 s apart), on host A.
  on hostA --store store --catalog "$pg" -v backup long.db --streams 8 --manifest long.json \
    >/dev/null 2>long.err &
  long=$!
  await long.err 'stream 1 at '
  # Host B dies (SIGKILL) after its second archive file is entered.
  got=0
  on hostB --store store -v --test-skip-pauses --test-kill-at 8 backup doomed.db --streams 4 --manifest doomed.json \
    >/dev/null 2>doomed.err || got=$?
  [[ $got == 137 ]] || { cat doomed.err >&2; fail "the doomed agent exited $got, not by SIGKILL"; }
  doomed=$(sed -n 's/.* as job \([0-9]*\) into .*/\1/p' doomed.err | head -n 1)
  [[ -n $doomed ]] || { cat doomed.err >&2; fail "the doomed agent named no job"; }
  "$agent" --store store list >list.txt 2>/dev/null
  rows_of "$doomed" | grep -q . || { cat list.txt >&2; fail "the doomed job left nothing to clean"; }
  # crashed: another host took the job's advisory lock, so its holder's
  # connection is gone; running: the live job's lock is held.
  rows_of "$doomed" | awk '$2 != "crashed" {exit 1}' ||
    { cat list.txt >&2; fail "the killed job's lock is not released"; }
  long_job=$(sed -n 's/.* as job \([0-9]*\) into .*/\1/p' long.err | head -n 1)
  rows_of "$long_job" | awk '$2 != "running" {exit 1}' ||
    { cat list.txt >&2; fail "the live job is not seen running"; }
  doomed_files=$(rows_of "$doomed" | awk '{print $3}' | sed 's/.*-//' | sort)
  before=$(ls store/files | sort)
  on hostC --store store cleanup >cleanup.txt 2>cleanup.err ||
    { cat cleanup.err >&2; fail "cleanup on host C failed"; }
  after=$(ls store/files | sort)
  gone=$(comm -23 <(echo "$before") <(echo "$after") | sed 's/\..*//' | sort -u)
  [[ "$gone" == "$doomed_files" ]] ||
    fail "cleanup removed $(echo $gone) instead of the dead job's $(echo $doomed_files)"
  [[ $(grep -c '^removed ' cleanup.txt) == $(echo "$doomed_files" | wc -w) ]] ||
    { cat cleanup.txt >&2; fail "cleanup reported other removals"; }
  wait "$long" || { cat long.err >&2; fail "the live job failed beside the cleanup"; }
  mkdir out
  on hostC --store store restore long.json --output out 2>/dev/null || fail "the live job does not restore"
  cmp long.db out/long.db || fail "the live job restored other bytes"
  "$agent" --store store list >list.txt 2>/dev/null
  rows_of "$doomed" | awk '$2 != "failed" || $3 != "-" {exit 1}' ||
    { cat list.txt >&2; fail "the dead job is not failed without files"; }
  "$agent" --store store check >/dev/null 2>check.err || { cat check.err >&2; fail "check fails"; }
  ;;

server_stops)
  server=$(mktemp -d)
  conn=$("$here/../../.ci/postgres" start "$server")
  make_input base.db 300000
  make_input job.db 600000
  on hostA --store store --catalog "$conn" --test-skip-pauses backup base.db --streams 2 \
    --manifest base.json 2>/dev/null

  # Down during a backup: it fails with one line and exit 1.
  on hostA --store store -v backup job.db --streams 4 --manifest down.json \
    >/dev/null 2>down.log &
  job=$!
  await down.log 'stream 1 at '
  "$here/../../.ci/postgres" stop "$server"
  got=0; wait "$job" || got=$?
  grep -v ' local platform\| -Debug-\| -Error-\|^20[0-9][0-9]-' down.log >down.err || true
  [[ $got == 1 ]] || { cat down.log >&2; fail "the backup whose server stopped exited $got"; }
  [[ $(grep -c 'pipeline-agent: error: ' down.err) == 1 ]] ||
    { cat down.err >&2; fail "the failed backup did not end with one error line"; }
  [[ ! -e down.json ]] || fail "a manifest was written for the failed backup"
  # Down at the start: exit 1, nothing made.
  got=0
  on hostB --store store --test-skip-pauses backup job.db --manifest none.json >/dev/null \
    2>start.err || got=$?
  [[ $got == 1 && $(wc -l <start.err) == 1 ]] || { cat start.err >&2; fail "a backup with the server down exited $got"; }
  grep -q 'does not answer' start.err || { cat start.err >&2; fail "the line does not say the server is down"; }
  got=0
  on hostB --store store restore base.json --output none.db >/dev/null 2>restore.err || got=$?
  [[ $got == 1 && ! -e none.db && $(wc -l <restore.err) == 1 ]] ||
    { cat restore.err >&2; fail "a restore with the server down exited $got or left an output"; }

  # Restarted under a running backup: the writer lost its lock, so it must
  # not report its job complete.
  "$here/../../.ci/postgres" start "$server" >/dev/null
  on hostA --store store -v backup job.db --streams 4 --manifest restarted.json \
    >/dev/null 2>restarted.log &
  job=$!
  await restarted.log 'stream 1 at '
  "$here/../../.ci/postgres" stop "$server"
  "$here/../../.ci/postgres" start "$server" >/dev/null
  got=0; wait "$job" || got=$?
  [[ $got == 1 ]] || { tail -n 5 restarted.log >&2; fail "the backup whose server restarted exited $got"; }
  [[ ! -e restarted.json ]] || fail "a manifest was written for the backup that lost its lock"

  # Down during a restore, between the opening of its two streams (spaced
  # 1 s apart by the store's settings): it fails with exit 1 and leaves no
  # output, partial or whole.
  printf '[MSSQLAgent]\nDelayPipelineSetup = 1\n' >store/settings.ini
  on hostB --store store restore base.json --output mid.db >/dev/null 2>mid.err &
  job=$!
  sleep 0.5
  "$here/../../.ci/postgres" stop "$server"
  got=0; wait "$job" || got=$?
  [[ $got == 1 && ! -e mid.db ]] || { cat mid.err >&2; fail "the interrupted restore exited $got or left an output"; }
  echo "the restore whose server stopped said: $(tail -n 1 mid.err)"
  [[ $(grep -c 'pipeline-agent: error: ' mid.err) == 1 ]] || { cat mid.err >&2; fail "the failed restore said more than one error"; }
  compgen -G '.mid.db.partial-*' >/dev/null && fail "a partial output remains"
  rm store/settings.ini

  # Back up: cleanup settles both failed jobs, nothing is complete but base.
  "$here/../../.ci/postgres" start "$server" >/dev/null
  on hostC --store store cleanup >cleanup.txt 2>cleanup.err || { cat cleanup.err >&2; fail "cleanup failed"; }
  "$agent" --store store list >list.txt 2>/dev/null
  [[ $(awk 'NR > 1 && $2 == "complete"' list.txt | wc -l) == 2 ]] ||
    { cat list.txt >&2; fail "other than base's 2 files are complete"; }
  awk 'NR > 1 && $2 != "complete" && $3 != "-"' list.txt | grep -q . &&
    { cat list.txt >&2; fail "files of failed jobs remain"; }
  [[ $(ls store/files | wc -l) == 4 ]] || { ls store/files >&2; fail "files/ holds more than base's files"; }
  "$agent" --store store check >/dev/null 2>check.err || { cat check.err >&2; fail "check fails"; }
  on hostC --store store restore base.json --output back.db 2>/dev/null || fail "base does not restore"
  cmp base.db back.db || fail "base restored other bytes"
  ;;
*)
  fail "unknown case $case_name"
  ;;
esac
echo "PASS: $case_name"
