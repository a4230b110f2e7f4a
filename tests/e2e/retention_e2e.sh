#!/usr/bin/env bash
# End-to-end runs of deleting backups on purpose: delete, mark-damaged and
# expire, and what check advises. Usage: retention_e2e.sh AGENT CASE
set -euo pipefail

agent=$1
case_name=$2
# shellcheck source=lib.sh
source "$(dirname "$0")/lib.sh" retention-e2e

# What --store takes: the directory "store", or the store of that name in the
# object store when on_object_store.sh runs this.
store_arg=$(store_url store)
run() { "$agent" --store "$store_arg" --test-skip-pauses --log-level -1 "$@"; }
make_input() { head -c "$2" /dev/urandom >"$1"; }
job_of() { python3 -c 'import json, sys; print(json.load(open(sys.argv[1]))["jobId"])' "$1"; }

# Runs the agent on the store, expecting exit status $1 and stderr to be the
# one error line $2 (with the log's place after it, when there is one).
refused() {
  local status=$1 line=$2
  shift 2
  local got=0
  run -q "$@" >out.txt 2>err.txt || got=$?
  [[ $got == "$status" ]] || { cat err.txt >&2; fail "'$*' exited $got, expected $status"; }
  [[ $(wc -l <err.txt) == 1 ]] || { cat err.txt >&2; fail "'$*' said more than one line"; }
  [[ $(cat err.txt) == "pipeline-agent: error: $line" || $(cat err.txt) == "pipeline-agent: error: $line (log: "*")" ]] ||
    { cat err.txt >&2; fail "'$*' did not say: $line"; }
}

# Runs SQL on the store's catalog, SQLite's or PostgreSQL's.
on_catalog() {
  if [[ -n ${PIPELINE_CATALOG:-} ]]; then
    psql -X -q -At -d "$PIPELINE_CATALOG" -c "SET client_min_messages = warning" \
      -c "SET search_path TO pipelinesetup_store_$(store_cat store/store.ini | sed -n 's/^trellan_id=//p')" -c "$1"
  else
    sqlite3 store/catalog.db "$1"
  fi
}

# What the store holds: its list (the columns' widths aside), and its files
# and job files by name.
store_view() {
  run list 2>/dev/null | tr -s ' '
  if object_store; then
    { store_ls store/files | sed 's|^|files/|'; store_ls store/jobs | sed 's|^|jobs/|'; } | grep -v '\.lock$' | sort
  else
    (cd store && find files jobs -type f ! -name '*.lock' | sort)
  fi
}

# The names in folder $1 of the store ("store/files").
names_in() {
  if object_store; then store_ls "$1"; else ls "$1"; fi
}

# Restores job $1 (by its stored manifest) into a fresh directory and
# compares every file with the inputs named $2...
restores_whole() {
  local job=$1
  shift
  rm -rf "out-$job"
  mkdir "out-$job"
  run -q restore --job "$job" --output "out-$job" 2>err.txt || { cat err.txt >&2; fail "job $job does not restore"; }
  local input
  for input in "$@"; do
    cmp -s "out-$job/$(basename "$input")" "$input" || fail "job $job restored other bytes for $input"
  done
}

# The store as the agent names it: the directory's canonical path, or the URL.
if object_store; then
  store=$store_arg
else
  store=$(mkdir -p store && cd store && pwd -P)
fi

