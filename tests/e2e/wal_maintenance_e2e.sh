#!/usr/bin/env bash
# A store's WAL archive kept in order, on segments made here (16 MiB files
# whose first page header matches their names) and pushed by wal-push as
# PostgreSQL's archiver would:
#
#   listing   list --wal's lines and document, list --json's recoveryWindow
#             (and none for a store without WAL), --wal refused with --files
#   copy      the archive copied into another store lists and fetches the same
#   fetch     wal-fetch: a segment back whole with the rest of its job
#             spooled, one the archive lacks exit 1 without a word, one
#             whose archive file was damaged exit 126 with one line
#   retention expire counts backups alone: WAL jobs never take a backup's
#             place, and with no base backup every WAL job stays; check
#             finds no problem in a gap no base backup needs
#   postgres  on a server of its own (skipped without PostgreSQL): a gap
#             after a base backup is a problem of check's, list --wal says
#             the backup cannot get through; delete refuses WAL a base
#             backup needs; expire removes the WAL only an expired base
#             backup needed and keeps the rest
#
# Usage: wal_maintenance_e2e.sh AGENT CASE
set -euo pipefail

agent=$(realpath "$1")
case=$2
repo=$(cd "$(dirname "$0")/../.." && pwd)
# shellcheck source=lib.sh
source "$(dirname "$0")/lib.sh" wal-maintenance-e2e

run() { "$agent" --store store --test-skip-pauses "$@"; }

# Makes pg_wal/NAME for segment $2 of timeline $1 (16 MiB, sparse), its
# header as PostgreSQL 15 writes it, and prints NAME.
segment() {
  python3 - "$1" "$2" <<'PY'
import os, struct, sys
timeline, segno = int(sys.argv[1]), int(sys.argv[2])
size = 16 * 1024 * 1024
name = "%08X%08X%08X" % (timeline, segno // 256, segno % 256)
header = struct.pack("<HHIQII", 0xD110, 0x0002, timeline, segno * size, 0, 0)
header += struct.pack("<QII", 7717247226639393324, size, 8192)
with open(os.path.join("pg_wal", name), "wb") as f:
    f.write(header)
    f.truncate(size)
print(name)
PY
}

# Marks the segments ($2...) of timeline $1 ready and pushes them with one
# wal-push, as one job; marks them done as the archiver would.
push() {
  local timeline=$1 names=() name
  shift
  for segno in "$@"; do
    name=$(segment "$timeline" "$segno")
    touch "pg_wal/archive_status/$name.ready"
    names+=("$name")
  done
  run wal-push "pg_wal/${names[0]}" 2>err.txt || { cat err.txt >&2; fail "wal-push ${names[0]} failed"; }
  for name in "${names[@]}"; do
    mv "pg_wal/archive_status/$name.ready" "pg_wal/archive_status/$name.done"
  done
}

# The job ids of the store, oldest first, with their archive files' states.
jobs_listed() { run list 2>/dev/null | awk 'NR > 1 { print $1 }' | sort -u; }

mkdir -p pg_wal/archive_status
echo "a plain file" >plain.txt

case $case in
listing)
  push 1 1
  push 1 2 3
  push 1 6 7
  run list --wal >wal.txt 2>err.txt || { cat err.txt >&2; fail "list --wal failed"; }
  expected="timeline 1: 000000010000000000000001 to 000000010000000000000007, 5 segments
  gap: 000000010000000000000004 to 000000010000000000000005 (2 segments) missing
recoverable window: none"
  [[ $(cat wal.txt) == "$expected" ]] || { cat wal.txt >&2; fail "list --wal does not show the timeline and its gap"; }
  [[ $(cat err.txt) == "pipeline-agent: 1 timeline, 5 WAL files, 0 base backups in $PWD/store" ]] ||
    { cat err.txt >&2; fail "list --wal does not count what the archive holds"; }

  run --json list --wal >wal.json 2>/dev/null || fail "list --wal --json failed"
  python3 - wal.json <<'PY' || fail "list --wal --json is not the archive's document"
