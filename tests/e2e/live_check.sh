#!/usr/bin/env bash
# check and list beside live backups: agents back up into one store, in a
# loop, while check and list run again and again. Every check must find a
# healthy store (exit 0, no problem line), every list must exit 0, and every
# backup that exited 0 must restore byte for byte afterwards. One job is held
# in flight on purpose (it waits after its first chunk until told to go), so
# that every check sees at least one running job with files being written.
# Usage: live_check.sh AGENT [SECONDS]; the catalog is PostgreSQL when
# $PIPELINE_CATALOG names one (on_postgres.sh), and the store is in object
# storage under on_object_store.sh.
set -euo pipefail

agent=$(realpath "$1")
seconds=${2:-15}
# shellcheck source=lib.sh
source "$(dirname "$0")/lib.sh" live-check

make_input() { head -c "$2" /dev/urandom >"$1"; }
# On the way out, a failure included, the agents this script started are
# told to stop and waited for (each ends within seconds) before the work
# directory goes.
stop_all() {
  touch "$work/stop" "$work/go" 2>/dev/null
  wait
  rm -rf "$work"
}
trap stop_all EXIT
store=$(store_url store)

# A first job makes the store, so that the agents below find it made.
make_input first.bin 20000
"$agent" --store "$store" --test-skip-pauses backup first.bin --manifest first.json 2>first.err ||
  { cat first.err >&2; fail "the first backup failed"; }

# The held job: after its first chunk it waits (at most 60 s) for go.
make_input held.bin 300000
"$agent" --store "$store" --test-skip-pauses backup held.bin --streams 3 --manifest held.json \
  --test-after-first-chunk 'for i in $(seq 600); do [ -e go ] && exit 0; sleep 0.1; done; exit 1' \
  >/dev/null 2>held.err &
held=$!
# Its job is in the catalog, its files being written, once list shows it
# running.
for ((i = 0; i < 600; i++)); do
  "$agent" --store "$store" list >held-list.txt 2>/dev/null || fail "list beside the held job failed"
  grep -q ' running ' held-list.txt && break
  sleep 0.1
done
grep -q ' running ' held-list.txt || { cat held-list.txt held.err >&2; fail "the held job never ran"; }

# Three agents in a loop, with real pauses so that their jobs overlap; the
# third makes a failed job (a rehearsed stream failure) every other round.
end=$((SECONDS + seconds))
loop() {
  local a=$1 i=0 status
  make_input "in$a.bin" $((50000 + a * 7919))
  while ((SECONDS < end)) && [[ ! -e stop ]]; do
    i=$((i + 1))
    status=0
    if [[ $a == 3 && $((i % 2)) == 0 ]]; then
      "$agent" --store "$store" backup "in$a.bin" --streams 2 --fail-stream 2 \
        --manifest "f$a-$i.json" >/dev/null 2>"f$a-$i.err" || status=$?
      [[ $status == 1 ]] || { cat "f$a-$i.err" >&2; echo "rehearsed failure exited $status" >loop$a.bad; }
    else
      "$agent" --store "$store" backup "in$a.bin" --streams 2 --manifest "m$a-$i.json" \
        >/dev/null 2>"m$a-$i.err" || status=$?
      echo "$a $i $status" >>done.txt
    fi
  done
}
for a in 1 2 3; do loop "$a" & eval "loop$a=\$!"; done

checks=0
lists=0
while ((SECONDS < end)); do
  status=0
  "$agent" --store "$store" check >check.txt 2>check.err || status=$?
  if [[ $status != 0 ]] || grep -q '^problem:' check.txt; then
    cat check.txt check.err >&2
    fail "check beside live backups exited $status"
  fi
  grep -q -- '--repair' check.err && { cat check.err >&2; fail "check advised a repair"; }
  checks=$((checks + 1))
  status=0
  "$agent" --store "$store" list >list.txt 2>list.err || status=$?
  [[ $status == 0 ]] || { cat list.err >&2; fail "list beside live backups exited $status"; }
  status=0
  "$agent" --store "$store" --json list >list.json 2>/dev/null || status=$?
  [[ $status == 0 ]] || fail "list --json beside live backups exited $status"
  lists=$((lists + 2))
done

for a in 1 2 3; do eval "wait \$loop$a"; done
[[ ! -e loop3.bad ]] || fail "a rehearsed failure did not fail as it should"
touch go
wait "$held" || { cat held.err >&2; fail "the held backup failed"; }
echo "checks: $checks, lists: $lists, backups: $(wc -l <done.txt)"
((checks >= 3)) || fail "only $checks checks ran beside the backups"

