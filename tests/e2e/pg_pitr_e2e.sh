#!/usr/bin/env bash
# PostgreSQL continuous archiving and restore to a moment, against servers
# this script starts itself (initdb in its work directory, a Unix socket of
# their own, fsync off), the agent as their archive_command and, restored,
# their restore_command. Every agent command runs as the server's user (the
# user postgres when run as root), who owns the store.
#   pitr       pgbench and a marker written every 100 ms; a native base
#              backup over 4 streams mid-load; restore to a moment T after
#              it: exactly the markers committed by T, pgbench's tables
#              there (and dropped after T), pg_amcheck clean everywhere
#   timeline2  the restored server, promoted, archives timeline 2 into the
#              same store; restored again to a moment on timeline 2: the
#              markers it wrote by then, none after
#   incremental  an incr base backup under the same load, most of its files
#              referred to in the full; restored to a moment after it, checked
#              as pitr is
#   refusals   targets outside what the store covers refused with one line
#              and nothing written; wal-fetch of what the archive lacks
#              quiet; wal-push of other bytes under an archived name refused
#   kill_push  wal-push killed at each of its steps in turn: a plain push
#              after it succeeds, the archive serves the segment's bytes
#              and check passes
# Usage: pg_pitr_e2e.sh AGENT CASE. Exits 77 (skipped) without PostgreSQL's
# binaries under /usr/lib/postgresql/*/bin (or $PG_BIN).
set -euo pipefail

agent_bin=$(realpath "${1:?usage: pg_pitr_e2e.sh AGENT CASE}")
case_name=${2:?usage: pg_pitr_e2e.sh AGENT CASE}
bin=${PG_BIN:-$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -1)}
for tool in initdb pg_ctl psql pgbench pg_amcheck; do
  [[ -x $bin/$tool ]] || { echo "SKIP: no PostgreSQL binaries ($tool)"; exit 77; }
done
# shellcheck source=lib.sh
source "$(dirname "$0")/lib.sh" pg-pitr-e2e

# shellcheck source=pg_user.sh
source "$(dirname "$0")/pg_user.sh"
agent_as_server() { as_server "$agent_bin" "$@"; }
# The work directory is the server's user's: its clusters, sockets, logs,
# the store and what restores make.
chmod 755 "$work"
((EUID != 0)) || chown "$server_user" "$work"
store="$work/the store"  # a space: archive_command and restore_command quote it
as_server mkdir -m 700 "$store"
run() { agent_as_server --store "$store" "$@"; }

servers=()  # names of the servers started, stopped at exit
markers_pid=
load_pid=
cleanup() {
  touch "$work/markers.stop" 2>/dev/null || true
  [[ -n $load_pid ]] && kill "$load_pid" 2>/dev/null
  [[ -n $markers_pid ]] && kill "$markers_pid" 2>/dev/null
  local name
  for name in "${servers[@]}"; do
    (cd / && as_server "$bin/pg_ctl" -D "$work/$name" -m immediate -w stop >/dev/null 2>&1) || true
  done
  wait 2>/dev/null || true
  cd /
  rm -rf "$work"
}
trap cleanup EXIT

# $1 quoted for sh.
sh_quote() { printf "'%s'" "${1//\'/\'\\\'\'}"; }
# $1 as a string of postgresql.conf.
conf_string() { printf "'%s'" "${1//\'/\'\'}"; }
# The connection string of server $1 ($2: the database, postgres by default).
conn() { echo "host=$work/sock-$1 port=5432 user=pipelinesetup dbname=${2:-postgres}"; }
# One query on server $1, database $2; its rows unaligned, '|' between fields.
sql() { "$bin/psql" -X -At -q -v ON_ERROR_STOP=1 -d "$(conn "$1" "$2")" -c "$3"; }
# The last lines of server $1's log, on stderr.
server_log() { echo "--- server $1's log:" >&2; tail -n 40 "$work/$1.log" >&2 || true; }