case $case_name in
delete)
  make_input a.bin 300000
  make_input b.bin 200001
  make_input c.bin 70000
  run -q backup a.bin b.bin --streams 3 --manifest ab.json
  run -q backup c.bin --streams 2 --manifest c.json
  run -q backup b.bin --manifest b.json
  ab=$(job_of ab.json) c=$(job_of c.json) b=$(job_of b.json)

  # A dry run names the job, its archive files and bytes, and changes nothing.
  before=$(store_view)
  run delete "$ab" --dry-run >dry.txt 2>/dev/null
  grep -qx "would delete job $ab (complete, created .*): 3 archive files, 500001 bytes" dry.txt ||
    { cat dry.txt >&2; fail "the dry run does not name the job, its files and bytes"; }
  [[ $(grep -c "^  $store/files/[0-9]*\.arch [0-9]*-[0-9]*-[0-9]* (stream [1-3], [0-9]* bytes) and its description$" dry.txt) == 3 ]] || { cat dry.txt >&2; fail "the dry run does not list the archive files"; }
  [[ $(store_view) == "$before" ]] || fail "the dry run changed the store"

  # Off a terminal, nothing without --yes; refusals name the job.
  refused 2 "delete removes backups for good: give --yes to confirm it off a terminal (or --dry-run to see what would go)" \
    delete "$ab" </dev/null
  refused 2 "the store $store has no job 12345" delete 12345 --yes
  refused 2 "the store $store has no job 12345" delete "$ab" 12345 --yes
  [[ $(store_view) == "$before" ]] || fail "a refused delete changed the store"

  # Exactly the job's files, markers and rows go.
  ids=$(on_catalog "SELECT afile_id FROM archive_files WHERE job_id = $ab ORDER BY afile_id" | tr '\n' ' ')
  [[ $(wc -w <<<"$ids") == 3 ]] || fail "the job has not 3 archive files: $ids"
  run delete "$ab" --yes >del.txt 2>/dev/null
  grep -qx "deleted job $ab: 3 archive files, 500001 bytes" del.txt || { cat del.txt >&2; fail "delete did not say what it removed"; }
  for id in $ids; do
    ! store_has "store/files/$id.arch" && ! store_has "store/files/$id.meta" || fail "archive file $id of the deleted job is left"
  done
  ! store_has "store/jobs/$ab.complete" && ! store_has "store/jobs/$ab.manifest.json" || fail "the deleted job's marker or manifest is left"
  [[ -z $(on_catalog "SELECT job_id FROM jobs WHERE job_id = $ab UNION SELECT job_id FROM archive_files WHERE job_id = $ab") ]] ||
    fail "the deleted job's rows are left"
  expected=$(grep -v -e "^$ab " -e "^jobs/$ab\." <<<"$before")
  for id in $ids; do expected=$(grep -v -e "^files/$id\.arch$" -e "^files/$id\.meta$" <<<"$expected"); done
  [[ $(store_view) == "$expected" ]] || { diff <(store_view) <(echo "$expected") >&2; fail "delete removed more or less than the job's own"; }
  restores_whole "$c" c.bin
  restores_whole "$b" b.bin
  run check >/dev/null 2>&1 || fail "check finds the store damaged after a delete"
  refused 2 "the store $store has no job $ab" delete "$ab" --yes

  # A restore holds its job: a delete is refused while it reads, and goes
  # through once it has ended.
  mkdir slow
  : >slow.err
  "$agent" --store "$store_arg" --log-level -1 --test-media-chunk-delay 30000 restore --job "$b" --output slow \
    >slow.out 2>slow.err &
  reader=$!
  for ((i = 0; i < 300; i++)); do
    grep -q "restoring 1 file" slow.err && break
    kill -0 "$reader" 2>/dev/null || { cat slow.err >&2; fail "the slow restore ended early"; }
    sleep 0.1
  done
  grep -q "restoring 1 file" slow.err || fail "the slow restore never began"
  refused 1 "job $b is in use (a restore reads it, or another command deletes it); not deleted" delete "$b" --yes
  store_has "store/jobs/$b.complete" || fail "a refused delete removed the job's marker"
  kill -TERM "$reader"
  wait "$reader" || true
  restores_whole "$b" b.bin
  run delete "$b" "$c" --yes >/dev/null 2>err.txt || { cat err.txt >&2; fail "delete of two jobs failed"; }
  [[ -z $(on_catalog "SELECT job_id FROM jobs") ]] || fail "jobs are left after all were deleted"
  [[ -z $(names_in store/files) ]] || fail "files are left after every job was deleted"

  # A job marked deleting (as a kill mid-deletion leaves it): listed so,
  # refused by restore, named by check, finished by cleanup.
  run -q backup c.bin --manifest half.json
  half=$(job_of half.json)
  on_catalog "UPDATE jobs SET state = 'deleting' WHERE job_id = $half"
  [[ $(run list 2>/dev/null | awk -v j="$half" '$1 "" == j {print $2}' | sort -u) == deleting ]] || fail "list does not show the job deleting"
  refused 2 "job $half of the store $store is deleting, not complete; it cannot be restored" \
    restore --job "$half" --output slow
  refused 1 "job $half is being deleted; it cannot be restored" restore half.json --output slow
  run check >check.txt 2>&1 && fail "check passes a job left deleting"
  grep -qx "problem: job $half was being deleted when its deleter stopped (cleanup finishes it)" check.txt ||
    { cat check.txt >&2; fail "check does not name the job left deleting"; }
  run cleanup >cleanup.txt 2>/dev/null
  grep -qx "finished deleting job $half, whose deletion was cut short" cleanup.txt || { cat cleanup.txt >&2; fail "cleanup did not finish the deletion"; }
  [[ -z $(on_catalog "SELECT job_id FROM jobs WHERE job_id = $half") ]] && ! store_has "store/jobs/$half.complete" ||
    fail "cleanup left the deleted job"
  run check >/dev/null 2>&1 || fail "check fails after cleanup finished a deletion"

  # Running (crashed) and failed jobs are cleanup's.
  run -q backup a.bin --streams 2 --manifest keep.json
  run --test-kill-at 8 backup b.bin --streams 2 --manifest crashed.json >/dev/null 2>&1 && fail "the backup to crash completed"
  crashed=$(on_catalog "SELECT job_id FROM jobs WHERE state = 'running'")
  [[ -n $crashed ]] || fail "no crashed job to refuse"
  refused 2 "job $crashed is running but its writer is gone; \`cleanup\` removes it" delete "$crashed" --yes
  run cleanup >/dev/null 2>&1
  refused 2 "job $crashed is failed, not complete; \`cleanup\` removes what failed and crashed jobs left" \
    delete "$crashed" --yes
  restores_whole "$(job_of keep.json)" a.bin

  # On a terminal (script gives one) it asks: only yes deletes.
  if command -v script >/dev/null; then
    keep=$(job_of keep.json)
    got=0
    printf 'n\n' | timeout 60 script -qec "'$agent' --store '$store_arg' -q delete $keep" /dev/null >tty.txt || got=$?
    [[ $got == 1 ]] && grep -q "for good? \[y/N\]" tty.txt && grep -q "not confirmed; nothing was deleted" tty.txt ||
      { cat tty.txt >&2; fail "a delete answered no exited $got"; }
    restores_whole "$keep" a.bin
    printf 'y\n' | timeout 60 script -qec "'$agent' --store '$store_arg' -q delete $keep" /dev/null >tty.txt ||
      { cat tty.txt >&2; fail "a delete answered yes failed"; }
    [[ -z $(on_catalog "SELECT job_id FROM jobs WHERE job_id = $keep") ]] || fail "a delete answered yes left the job"
  fi
  ;;