import json, sys
d = json.load(open(sys.argv[1]))
assert list(d) == ["ok", "command", "store", "wal"], list(d)
w = d["wal"]
assert w["files"] == 5 and w["baseBackups"] == [] and w["recoveryWindow"] is None, w
t = w["timelines"]
assert len(t) == 1 and t[0]["timeline"] == 1 and t[0]["segments"] == 5, t
assert t[0]["gaps"] == [{"firstMissing": "000000010000000000000004",
                         "lastMissing": "000000010000000000000005", "segments": 2}], t
PY

  # Plain list --json: every field as before, the window last.
  run --json list >list.json 2>/dev/null || fail "list --json failed"
  python3 - list.json <<'PY' || fail "list --json of a store with WAL lacks its window, or moved a field"
import json, sys
d = json.load(open(sys.argv[1]))
assert list(d) == ["ok", "command", "store", "jobs", "recoveryWindow"], list(d)
assert d["recoveryWindow"] is None and len(d["jobs"]) == 3, d
PY
  "$agent" --store plain --test-skip-pauses -q backup plain.txt --manifest plain.json
  "$agent" --store plain --json list --files >plain-list.json 2>/dev/null || fail "list --json of a plain store failed"
  python3 - plain-list.json <<'PY' || fail "list --json of a store without WAL changed"
import json, sys
d = json.load(open(sys.argv[1]))
assert list(d) == ["ok", "command", "store", "jobs", "contents"], list(d)
PY

  expect 2 "--files excludes --wal" list --wal --files
  expect 2 "--job excludes --wal" list --wal --job 1
  echo "PASS: listing"
  ;;

copy)
  # A store's WAL archive copied into another store: its jobs, its window
  # and its segments are the same there.
  push 1 1 2 3
  push 1 4
  run copy --all-new --to other 2>err.txt || { cat err.txt >&2; fail "the copy of the WAL archive failed"; }
  run list --wal >here.txt
  "$agent" --store other list --wal >there.txt
  diff here.txt there.txt || fail "the copy's WAL archive lists otherwise"
  mkdir restored
  "$agent" --store other wal-fetch 000000010000000000000004 restored/RECOVERYXLOG 2>err.txt ||
    { cat err.txt >&2; fail "wal-fetch from the copy failed"; }
  cmp restored/RECOVERYXLOG pg_wal/000000010000000000000004 || fail "wal-fetch from the copy brought other bytes"
  ;;