# The archive_command that pushes into the store (a % of a path doubled).
push_command() {
  echo "$(sh_quote "${agent_bin//%/%%}") --store $(sh_quote "${store//%/%%}") --test-skip-pauses wal-push %p"
}
# initdb for server $1, archiving into the store through the agent.
init_cluster() {
  local name=$1
  (cd / && as_server "$bin/initdb" -D "$work/$name" -U pipelinesetup --auth=trust --no-sync \
    -E UTF8 --locale=C >"$work/$name.initdb.log" 2>&1) ||
    { cat "$work/$name.initdb.log" >&2; fail "initdb failed"; }
  cat >>"$work/$name/postgresql.conf" <<EOF
# Archiving into the store of the test.
wal_level = replica
archive_mode = on
archive_command = $(conf_string "$(push_command)")
track_commit_timestamp = on
max_connections = 40
EOF
}

# Starts the server on $work/$1 on a socket of its own; $2: more settings
# for its command line ("-c name=value ...").
start_server() {
  local name=$1 more=${2:-}
  as_server mkdir -p "$work/sock-$name"
  (cd / && as_server "$bin/pg_ctl" -D "$work/$name" -l "$work/$name.log" -w -t 120 \
    -o "-c listen_addresses='' -c unix_socket_directories='$work/sock-$name' -c port=5432 -c fsync=off $more" \
    start >/dev/null) || { server_log "$name"; fail "server $name did not start"; }
  servers+=("$name")
}
stop_server() {
  (cd / && as_server "$bin/pg_ctl" -D "$work/$1" -m fast -w -t 60 stop >/dev/null) ||
    { server_log "$1"; fail "server $1 did not stop"; }
  local kept=() name
  for name in "${servers[@]}"; do [[ $name == "$1" ]] || kept+=("$name"); done
  servers=("${kept[@]}")
}

# Switches server $1 to a new WAL file and waits, at most 60 s, until the
# one it ended is archived.
switch_and_wait_archived() {
  local name=$1 wal last i
  wal=$(sql "$name" postgres "SELECT pg_walfile_name(pg_switch_wal())")
  for ((i = 0; i < 600; i++)); do
    last=$(sql "$name" postgres "SELECT coalesce(last_archived_wal, '') FROM pg_stat_archiver")
    # Names of one timeline sort in WAL order; the archiver goes in order.
    [[ ${last:0:24} > $wal || ${last:0:24} == "$wal" ]] && return 0
    sleep 0.1
  done
  sql "$name" postgres "SELECT * FROM pg_stat_archiver" >&2 || true
  server_log "$name"
  fail "server $name's WAL file $wal was not archived within 60 s (last archived: '$last')"
}

# Waits, at most 120 s, until server $1's recovery reached its target:
# promoted, or ($2 = paused-too) paused there.
await_recovery() {
  local name=$1 accept=${2:-} state i
  for ((i = 0; i < 1200; i++)); do
    state=$(sql "$name" postgres "SELECT CASE WHEN pg_is_in_recovery() THEN pg_get_wal_replay_pause_state() ELSE 'promoted' END" 2>/dev/null) ||
      { server_log "$name"; fail "server $name went away during recovery"; }
    [[ $state == promoted ]] && return 0
    [[ $state == paused && $accept == paused-too ]] && return 0
    sleep 0.1
  done
  server_log "$name"
  fail "server $name's recovery did not end within 120 s (state: $state)"
}

# A marker row every 100 ms into server $1, one INSERT a statement, each
# committed on its own, until stop_markers.
start_markers() {
  rm -f "$work/markers.stop"
  (while [[ ! -e $work/markers.stop ]]; do
    echo 'INSERT INTO marker DEFAULT VALUES;'
    sleep 0.1
  done | "$bin/psql" -X -q -v ON_ERROR_STOP=1 -d "$(conn "$1" pitr)" >"$work/markers-$1.log" 2>&1) &
  markers_pid=$!
}
stop_markers() {
  touch "$work/markers.stop"
  wait "$markers_pid" || { cat "$work/markers-"*.log >&2; fail "the marker writer failed"; }
  markers_pid=
}
start_load() {
  "$bin/pgbench" -c 2 -T 600 "$(conn "$1" pitr)" >"$work/pgbench-$1.log" 2>&1 &
  load_pid=$!
}
stop_load() {
  kill "$load_pid"
  wait "$load_pid" 2>/dev/null || true
  load_pid=
}
now() { sql "$1" postgres "SELECT clock_timestamp()"; }
# Server $1's markers committed by moment $2 (all with $2 empty), by id:
# "id|at" a line.
markers_by() {
  local where="true"
  [[ -n ${2:-} ]] && where="pg_xact_commit_timestamp(xmin) <= '$2'"
  sql "$1" pitr "SELECT id, at FROM marker WHERE $where ORDER BY id"
}
# Server $1 holds exactly the markers in file $2, none at or after moment $3.
check_markers() {
  local name=$1 expected=$2 moment=$3
  markers_by "$name" >"$work/markers-$name.txt"
  diff "$expected" "$work/markers-$name.txt" >&2 ||
    fail "server $name holds other markers than those committed by $moment (< expected, > restored)"
  [[ $(sql "$name" pitr "SELECT count(*) FROM marker WHERE at > '$moment'") == 0 ]] ||
    fail "server $name holds markers written after $moment"
}
# pg_amcheck on every database of server $1 finds nothing.
amcheck_clean() {
  "$bin/pg_amcheck" -h "$work/sock-$1" -p 5432 -U pipelinesetup --all --heapallindexed \
    >"$work/amcheck-$1.log" 2>&1 || { cat "$work/amcheck-$1.log" >&2; fail "pg_amcheck found problems on $1"; }
  [[ ! -s $work/amcheck-$1.log ]] || { cat "$work/amcheck-$1.log" >&2; fail "pg_amcheck reported something on $1"; }
}
# The agent's refusal: exit 2 and one line on stderr.
refused() {
  local got=0
  run "$@" >"$work/out.txt" 2>"$work/err.txt" || got=$?
  [[ $got == 2 ]] || { cat "$work/err.txt" >&2; fail "'$*' exited $got, not 2"; }
  [[ $(wc -l <"$work/err.txt") == 1 ]] || { cat "$work/err.txt" >&2; fail "'$*' did not say one line"; }
  grep -q '^pipeline-agent: error: ' "$work/err.txt" || { cat "$work/err.txt" >&2; fail "'$*' did not say an error"; }
  cat "$work/err.txt"
}

# The source server with pgbench's tables, amcheck everywhere, the marker
# table, load and markers running, and a native base backup taken under
# them (its job in $job).
source_under_load() {
  init_cluster source
  start_server source
  sql source postgres "CREATE DATABASE pitr"
  local db
  for db in template1 postgres pitr; do sql source "$db" "CREATE EXTENSION amcheck"; done
  "$bin/pgbench" -q -i -s 5 "$(conn source pitr)" >"$work/pgbench-init.log" 2>&1 ||
    { cat "$work/pgbench-init.log" >&2; fail "pgbench -i failed"; }
  sql source pitr "CREATE TABLE marker (id serial PRIMARY KEY, at timestamptz DEFAULT clock_timestamp())"
  start_load source
  start_markers source
  sleep 1
  run --test-skip-pauses --json backup --postgres "$(conn source pitr)" --streams 4 \
    >"$work/backup.json" 2>"$work/backup.err" || { cat "$work/backup.err" >&2; fail "the base backup failed"; }
  job=$(python3 -c 'import json, sys; print(json.load(open(sys.argv[1]))["jobId"])' "$work/backup.json")
}

# After the base backup: T noted 3 s on (in $moment), 3 s more load,
# pgbench_accounts dropped, the WAL archived up to there, load and markers
# stopped. $work/expected.txt: the source's markers committed by T.
history_after_backup() {
  sleep 3
  moment=$(now source)
  sleep 3
  stop_load
  sql source pitr "DROP TABLE pgbench_accounts"
  stop_markers
  switch_and_wait_archived source
  markers_by source "$moment" >"$work/expected.txt"
  [[ -s $work/expected.txt ]] || fail "no marker was committed by $moment"
  (($(sql source pitr "SELECT count(*) FROM marker WHERE at > '$moment'") > 10)) ||
    fail "too few markers were written after $moment"
}

# The first restore to $moment into $work/$1 (more restore options after it),
# started and checked.
restore_to_moment() {
  local name=$1
  shift
  run restore --output "$work/$name" --target-time "$moment" "$@" >"$work/restore-$name.out" 2>"$work/restore-$name.err" ||
    { cat "$work/restore-$name.err" >&2; fail "the restore to $moment failed"; }
  [[ -f $work/$name/recovery.signal ]] || fail "the restore wrote no recovery.signal"
  [[ $(stat -c %a "$work/$name") == 700 ]] || fail "the restored directory is not 0700"
  recovery_settings "$name"
}
# The restored directory $1's restore_command fetches from this agent's
# store; its recovery settings are shown.
recovery_settings() {
  local settings=$work/$1/postgresql.auto.conf
  grep -E '^(restore_command|recovery_target)' "$settings" || fail "$1 has no recovery settings"
  grep -E '^restore_command' "$settings" | grep -F "$agent_bin" | grep -F "$store" | grep -qF 'wal-fetch' ||
    fail "$1's restore_command does not fetch from the store through the agent"
}
check_restored_at_moment() {
  local name=$1
  grep -q "recovery stopping " "$work/$name.log" || { server_log "$name"; fail "server $name did not stop at a target"; }
  check_markers "$name" "$work/expected.txt" "$moment"
  [[ $(sql "$name" pitr "SELECT count(*) FROM pgbench_accounts") == 500000 ]] ||
    fail "pgbench_accounts on $name does not hold its 500000 rows"
  amcheck_clean "$name"
}

case $case_name in
pitr)
  source_under_load
  history_after_backup
  # The archive reaches from the backup's end on, without a gap.
  run list --wal >"$work/list.txt" 2>"$work/list.err" || { cat "$work/list.err" >&2; fail "list --wal failed"; }
  cat "$work/list.txt"
  grep -A1 "^base backup job $job: " "$work/list.txt" | grep -q '^  recoverable from ' ||
    fail "list --wal does not show job $job recoverable"
  ! grep -q 'gap' "$work/list.txt" || fail "list --wal shows a gap"
  run check >"$work/check.txt" 2>&1 || { cat "$work/check.txt" >&2; fail "check finds problems in the archive"; }
  # Nothing but the store: the restored server fetches its WAL from there.
  restore_to_moment restored
  start_server restored "-c archive_mode=off"
  await_recovery restored paused-too
  check_restored_at_moment restored
  [[ -z $(sql source pitr "SELECT to_regclass('pgbench_accounts')") ]] ||
    fail "the source still has pgbench_accounts: the test proves nothing"
  echo "restored to $moment: $(wc -l <"$work/expected.txt") markers, $(sql source pitr 'SELECT count(*) FROM marker') on the source"
  ;;