damaged)
  make_input a.bin 300000
  make_input b.bin 200001
  run -q backup a.bin b.bin --streams 3 --manifest ab.json
  run -q backup a.bin --manifest other.json
  job=$(job_of ab.json)
  # The archive file of stream 3, whose end holds b.bin's part: cut short,
  # it still holds a.bin's part whole.
  read -r afile trellan group < <(python3 - ab.json <<'PY'
import json, sys
part = json.load(open(sys.argv[1]))["files"][1]["streams"][2]
print(part["afileId"], part["trellanId"], part["groupNumber"])
PY
)
  if object_store; then
    store_cat "store/files/$afile.arch" >whole.arch
    head -c $(($(stat -c %s whole.arch) - 1000)) whole.arch | store_put "store/files/$afile.arch"
  else
    truncate -s -1000 "store/files/$afile.arch"
  fi

  # check names the job and advises delete or mark-damaged, problem and
  # summary alike.
  refused 1 "the store $store has 1 problem(s); job $job is damaged: \`delete $job\` removes it; \`mark-damaged $job\` keeps it, restorable file by file where its archive files are whole" check
  grep -q "^problem: archive file ($trellan, $group, $afile) of job $job: its data file has " out.txt ||
    { cat out.txt >&2; fail "check does not name the damaged archive file"; }
  grep -qx "advice: job $job is damaged: \`delete $job\` removes it; \`mark-damaged $job\` keeps it, restorable file by file where its archive files are whole" out.txt ||
    { cat out.txt >&2; fail "check gives no advice"; }

  # Marked: kept, listed as damaged, no problem for check.
  refused 2 "the store has no job 999" mark-damaged 999
  run mark-damaged "$job" >/dev/null 2>&1
  run list >list.txt 2>/dev/null
  [[ $(awk -v j="$job" '$1 "" == j {print $2}' list.txt | sort -u) == damaged ]] || { cat list.txt >&2; fail "list does not show the job damaged"; }
  run check >check.txt 2>&1 || { cat check.txt >&2; fail "check fails on a job marked damaged"; }
  grep -qx "note: job $job is marked damaged: kept, restorable file by file where its archive files are whole" check.txt ||
    { cat check.txt >&2; fail "check does not say the job is marked damaged"; }
  grep -q "^note: archive file ($trellan, $group, $afile) of job $job: .* (job $job is marked damaged)" check.txt ||
    { cat check.txt >&2; fail "check does not name what is damaged"; }

  # File by file: a.bin lies in whole archive files, b.bin does not.
  mkdir out
  run -q restore --job "$job" --file a.bin --output out 2>err.txt || { cat err.txt >&2; fail "the whole file of a damaged job does not restore"; }
  cmp -s out/a.bin a.bin || fail "the whole file of a damaged job restored other bytes"
  refused 1 "archive file $trellan-$group-$afile of stream 3 of job $job, which is marked damaged, holds 165667 bytes; b.bin's part lies at bytes 100000 to 166667; b.bin cannot be restored" \
    restore --job "$job" --file b.bin --output out
  [[ ! -e out/b.bin ]] || fail "a refused restore left an output"

  # Deleted on purpose: gone, and the store is sound.
  run delete "$job" --yes >/dev/null 2>&1 || fail "delete of a damaged job failed"
  ! store_has "store/files/$afile.arch" || fail "the damaged archive file is left"
  run check >/dev/null 2>&1 || fail "check fails after the damaged job was deleted"
  restores_whole "$(job_of other.json)" a.bin

  # After a killed backup, the problem and the summary both name cleanup.
  run --test-kill-at 8 backup b.bin --streams 2 --manifest crashed.json >/dev/null 2>&1 && fail "the backup to crash completed"
  got=0
  run check >check.txt 2>err.txt || got=$?
  [[ $got == 1 ]] || fail "check of a store with a killed job exited $got"
  grep -q "^problem: .*cleanup" check.txt || { cat check.txt >&2; fail "check's problem does not name cleanup"; }
  grep -q "\`cleanup\` removes what jobs that did not complete left" err.txt || { cat err.txt >&2; fail "check's summary does not name cleanup"; }
  grep -q "check --repair" err.txt check.txt && { cat check.txt err.txt >&2; fail "check advises a repair for a killed job"; }
  run cleanup >/dev/null 2>&1
  run check >/dev/null 2>&1 || fail "check fails after cleanup"
  ;;