# Every backup that said it completed restores byte for byte.
restored=0
while read -r a i status; do
  [[ $status == 0 ]] || continue
  "$agent" --store "$store" restore "m$a-$i.json" --output "r$a-$i.bin" 2>/dev/null ||
    fail "job m$a-$i.json does not restore"
  cmp "in$a.bin" "r$a-$i.bin" || fail "m$a-$i.json restored other bytes"
  restored=$((restored + 1))
done <done.txt
"$agent" --store "$store" restore held.json --output held.out 2>/dev/null || fail "the held job does not restore"
cmp held.bin held.out || fail "the held job restored other bytes"
((restored >= 3)) || fail "only $restored backups completed"
# Once nothing runs, the store is sound and says so.
"$agent" --store "$store" check >check.txt 2>check.err ||
  { cat check.txt check.err >&2; fail "check after the backups failed"; }
echo "restored: $((restored + 1))"

# Damage beside a live job is reported, and the advice is to wait, never to
# rebuild the catalog beside a writer; once nothing runs, to repair.
rm go
"$agent" --store "$store" --test-skip-pauses backup first.bin --manifest held2.json \
  --test-after-first-chunk 'for i in $(seq 600); do [ -e go ] && exit 0; sleep 0.1; done; exit 1' \
  >/dev/null 2>held2.err &
held=$!
for ((i = 0; i < 600; i++)); do
  "$agent" --store "$store" list >held-list.txt 2>/dev/null
  grep -q ' running ' held-list.txt && break
  sleep 0.1
done
# A backup killed after it made its archive file and the file's
# description, before the catalog entered the file (the step found by
# killing at 1, 2, ... until the log names it, cleanup clearing what each
# earlier kill left): check names the killed job's file and cleanup beside
# the live job, never a repair, and cleanup removes it, leaving the live
# job be. (In object storage a file appears only once written whole.)
if ! object_store; then
  killed_at=
  for ((step = 1; step <= 60; step++)); do
    status=0
    "$agent" --store "$store" --test-skip-pauses --log-file killed.log backup first.bin --streams 1 \
      --manifest killed.json --test-kill-at "$step" >/dev/null 2>&1 || status=$?
    [[ $status == 137 ]] || fail "the backup killed at step $step exited $status"
    grep -q "killed at step $step (description written)" killed.log && { killed_at=$step; break; }
    "$agent" --store "$store" cleanup >/dev/null 2>&1 || fail "cleanup after a kill failed"
  done
  [[ -n $killed_at ]] || fail "no step of the killed backup wrote a description"
  status=0
  "$agent" --store "$store" check >check.txt 2>check.err || status=$?
  [[ $status == 1 ]] || { cat check.txt check.err >&2; fail "check of a killed backup's file exited $status"; }
  grep -q "^problem: .*/files/[0-9]*\.arch is not in the catalog: its description gives it to job [0-9]*, whose writer stopped after making it and before entering it in the catalog, as a killed backup does (cleanup removes it)$" check.txt ||
    { cat check.txt >&2; fail "check did not say whose file the killed backup left"; }
  grep -qF 'problem(s); `cleanup` removes what jobs that did not complete left' check.err ||
    { cat check.err >&2; fail "check beside a live job did not name cleanup"; }
  grep -q -- '--repair' check.txt check.err && { cat check.err >&2; fail "check advised a repair beside a live job"; }
  "$agent" --store "$store" cleanup >cleanup.txt 2>&1 || { cat cleanup.txt >&2; fail "cleanup beside the live job failed"; }
  "$agent" --store "$store" check >check.txt 2>check.err ||
    { cat check.txt check.err >&2; fail "check after cleanup beside the live job failed"; }
fi
echo stray | store_put store/files/stray
status=0
"$agent" --store "$store" check >check.txt 2>check.err || status=$?
[[ $status == 1 ]] || { cat check.txt check.err >&2; fail "check of a damaged store exited $status"; }
where=$store
object_store || where=$(realpath store)
[[ $(cat check.txt) == "problem: $where/files/stray is neither an archive file nor a description" ]] ||
  { cat check.txt >&2; fail "check beside a live job reported other than the stray file"; }
grep -qF "has 1 problem(s); 1 job is running: check again after they end" check.err ||
  { cat check.err >&2; fail "check beside a live job did not say to check again"; }
grep -q -- '--repair' check.err && { cat check.err >&2; fail "check advised a repair beside a live job"; }
touch go
wait "$held" || { cat held2.err >&2; fail "the second held backup failed"; }
status=0
"$agent" --store "$store" check >check.txt 2>check.err || status=$?
[[ $status == 1 ]] && grep -qF -- '`check --repair` rebuilds the catalog' check.err ||
  { cat check.err >&2; fail "check with nothing running did not advise the repair"; }