incremental)
  source_under_load
  full=$job
  sleep 2
  # Taken under the same load: the files the load writes are read again,
  # the rest (catalogs, other databases) referred to in the full.
  run --test-skip-pauses --json backup --postgres "$(conn source pitr)" --streams 3 --type incr \
    >"$work/incr.json" 2>"$work/incr.err" || { cat "$work/incr.err" >&2; fail "the incr backup failed"; }
  job=$(python3 -c 'import json, sys; print(json.load(open(sys.argv[1]))["jobId"])' "$work/incr.json")
  grep -F "incr backup against job $full (full $full)" "$work/incr.err" || fail "the incr was not taken against the full"
  run list --json >"$work/jobs.json" 2>"$work/list.err" || { cat "$work/list.err" >&2; fail "list failed"; }
  held=$(python3 - "$store/jobs/$job.manifest.json" "$full" <<'PY'
import json, sys
m = json.load(open(sys.argv[1]))
held = [f for f in m["files"] if f.get("heldBy") == int(sys.argv[2])]
assert m["backup"]["type"] == "incr" and m["postgres"]["startLsn"], m["backup"]
print(len(held), "of", sum(1 for f in m["files"] if f["kind"] == "file"))
PY
  ) || fail "the incr's manifest does not refer to the full"
  [[ ${held%% *} -gt 100 ]] || fail "the incr refers to too few files of the full: $held"
  history_after_backup
  # The newest backup before T is the incr: its files come from both jobs.
  restore_to_moment restored
  grep -qF "job $job" "$work/restore-restored.err" || { cat "$work/restore-restored.err" >&2; fail "the restore did not start from the incr"; }
  start_server restored "-c archive_mode=off"
  await_recovery restored paused-too
  check_restored_at_moment restored
  echo "incr job $job refers to the full for $held files; restored to $moment"
  ;;