expire)
  make_input a.bin 20000
  # On an object store each archive file costs an upload of its own: the
  # rules are what this case checks, so one stream there (delete checks
  # jobs of several files).
  streams=()
  object_store && streams=(--streams 1)
  # Seven jobs, then their dates set: Dec 4 twice, Dec 2, Dec 1, Nov 28,
  # Oct 30, Sep 1.
  dates=(2020-09-01T12:00:00.000Z 2020-10-30T12:00:00.000Z 2020-11-28T12:00:00.000Z
    2020-12-01T10:00:00.000Z 2020-12-02T09:00:00.000Z 2020-12-04T08:00:00.000Z 2020-12-04T18:00:00.000Z)
  jobs=()
  for i in "${!dates[@]}"; do
    run -q backup a.bin --manifest "m$i.json" "${streams[@]}"
    jobs+=("$(job_of "m$i.json")")
    on_catalog "UPDATE jobs SET created_at = '${dates[$i]}' WHERE job_id = ${jobs[$i]}"
  done
  refused 2 "backup --expire: the store $store_arg keeps no retention policy; keep one with \`expire ... --save\`" \
    backup a.bin --manifest none.json --expire
  [[ ! -e none.json && ${#jobs[@]} == $(on_catalog "SELECT COUNT(*) FROM jobs") ]] || fail "a refused backup --expire backed up"
  refused 2 "expire needs a policy: --keep-last, --keep-within, --keep-daily, --keep-weekly or --keep-monthly" expire
  refused 2 "--keep-within 3x: give a whole number of hours, days or weeks, such as 12h, 7d or 2w (1h to 100 years)" \
    expire --keep-within 3x

  # The dry run says what each rule keeps and changes nothing.
  before=$(store_view)
  run expire --keep-last 2 --keep-weekly 2 --keep-monthly 3 --dry-run >dry.txt 2>/dev/null
  kept() { awk -v j="$1" '$1 "" == j {print $3 " " $4}' "$2"; }
  [[ $(kept "${jobs[6]}" dry.txt) == "keep newest,last,weekly,monthly" ]] || { cat dry.txt >&2; fail "the newest job's rules"; }
  [[ $(kept "${jobs[5]}" dry.txt) == "keep last" ]] || { cat dry.txt >&2; fail "keep-last"; }
  [[ $(kept "${jobs[4]}" dry.txt) == "remove -" ]] || { cat dry.txt >&2; fail "a job no rule keeps"; }
  [[ $(kept "${jobs[2]}" dry.txt) == "keep weekly,monthly" ]] || { cat dry.txt >&2; fail "keep-weekly"; }
  [[ $(kept "${jobs[1]}" dry.txt) == "keep monthly" ]] || { cat dry.txt >&2; fail "keep-monthly"; }
  [[ $(kept "${jobs[0]}" dry.txt) == "remove -" ]] || { cat dry.txt >&2; fail "the fourth month"; }
  [[ $(store_view) == "$before" ]] || fail "the dry run changed the store"

  # keep-within counts back from the newest job: Dec 2 09:00 is within 3d
  # of Dec 4 18:00, Dec 1 10:00 is not. keep-daily 3 adds Dec 1.
  run -q expire --keep-within 3d --keep-daily 3 >expire.txt 2>&1 || { cat expire.txt >&2; fail "expire failed"; }
  remaining=$(on_catalog "SELECT job_id FROM jobs ORDER BY created_at" | tr '\n' ' ')
  [[ $remaining == "${jobs[3]} ${jobs[4]} ${jobs[5]} ${jobs[6]} " ]] || fail "expire left $remaining"
  for i in 0 1 2; do
    ! store_has "store/jobs/${jobs[$i]}.manifest.json" || fail "an expired job's manifest is left"
  done
  for i in 3 4 5 6; do restores_whole "${jobs[$i]}" a.bin; done
  run check >/dev/null 2>&1 || fail "check fails after expire"

  # The newest job is always kept, and a damaged job is left alone.
  run -q mark-damaged "${jobs[3]}"
  run -q expire --keep-last 1
  [[ $(on_catalog "SELECT job_id FROM jobs ORDER BY created_at" | tr '\n' ' ') == "${jobs[3]} ${jobs[6]} " ]] ||
    fail "keep-last 1 did not leave the newest and the damaged job"
  restores_whole "${jobs[6]}" a.bin

  # A kept policy, applied after each backup: the two new jobs are the
  # newest two, so the one before them goes; with --json, the document
  # names what went.
  run -q expire --keep-last 2 --save
  grep -qx "keep-last=2" <<<"$(store_cat store/retention.ini)" || fail "expire --save did not keep the policy"
  run -q backup a.bin --manifest n1.json --expire "${streams[@]}"
  run -q backup a.bin --manifest n2.json --expire --json "${streams[@]}" >n2.out
  python3 - n2.out "${jobs[6]}" <<'PY' || fail "backup --expire --json does not name the expired job"
import json, sys
d = json.load(open(sys.argv[1]))
assert d["expired"] == [int(sys.argv[2])], d
PY
  [[ $(on_catalog "SELECT job_id FROM jobs ORDER BY created_at" | tr '\n' ' ') == "${jobs[3]} $(job_of n1.json) $(job_of n2.json) " ]] ||
    fail "backup --expire did not apply the kept policy"
  restores_whole "$(job_of n1.json)" a.bin

  # A job a restore reads is skipped: expire deletes the others, names the
  # job it skipped and why, and exits 3; its dry run is as before. A backup
  # --expire that skips it says its backup is complete, then why its expiry
  # did not finish, and exits 3 too.
  n1=$(job_of n1.json) n2=$(job_of n2.json)
  run -q backup a.bin --manifest n3.json "${streams[@]}"
  n3=$(job_of n3.json)
  mkdir held
  "$agent" --store "$store_arg" --log-level -1 --media-timeout 10m --test-media-chunk-delay 600000 \
    restore --job "$n1" --output held >held.out 2>held.err &
  reader=$!
  for ((i = 0; i < 300; i++)); do
    grep -q "restoring 1 file" held.err && break
    kill -0 "$reader" 2>/dev/null || { cat held.err >&2; fail "the slow restore ended early"; }
    sleep 0.1
  done
  grep -q "restoring 1 file" held.err || fail "the slow restore never began"
  run expire --keep-last 1 --dry-run >dry.txt 2>/dev/null || fail "a dry run beside a restore failed"
  [[ $(kept "$n1" dry.txt) == "remove -" && $(kept "$n2" dry.txt) == "remove -" ]] || { cat dry.txt >&2; fail "the dry run beside a restore"; }
  refused 3 "expire skipped 1 job in use ($n1); deleted 1 job" expire --keep-last 1
  grep -qx "skipped job $n1: it is in use (a restore reads it, or another command deletes it)" out.txt &&
    grep -q "^deleted job $n2: .*, 20000 bytes$" out.txt || { cat out.txt >&2; fail "expire does not name what it skipped and deleted"; }
  [[ $(on_catalog "SELECT job_id FROM jobs ORDER BY created_at" | tr '\n' ' ') == "${jobs[3]} $n1 $n3 " ]] ||
    fail "expire beside a restore did not delete all but the job in use"
  got=0
  run -q backup a.bin --manifest n4.json --expire "${streams[@]}" >out.txt 2>err.txt || got=$?
  [[ $got == 3 ]] || { cat err.txt >&2; fail "backup --expire that skipped a job exited $got"; }
  [[ $(sed -n 1p err.txt) == "pipeline-agent: the backup is complete: manifest n4.json" &&
    $(sed -n 2p err.txt) == "pipeline-agent: error: expiring the store skipped 1 job in use ($n1); deleted 0 jobs (log: "*")" &&
    $(wc -l <err.txt) == 2 ]] || { cat err.txt >&2; fail "backup --expire does not say its backup is complete, then why its expiry did not finish"; }
  n4=$(job_of n4.json)
  [[ $(on_catalog "SELECT state FROM jobs WHERE job_id = $n4") == complete ]] || fail "the backup whose expiry skipped a job is not complete"
  got=0
  run -q backup a.bin --manifest n5.json --expire --json "${streams[@]}" >n5.out 2>err.txt || got=$?
  [[ $got == 3 ]] || { cat err.txt >&2; fail "backup --expire --json that skipped a job exited $got"; }
  python3 - n5.out "$n3" "$n1" <<'PY' || fail "backup --expire --json does not name what its expiry deleted and skipped"
import json, sys
d = json.load(open(sys.argv[1]))
assert not d["ok"] and d["exitCode"] == 3 and d["expired"] == [int(sys.argv[2])], d
assert d["skipped"] == [int(sys.argv[3])] and d["manifest"] == "n5.json", d
PY
  kill -TERM "$reader"
  wait "$reader" || true
  run -q expire --keep-last 2 || fail "expire once the restore ended failed"
  [[ $(on_catalog "SELECT job_id FROM jobs ORDER BY created_at" | tr '\n' ' ') == "${jobs[3]} $n4 $(job_of n5.json) " ]] ||
    fail "expire once the restore ended did not delete the job it skipped"

  # A job another command deletes between expire's listing and its deleting
  # is done, not a job the store lacks; likewise for delete.
  for r in r1 r2 r3; do run -q backup a.bin --manifest "$r.json" "${streams[@]}"; done
  r1=$(job_of r1.json) r2=$(job_of r2.json) r3=$(job_of r3.json)
  run expire --keep-last 2 --test-before-deleting "'$agent' --store '$store_arg' -q delete $r1 --yes >/dev/null" \
    >expire.txt 2>err.txt || { cat err.txt >&2; fail "expire beside a delete of a job of its plan failed"; }
  grep -qx "job $r1 was deleted by another command meanwhile" expire.txt &&
    grep -q "^deleted job $n4: .*, 20000 bytes$" expire.txt || { cat expire.txt >&2; fail "expire beside a delete"; }
  [[ $(on_catalog "SELECT job_id FROM jobs ORDER BY created_at" | tr '\n' ' ') == "${jobs[3]} $r2 $r3 " ]] ||
    fail "expire beside a delete left other jobs"
  run delete "$r2" "$r3" --yes --test-before-deleting "'$agent' --store '$store_arg' -q delete $r2 --yes >/dev/null" \
    >del.txt 2>err.txt || { cat err.txt >&2; fail "delete of a job another delete removed failed"; }
  grep -qx "job $r2 was deleted by another command meanwhile" del.txt &&
    grep -q "^deleted job $r3: .*, 20000 bytes$" del.txt || { cat del.txt >&2; fail "delete beside a delete"; }
  [[ $(on_catalog "SELECT job_id FROM jobs" | tr '\n' ' ') == "${jobs[3]} " ]] || fail "delete beside a delete left its job"
  run check >/dev/null 2>&1 || fail "check fails after deletions beside deletions"

  # A kept policy that is a link is not followed out of the store: refused
  # before any work. (A directory's: an object store has no links.)
  if ! object_store; then
    mv store/retention.ini policy.ini
    ln -s "$PWD/policy.ini" store/retention.ini
    refused 2 "$store/retention.ini is a symbolic link, not a file" backup a.bin --manifest link.json --expire
    [[ ! -e link.json ]] || fail "a backup --expire refused for its policy backed up"
  fi
  ;;

*) fail "unknown case $case_name" ;;
esac
echo "PASS: retention $case_name"