fetch)
  # restore_command's side: a file the archive holds comes back whole (the
  # rest of its job spooled beside it), one it lacks is exit 1 without a
  # word, and one whose archive file was damaged is exit 126 with one line
  # (PostgreSQL stops its recovery) and nothing at the place asked for.
  push 1 1 2 3
  mkdir restored
  run wal-fetch 000000010000000000000002 restored/RECOVERYXLOG 2>err.txt ||
    { cat err.txt >&2; fail "wal-fetch of an archived segment failed"; }
  cmp restored/RECOVERYXLOG pg_wal/000000010000000000000002 || fail "wal-fetch brought other bytes"
  [[ -f restored/pipeline-agent.spool/000000010000000000000003 ]] ||
    fail "the rest of the segment's job was not spooled"
  [[ ! -e restored/pipeline-agent.spool/000000010000000000000002 ]] ||
    fail "the fetched segment stayed in the spool"
  got=0
  run wal-fetch 000000010000000000000009 restored/RECOVERYXLOG.new 2>err.txt || got=$?
  [[ $got == 1 && ! -s err.txt && ! -e restored/RECOVERYXLOG.new ]] ||
    { cat err.txt >&2; fail "wal-fetch of a segment the archive lacks exited $got"; }
  rm -rf restored/pipeline-agent.spool
  # The job's one archive file holds segments 1, 2 and 3 one after another.
  arch=$(ls store/files/*.arch)
  python3 - "$arch" <<'PY'
import sys
with open(sys.argv[1], "r+b") as f:
    f.seek(16 * 1024 * 1024 + 4096)
    byte = f.read(1)
    f.seek(-1, 1)
    f.write(bytes([byte[0] ^ 0xFF]))
PY
  got=0
  run wal-fetch 000000010000000000000002 restored/AGAIN 2>err.txt || got=$?
  [[ $got == 126 && $(wc -l <err.txt) == 1 && $(cat err.txt) == "pipeline-agent: error: "* ]] ||
    { cat err.txt >&2; fail "wal-fetch from a damaged archive file exited $got"; }
  [[ ! -e restored/AGAIN ]] || fail "wal-fetch left a file that did not verify"
  echo "PASS: fetch"
  ;;
retention)
  # Two backups first, then WAL: were WAL jobs counted, the newest job would
  # be WAL and --keep-last 1 would take the newest backup.
  run -q backup plain.txt --manifest old.json
  run -q backup plain.txt --manifest new.json
  old=$(sed -n 's/.*"jobId": *\([0-9]*\).*/\1/p' old.json | head -n 1)
  new=$(sed -n 's/.*"jobId": *\([0-9]*\).*/\1/p' new.json | head -n 1)
  push 1 1 2
  push 1 5
  # A gap (3-4) that no base backup needs is no problem.
  run check >check.txt 2>&1 || { cat check.txt >&2; fail "check fails on a gap no base backup needs"; }
  ! grep -q "WAL gap" check.txt || fail "check names a gap no base backup needs"

  wal_jobs=$(comm -23 <(jobs_listed) <(printf '%s\n' "$old" "$new" | sort))
  [[ $(wc -l <<<"$wal_jobs") == 2 ]] || fail "the two wal-push runs did not make two jobs: $wal_jobs"
  run expire --keep-last 1 --dry-run >dry.txt 2>/dev/null || fail "expire --dry-run failed"
  grep -qE "^ *$new +[^ ]+ +keep +newest,last$" dry.txt || { cat dry.txt >&2; fail "the newest backup is not kept as the newest"; }
  grep -qE "^ *$old +[^ ]+ +remove +-$" dry.txt || { cat dry.txt >&2; fail "the older backup is not to be removed"; }
  grep -qE "^ *WAL JOB +CREATED +WOULD +KEPT BY$" dry.txt || { cat dry.txt >&2; fail "expire shows no table of WAL jobs"; }
  for job in $wal_jobs; do
    grep -qE "^ *$job +[^ ]+ +keep +no base backup kept$" dry.txt ||
      { cat dry.txt >&2; fail "WAL job $job is not kept while no base backup is kept"; }
  done

  run expire --keep-last 1 >expire.txt 2>err.txt || { cat err.txt >&2; fail "expire failed"; }
  [[ $(tail -n 1 err.txt) == "pipeline-agent: kept 3 complete jobs, deleted 1 (3 archive files, 13 bytes)" ]] ||
    { cat err.txt >&2; fail "expire does not say what it kept and deleted"; }
  [[ $(jobs_listed) == $(printf '%s\n' "$new" $wal_jobs | sort) ]] ||
    fail "expire left $(jobs_listed | tr '\n' ' ')"
  run list --wal >wal.txt 2>/dev/null
  grep -qx "timeline 1: 000000010000000000000001 to 000000010000000000000005, 3 segments" wal.txt ||
    { cat wal.txt >&2; fail "expire took WAL"; }
  # Deleting WAL that no base backup needs is no refusal.
  first=$(head -n 1 <<<"$wal_jobs")
  run delete "$first" --dry-run >/dev/null 2>err.txt || { cat err.txt >&2; fail "delete of unneeded WAL refused"; }
  echo "PASS: retention"
  ;;

postgres)
  bin=${PG_BIN:-$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -1)}
  [[ -x $bin/pg_ctl ]] || { echo "SKIP: no PostgreSQL binaries"; exit 77; }
  # The server archives as its own user (not root): the store is that
  # user's, and every command on it runs as that user too.
  user=$(id -un)
  if ((EUID == 0)); then
    user=postgres
    id "$user" >/dev/null 2>&1 || user=nobody
  fi
  as_user() {
    if ((EUID == 0)); then
      setpriv --reuid="$user" --regid="$(id -g "$user")" --clear-groups -- "$@"
    else
      "$@"
    fi
  }
  chmod 755 "$work"
  mkdir store
  chown "$user" store
  srun() { as_user "$agent" --store "$work/store" --test-skip-pauses "$@"; }
  # Runs command $3... of the agent on the store as its user, expecting exit
  # status $1 and stderr to be the one line "pipeline-agent: error: $2"
  # with the command's log.
  srun_refused() {
    local status=$1 line=$2 got=0
    shift 2
    srun "$@" >out.txt 2>err.txt || got=$?
    [[ $got == "$status" &&
      $(cat err.txt) == "pipeline-agent: error: $line (log: $work/store/logs/$1.log)" ]] ||
      { cat err.txt >&2; fail "'$*' exited $got, not $status with: $line"; }
  }
  server=$work/pg
  trap '"$repo/.ci/postgres" kill "$server" >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
  conninfo=$("$repo/.ci/postgres" start "$server")
  sql() { "$bin/psql" -X -q -At -v ON_ERROR_STOP=1 -d "$conninfo" -c "$1"; }
  sql "ALTER SYSTEM SET archive_mode = on"
  sql "ALTER SYSTEM SET archive_command = '$agent --store $work/store --test-skip-pauses wal-push %p'"
  "$repo/.ci/postgres" stop "$server"
  conninfo=$("$repo/.ci/postgres" start "$server")
  # Writes a little, ends the segment and prints its name.
  switch() {
    sql "INSERT INTO t SELECT g FROM generate_series(1, 1000) g" >/dev/null
    sql "SELECT pg_walfile_name(pg_switch_wal())"
  }
  # Waits until the archiver has taken segment $1 (whatever its command did).
  archived() {
    for _ in $(seq 600); do
      [[ $(sql "SELECT coalesce(last_archived_wal, '') >= '$1' FROM pg_stat_archiver") == t ]] && return
      sleep 0.1
    done
    fail "the server did not archive $1: $(sql "SELECT * FROM pg_stat_archiver")"
  }
  sql "CREATE TABLE t (n int)"
  archived "$(switch)"
  srun --json backup --postgres "$conninfo" >b1.json 2>err.txt || { cat err.txt >&2; fail "the first base backup failed"; }
  b1=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["jobId"])' b1.json)

  # An archive_command that archives nothing, for three segments: a gap.
  sql "ALTER SYSTEM SET archive_command = '/bin/true'"
  sql "SELECT pg_reload_conf()" >/dev/null
  sleep 1
  missing=()
  for _ in 1 2 3; do
    missing+=("$(switch)")
  done
  archived "${missing[2]}"
  sql "ALTER SYSTEM SET archive_command = '$agent --store $work/store --test-skip-pauses wal-push %p'"
  sql "SELECT pg_reload_conf()" >/dev/null
  sleep 1
  switch >/dev/null
  archived "$(switch)"

  got=0
  srun check >check.txt 2>err.txt || got=$?
  [[ $got == 1 ]] || { cat check.txt err.txt >&2; fail "check of a store with a WAL gap exited $got"; }
  gap_line="problem: WAL gap: ${missing[0]} to ${missing[2]} (3 segments) missing: base backups before it cannot be restored past it"
  [[ $(grep "WAL gap" check.txt) == "$gap_line" ]] || { cat check.txt >&2; fail "check does not name the gap: $gap_line"; }
  grep -q "^pipeline-agent: error: the store $work/store has 1 problem(s)" err.txt ||
    { cat err.txt >&2; fail "check does not fail on the gap"; }
  srun list --wal >wal.txt 2>/dev/null || fail "list --wal failed"
  grep -qx "  gap: ${missing[0]} to ${missing[2]} (3 segments) missing" wal.txt ||
    { cat wal.txt >&2; fail "list --wal does not show the gap"; }
  start1=$(sed -n "s/^base backup job $b1: WAL \([0-9A-F]*\) to .*/\1/p" wal.txt)
  [[ -n $start1 ]] || { cat wal.txt >&2; fail "list --wal does not show base backup $b1"; }
  grep -qx "  not recoverable: the archive lacks ${missing[0]}, so recovery from $start1 stops after .*" wal.txt ||
    { cat wal.txt >&2; fail "list --wal does not say the first backup cannot get through"; }
  grep -qx "recoverable window: none" wal.txt || { cat wal.txt >&2; fail "list --wal gives a window no backup reaches"; }

  # The WAL job holding the backup's start segment is needed: delete refuses it.
  srun list --files >files.txt 2>/dev/null
  holder=$(awk -v f="$start1" '$2 "" == f { print $1 }' files.txt)
  [[ -n $holder ]] || { cat files.txt >&2; fail "no job holds $start1"; }
  srun_refused 2 "job $holder holds WAL that base backup job $b1 needs ($start1); expire deletes it once no base backup kept needs it" \
    delete "$holder" --yes
  srun list --wal >again.txt 2>/dev/null
  cmp -s wal.txt again.txt || fail "a refused delete changed the archive"

  # A second base backup past the gap; expire keeps it alone, and with it
  # only the WAL it needs.
  srun --json backup --postgres "$conninfo" >b2.json 2>err.txt || { cat err.txt >&2; fail "the second base backup failed"; }
  b2=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["jobId"])' b2.json)
  archived "$(switch)"
  srun expire --keep-last 1 >expire.txt 2>err.txt || { cat expire.txt err.txt >&2; fail "expire failed"; }
  grep -qE "^ *$b1 +[^ ]+ +remove +-$" expire.txt || { cat expire.txt >&2; fail "expire kept the older base backup"; }
  grep -qE "^ *$holder +[^ ]+ +remove +-$" expire.txt || { cat expire.txt >&2; fail "expire kept WAL only the expired backup needed"; }
  grep -qE " keep +needed$" expire.txt || { cat expire.txt >&2; fail "expire kept no WAL for the kept backup"; }
  srun check >check.txt 2>&1 || { cat check.txt >&2; fail "check fails once the backup before the gap is gone"; }
  srun list --wal >wal.txt 2>/dev/null
  start2=$(sed -n "s/^base backup job $b2: WAL \([0-9A-F]*\) to .*/\1/p" wal.txt)
  [[ -n $start2 && $(grep -c "^base backup job" wal.txt) == 1 ]] || { cat wal.txt >&2; fail "list --wal does not show the kept backup alone"; }
  grep -qE "^  recoverable from [0-9T:.Z-]+ to [0-9T:.Z-]+$" wal.txt || { cat wal.txt >&2; fail "the kept backup is not recoverable"; }
  ! grep -q "gap:" wal.txt || { cat wal.txt >&2; fail "the gap's WAL jobs stayed"; }
  first=$(sed -n 's/^timeline 1: \([0-9A-F]*\) to .*/\1/p' wal.txt)
  [[ $first > "${missing[2]}" && ! $first > "$start2" ]] ||
    { cat wal.txt >&2; fail "expire kept $first on, not the WAL from $start2"; }
  echo "PASS: postgres (gap ${missing[0]} to ${missing[2]}; kept from $first for $start2)"
  ;;

*) fail "unknown case $case" ;;
esac