timeline2)
  source_under_load
  history_after_backup
  restore_to_moment restored --target-action promote
  # Promoted, it archives timeline 2 into the same store.
  start_server restored "-c archive_mode=on -c archive_command=$(sh_quote "$(push_command)")"
  await_recovery restored
  check_restored_at_moment restored
  stop_server source
  [[ $(sql restored postgres "SELECT substr(pg_walfile_name(pg_current_wal_lsn()), 1, 8)") == 00000002 ]] ||
    fail "the promoted server is not on timeline 2"
  start_markers restored
  sleep 2
  moment2=$(now restored)
  sleep 2
  stop_markers
  switch_and_wait_archived restored
  run wal-fetch 00000002.history "$work/fetched.history" 2>"$work/fetch.err" ||
    { cat "$work/fetch.err" >&2; fail "the archive lacks 00000002.history"; }
  cmp "$work/fetched.history" "$work/restored/pg_wal/00000002.history" ||
    fail "the archive's 00000002.history differs from the server's"
  run list --wal >"$work/list.txt" 2>"$work/list.err" || { cat "$work/list.err" >&2; fail "list --wal failed"; }
  cat "$work/list.txt"
  grep -q '^timeline 2: 000000020' "$work/list.txt" || fail "list --wal shows no timeline 2"
  markers_by restored "$moment2" >"$work/expected2.txt"
  # Some of them were written on timeline 2.
  (($(wc -l <"$work/expected2.txt") > $(wc -l <"$work/expected.txt"))) ||
    fail "no marker was committed on timeline 2 by $moment2"
  (($(sql restored pitr "SELECT count(*) FROM marker WHERE at > '$moment2'") > 5)) ||
    fail "too few markers were written after $moment2"
  # Into an empty directory this time.
  as_server mkdir -m 700 "$work/again"
  run restore --output "$work/again" --target-time "$moment2" --target-timeline 2 \
    >"$work/restore-again.out" 2>"$work/restore-again.err" ||
    { cat "$work/restore-again.err" >&2; fail "the restore to $moment2 on timeline 2 failed"; }
  recovery_settings again
  start_server again "-c archive_mode=off"
  await_recovery again paused-too
  grep -q "recovery stopping " "$work/again.log" || { server_log again; fail "server again did not stop at a target"; }
  check_markers again "$work/expected2.txt" "$moment2"
  amcheck_clean again
  echo "timeline 2 restored to $moment2: $(wc -l <"$work/expected2.txt") markers"
  ;;

refusals)
  init_cluster source
  start_server source
  sql source postgres "CREATE DATABASE pitr"
  sql source pitr "CREATE TABLE marker (id serial PRIMARY KEY, at timestamptz DEFAULT clock_timestamp())"
  sql source pitr "INSERT INTO marker DEFAULT VALUES"
  before=$(now source)
  sleep 1
  run --test-skip-pauses --json backup --postgres "$(conn source pitr)" --streams 4 \
    >"$work/backup.json" 2>"$work/backup.err" || { cat "$work/backup.err" >&2; fail "the base backup failed"; }
  job=$(python3 -c 'import json, sys; print(json.load(open(sys.argv[1]))["jobId"])' "$work/backup.json")
  sql source pitr "INSERT INTO marker DEFAULT VALUES"
  switch_and_wait_archived source
  beyond=$(sql source postgres "SELECT pg_current_wal_lsn() + 1024 * 1024 * 1024")
  future=$(sql source postgres "SELECT clock_timestamp() + interval '1 day'")
  # A target before the base backup: none ended before it, and job $job
  # cannot reach it.
  refused restore --output "$work/r1" --target-time "$before"
  [[ ! -e $work/r1 ]] || fail "a refused restore made its output directory"
  refused restore --job "$job" --output "$work/r2" --target-time "$before"
  [[ ! -e $work/r2 ]] || fail "a refused restore made its output directory"
  # Targets after the last archived segment: an empty output stays empty.
  as_server mkdir -m 700 "$work/r3"
  refused restore --job "$job" --output "$work/r3" --target-lsn "$beyond"
  [[ -z $(ls -A "$work/r3") ]] || fail "a refused restore wrote into its output directory"
  refused restore --output "$work/r3" --target-time "$future"
  [[ -z $(ls -A "$work/r3") ]] || fail "a refused restore wrote into its output directory"
  # What the archive lacks: exit 1, nothing said, nothing written.
  for name in 0000000100000000000000F0 00000005.history; do
    got=0
    run wal-fetch "$name" "$work/fetched" >"$work/out.txt" 2>"$work/err.txt" || got=$?
    [[ $got == 1 ]] || { cat "$work/err.txt" >&2; fail "wal-fetch of $name, not archived, exited $got"; }
    [[ ! -s $work/err.txt && ! -s $work/out.txt ]] || { cat "$work/err.txt" >&2; fail "wal-fetch of $name said something"; }
    [[ ! -e $work/fetched ]] || fail "wal-fetch of $name wrote its destination"
  done
  # Other bytes under an archived name: refused, the archive keeps its own.
  wal=$(sql source postgres "SELECT last_archived_wal FROM pg_stat_archiver")
  run wal-fetch "$wal" "$work/original" || fail "the archive does not serve $wal"
  as_server mkdir -p "$work/fake/pg_wal/archive_status"
  as_server cp "$work/original" "$work/fake/pg_wal/$wal"
  printf 'X' | as_server dd of="$work/fake/pg_wal/$wal" bs=1 seek=819200 conv=notrunc status=none
  got=0
  run --test-skip-pauses wal-push "$work/fake/pg_wal/$wal" >"$work/out.txt" 2>"$work/err.txt" || got=$?
  [[ $got != 0 ]] || fail "wal-push of other bytes under $wal succeeded"
  [[ $(wc -l <"$work/err.txt") == 1 ]] || { cat "$work/err.txt" >&2; fail "wal-push of other bytes did not say one line"; }
  cat "$work/err.txt"
  rm -f "$work/fetched"
  run wal-fetch "$wal" "$work/fetched" || fail "the archive no longer serves $wal"
  cmp "$work/fetched" "$work/original" || fail "the archive serves other bytes for $wal"
  # The same bytes again (a server retrying after a crash): done already.
  as_server cp "$work/original" "$work/fake/pg_wal/$wal"
  run --test-skip-pauses wal-push "$work/fake/pg_wal/$wal" 2>"$work/err.txt" ||
    { cat "$work/err.txt" >&2; fail "wal-push of $wal's own bytes again failed"; }
  ;;

kill_push)
  # A real segment: the first one initdb writes.
  (cd / && as_server "$bin/initdb" -D "$work/seed" -U pipelinesetup --auth=trust --no-sync \
    -E UTF8 --locale=C >"$work/seed.initdb.log" 2>&1) || { cat "$work/seed.initdb.log" >&2; fail "initdb failed"; }
  wal=000000010000000000000001
  as_server mkdir -p "$work/fake/pg_wal/archive_status"
  cp "$work/seed/pg_wal/$wal" "$work/segment"
  as_server cp "$work/seed/pg_wal/$wal" "$work/fake/pg_wal/$wal"
  as_server touch "$work/fake/pg_wal/archive_status/$wal.ready"
  segment=$work/fake/pg_wal/$wal
  kills=0
  for ((n = 1; ; n++)); do
    ((n < 500)) || fail "wal-push never completed"
    store=$work/store-$n
    got=0
    run --test-skip-pauses --test-kill-at "$n" wal-push "$segment" >"$work/out.txt" 2>"$work/err.txt" || got=$?
    if [[ $got != 0 ]]; then
      [[ $got == 137 ]] || { cat "$work/err.txt" >&2; fail "wal-push killed at step $n exited $got"; }
      kills=$((kills + 1))
      run --test-skip-pauses wal-push "$segment" 2>"$work/err.txt" ||
        { cat "$work/err.txt" >&2; fail "wal-push after a kill at step $n failed"; }
    fi
    rm -f "$work/fetched"
    run wal-fetch "$wal" "$work/fetched" 2>"$work/err.txt" ||
      { cat "$work/err.txt" >&2; fail "the archive does not serve $wal after a kill at step $n"; }
    cmp -s "$work/fetched" "$work/segment" || fail "the archive serves other bytes after a kill at step $n"
    # What a killed job left is cleanup's, as for any backup.
    run cleanup >"$work/cleanup.txt" 2>&1 || { cat "$work/cleanup.txt" >&2; fail "cleanup fails after a kill at step $n"; }
    run check >"$work/check.txt" 2>&1 || { cat "$work/check.txt" >&2; fail "check fails after a kill at step $n"; }
    cmp -s "$segment" "$work/segment" || fail "wal-push changed the segment it archived"
    [[ -e $work/fake/pg_wal/archive_status/$wal.ready ]] || fail "wal-push touched archive_status"
    as_server rm -rf "$store"
    [[ $got == 0 ]] && break
  done
  ((kills > 0)) || fail "wal-push was never killed"
  echo "wal-push killed at each of its $kills steps"
  ;;

*)
  fail "no such case: $case_name"
  ;;
esac
echo "PASS: $case_name"
