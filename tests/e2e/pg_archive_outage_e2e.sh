#!/usr/bin/env bash
# PostgreSQL's WAL archived into a store in object storage while the store
# goes away and comes back. The agent reaches the store through two fault
# proxies (s3_fault_proxy.py): one answers every request 503 during its
# outage, the other stalls every request during its. A server of the
# script's own (initdb in its work directory, 1 MiB segments, a segment
# switch every 3 s under load) archives through a logging wrapper around
#   AGENT --store S3_URL?endpoint=PROXY --media-timeout 5s --test-skip-pauses wal-push %p
# with the environment the agent needs named in the wrapper (the server's
# own is not used). pgbench and a marker every 100 ms run throughout; a
# native base backup is taken first. Then each outage in turn, 30 s:
#   - pg_wal/archive_status/*.ready grows
#   - once the store is back, the backlog is archived within 2 minutes
#   - wal-push failed meanwhile, and no call failed after, or waited on the
#     store for, longer than the media timeout and an allowance for
#     starting up (the wrapper's times; the agent's lines of the longest
#     failing call are shown when it took longer)
# A moment T is noted during the first outage; the store (through a proxy,
# no outage) restores the cluster to T: exactly the markers committed by T,
# pg_amcheck clean. What wal-push did wrong during the outages fails the
# test after the restore was checked, each in one line.
# Usage: on_object_store.sh S3_TOOL pg_archive_outage_e2e.sh AGENT. Exits 77
# (skipped) without PostgreSQL's binaries or without an object store.
set -euo pipefail

agent_bin=$(realpath "${1:?usage: pg_archive_outage_e2e.sh AGENT}")
here=$(cd "$(dirname "$0")" && pwd)
bin=${PG_BIN:-$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -1)}
for tool in initdb pg_ctl psql pgbench pg_amcheck; do
  [[ -x $bin/$tool ]] || { echo "SKIP: no PostgreSQL binaries ($tool)"; exit 77; }
done
[[ -n ${PIPELINESETUP_TEST_STORE_BASE:-} ]] ||
  { echo "SKIP: no object store (the test runs under on_object_store.sh)"; exit 77; }
[[ ${AWS_ENDPOINT_URL:-} == http://* ]] ||
  { echo "SKIP: the fault proxy speaks plain HTTP; the object store is at '${AWS_ENDPOINT_URL:-}'"; exit 77; }
# shellcheck source=lib.sh
source "$here/lib.sh" pg-archive-outage-e2e

media_timeout=5
# What a failing wal-push may take beyond the media timeout: the process
# starting, the catalog's connection, the store's lock.
allowance=5
outage_seconds=30

# shellcheck source=pg_user.sh
source "$(dirname "$0")/pg_user.sh"
# The work directory is the server's user's: its clusters, sockets, logs and
# the store's local state (logs, wal-push.lock, wal-cache/).
chmod 755 "$work"
((EUID != 0)) || chown "$server_user" "$work"
export XDG_STATE_HOME=$work/state
as_server mkdir -m 700 "$XDG_STATE_HOME"
store=$PIPELINESETUP_TEST_STORE_BASE/pg

proxy_pids=()
servers=()
markers_pid=
load_pid=
cleanup() {
  touch "$work/markers.stop" 2>/dev/null || true
  [[ -n $load_pid ]] && kill "$load_pid" 2>/dev/null
  [[ -n $markers_pid ]] && kill "$markers_pid" 2>/dev/null
  local name pid
  for name in "${servers[@]}"; do
    (cd / && as_server "$bin/pg_ctl" -D "$work/$name" -m immediate -w stop >/dev/null 2>&1) || true
  done
  for pid in "${proxy_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  cd /
  rm -rf "$work"
}
trap cleanup EXIT

# A fault proxy in front of the object store whose outage (action $1: 503
# or stall) lasts while $work/outage-$1 exists; the store's URL through it
# in via[$1].
declare -A via
start_proxy() {
  local action=$1 i
  S3_FAULT_OUTAGE=$work/outage-$action S3_FAULT_OUTAGE_ACTION=$action \
    python3 "$here/s3_fault_proxy.py" "$AWS_ENDPOINT_URL" "$work/port-$action" 2>"$work/proxy-$action.log" &
  proxy_pids+=($!)
  for ((i = 0; i < 100; i++)); do
    [[ -s $work/port-$action ]] && break
    sleep 0.05
  done
  [[ -s $work/port-$action ]] || fail "the $action proxy did not start"
  via[$action]="$store?endpoint=http://127.0.0.1:$(cat "$work/port-$action")"
}
# The agent as the server's user, on the store through proxy $1.
run_via() {
  local action=$1
  shift
  as_server "$agent_bin" --store "${via[$action]}" "$@"
}

# $1 quoted for sh.
sh_quote() { printf "'%s'" "${1//\'/\'\\\'\'}"; }
# $1 as a string of postgresql.conf.
conf_string() { printf "'%s'" "${1//\'/\'\'}"; }
conn() { echo "host=$work/sock-$1 port=5432 user=pipelinesetup dbname=${2:-postgres}"; }
sql() { "$bin/psql" -X -At -q -v ON_ERROR_STOP=1 -d "$(conn "$1" "$2")" -c "$3"; }
# The last lines of server $1's log, on stderr, the test secret masked.
server_log() {
  echo "--- server $1's log:" >&2
  tail -n 40 "$work/$1.log" | sed "s|${AWS_SECRET_ACCESS_KEY:-no secret}|<secret>|g" >&2 || true
}
# What the agent said (the server's log holds its stderr) from ns $1 to $2,
# on stderr: each request that failed, after how many attempts, and the
# error line that ended the call.
agent_lines() {
  local from to
  from=$(date -u -d "@${1:0:10}.${1:10:3}" +%Y-%m-%dT%H:%M:%S.%3NZ)
  to=$(date -u -d "@${2:0:10}.${2:10:3}" +%Y-%m-%dT%H:%M:%S.%3NZ)
  echo "--- the agent's lines from $from to $to:" >&2
  awk -v from="$from" -v to="$to" '
    shown && /^pipeline-agent: error: / { print; next }
    { shown = $2 == "[pid" && $1 >= from && $1 <= to; if (shown) print }' "$work/source.log" >&2
}

# archive_command's wrapper: runs wal-push on the store through the URL in
# $1 for the segment $2 with only the environment named here, and appends
# "START_NS END_NS STATUS SEGMENT" to $work/pushes.log.
write_push_wrapper() {
  local name value assignments=()
  for name in AWS_ACCESS_KEY_ID AWS_SECRET_ACCESS_KEY AWS_SESSION_TOKEN AWS_REGION PIPELINE_CATALOG XDG_STATE_HOME; do
    value=${!name:-}
    [[ -n $value ]] && assignments+=("$(printf '%q' "$name=$value")")
  done
  cat >"$work/push.sh" <<EOF
#!/usr/bin/env bash
started=\$(date +%s%N)
status=0
env -i PATH=/usr/bin:/bin HOME=$(printf '%q' "$work") ${assignments[*]} \\
  $(printf '%q' "$agent_bin") --store "\$1" --media-timeout ${media_timeout}s --test-skip-pauses wal-push "\$2" || status=\$?
echo "\$started \$(date +%s%N) \$status \${2##*/}" >>$(printf '%q' "$work/pushes.log")
exit \$status
EOF
  chmod 700 "$work/push.sh"
  ((EUID != 0)) || chown "$server_user" "$work/push.sh"
}
# archive_command through proxy $1.
push_command() {
  local url=${via[$1]}
  echo "$(sh_quote "${work//%/%%}/push.sh") $(sh_quote "${url//%/%%}") %p"
}

start_server() {
  local name=$1 more=${2:-}
  as_server mkdir -p "$work/sock-$name"
  (cd / && as_server "$bin/pg_ctl" -D "$work/$name" -l "$work/$name.log" -w -t 120 \
    -o "-c listen_addresses='' -c unix_socket_directories='$work/sock-$name' -c port=5432 -c fsync=off $more" \
    start >/dev/null) || { server_log "$name"; fail "server $name did not start"; }
  servers+=("$name")
}
last_archived() { sql "$1" postgres "SELECT coalesce(last_archived_wal, '') FROM pg_stat_archiver"; }
# Waits, at most $2 s, until server $1 archived WAL file $3 (or one after
# it: the archiver goes in order, and names of one timeline sort so).
await_archived() {
  local name=$1 seconds=$2 wal=$3 last i
  for ((i = 0; i < seconds * 10; i++)); do
    last=$(last_archived "$name")
    [[ ${last:0:24} > $wal || ${last:0:24} == "$wal" ]] && return 0
    sleep 0.1
  done
  sql "$name" postgres "SELECT * FROM pg_stat_archiver" >&2 || true
  server_log "$name"
  fail "server $name's WAL file $wal was not archived within $seconds s (last archived: '$last')"
}
switch_and_wait_archived() {
  await_archived "$1" 60 "$(sql "$1" postgres "SELECT pg_walfile_name(pg_switch_wal())")"
}
await_recovery() {
  local name=$1 state i
  for ((i = 0; i < 1200; i++)); do
    state=$(sql "$name" postgres "SELECT CASE WHEN pg_is_in_recovery() THEN pg_get_wal_replay_pause_state() ELSE 'promoted' END" 2>/dev/null) ||
      { server_log "$name"; fail "server $name went away during recovery"; }
    [[ $state == promoted || $state == paused ]] && return 0
    sleep 0.1
  done
  server_log "$name"
  fail "server $name's recovery did not end within 120 s (state: $state)"
}
ready_count() { find "$work/source/pg_wal/archive_status" -name '*.ready' | wc -l; }
newest_ready() { find "$work/source/pg_wal/archive_status" -name '*.ready' -printf '%f\n' | sort | tail -n 1 | cut -c1-24; }

# What wal-push did on a store that did not answer, each failure in
# $late_failures: the test goes on to the restore and fails at the end.
late_failures=()
# The store out for $outage_seconds s behind proxy $1 (the one
# archive_command goes through); $2: the second of it at which $moment is
# noted (none without). The waiting segments grow meanwhile, and the
# backlog is archived within 2 minutes once the store is back. Then, from
# the wrapper's times: wal-push calls failed during the outage, none of
# them took longer than the media timeout and the allowance, and no call
# waited longer than that on the store while it was out.
outage() {
  local action=$1 note_at=${2:-} ready_before ready_most=0 ready begin end i newest archived_in
  local failed longest_ms waited_ms longest_from longest_to bound_ms=$(((media_timeout + allowance) * 1000))
  ready_before=$(ready_count)
  begin=$(date +%s%N)
  touch "$work/outage-$action"
  for ((i = 1; i <= outage_seconds; i++)); do
    sleep 1
    [[ $i == "$note_at" ]] && moment=$(sql source postgres "SELECT clock_timestamp()")
    ready=$(ready_count)
    ((ready > ready_most)) && ready_most=$ready
  done
  newest=$(newest_ready)
  rm "$work/outage-$action"
  end=$(date +%s%N)
  echo "$action outage: archive_status/*.ready from $ready_before to $ready_most"
  ((ready_most >= ready_before + 3)) ||
    fail "archive_status/*.ready grew from $ready_before to $ready_most only during the $action outage"
  [[ -n $newest ]] || fail "no segment was waiting at the end of the $action outage"
  await_archived source 120 "$newest"
  archived_in=$((($(date +%s%N) - end) / 1000000))
  echo "$action outage: the backlog up to $newest archived ${archived_in} ms after the store came back"
  # Every call that overlapped the outage has ended by now.
  read -r failed longest_ms waited_ms longest_from longest_to < <(awk -v begin="$begin" -v end="$end" '
    $1 < end && $2 > begin {
      from = $1 > begin ? $1 : begin; to = $2 < end ? $2 : end
      if ((to - from) / 1e6 > waited) waited = (to - from) / 1e6
      if ($3 != 0) { n++; if (($2 - $1) / 1e6 > most) { most = ($2 - $1) / 1e6; first = $1; last = $2 } }
    }
    END { printf "%d %d %d %s %s\n", n, most, waited, first, last }' "$work/pushes.log")
  echo "$action outage: $failed wal-push calls failed, the longest in ${longest_ms} ms;" \
    "the longest wait of a call on the store while it was out ${waited_ms} ms"
  ((failed > 0)) || late_failures+=("no wal-push failed during the $action outage of ${outage_seconds} s")
  ((longest_ms <= bound_ms)) || {
    late_failures+=("a wal-push failing on a store that answered $action took ${longest_ms} ms, more than the media timeout of ${media_timeout} s and ${allowance} s besides")
    agent_lines "$longest_from" "$longest_to"
  }
  ((waited_ms <= bound_ms)) ||
    late_failures+=("a wal-push waited ${waited_ms} ms on a store that answered $action, more than the media timeout of ${media_timeout} s and ${allowance} s besides")
}

start_proxy 503
start_proxy stall
write_push_wrapper

(cd / && as_server "$bin/initdb" -D "$work/source" -U pipelinesetup --auth=trust --no-sync \
  -E UTF8 --locale=C --wal-segsize=1 >"$work/source.initdb.log" 2>&1) ||
  { cat "$work/source.initdb.log" >&2; fail "initdb failed"; }
cat >>"$work/source/postgresql.conf" <<EOF
# Archiving into the store of the test, a segment switched every 3 s.
wal_level = replica
archive_mode = on
archive_command = $(conf_string "$(push_command 503)")
archive_timeout = 3
track_commit_timestamp = on
max_connections = 40
EOF
start_server source
sql source postgres "CREATE DATABASE pitr"
for db in template1 postgres pitr; do sql source "$db" "CREATE EXTENSION amcheck"; done
"$bin/pgbench" -q -i -s 2 "$(conn source pitr)" >"$work/pgbench-init.log" 2>&1 ||
  { cat "$work/pgbench-init.log" >&2; fail "pgbench -i failed"; }
sql source pitr "CREATE TABLE marker (id serial PRIMARY KEY, at timestamptz DEFAULT clock_timestamp())"
"$bin/pgbench" -c 2 -R 200 -T 600 "$(conn source pitr)" >"$work/pgbench.log" 2>&1 &
load_pid=$!
rm -f "$work/markers.stop"
(while [[ ! -e $work/markers.stop ]]; do
  echo 'INSERT INTO marker DEFAULT VALUES;'
  sleep 0.1
done | "$bin/psql" -X -q -v ON_ERROR_STOP=1 -d "$(conn source pitr)" >"$work/markers.log" 2>&1) &
markers_pid=$!
sleep 1
run_via 503 --test-skip-pauses --json backup --postgres "$(conn source pitr)" --streams 2 \
  >"$work/backup.json" 2>"$work/backup.err" || { cat "$work/backup.err" >&2; fail "the base backup failed"; }
switch_and_wait_archived source
echo "base backup $(python3 -c 'import json, sys; print(json.load(open(sys.argv[1]))["jobId"])' "$work/backup.json") taken; WAL archived up to $(last_archived source)"

outage 503 $((outage_seconds / 2))
# The same through the stalling proxy.
sql source postgres "ALTER SYSTEM SET archive_command = $(conf_string "$(push_command stall)")"
sql source postgres "SELECT pg_reload_conf()" >/dev/null
sleep 1
switch_and_wait_archived source
grep -q ' -> forwarded' "$work/proxy-stall.log" || fail "archive_command does not go through the stalling proxy"
outage stall

# Load and markers stopped, pgbench_accounts dropped after T, all archived.
kill "$load_pid"
wait "$load_pid" 2>/dev/null || true
load_pid=
sql source pitr "DROP TABLE pgbench_accounts"
touch "$work/markers.stop"
wait "$markers_pid" || { cat "$work/markers.log" >&2; fail "the marker writer failed"; }
markers_pid=
switch_and_wait_archived source
sql source pitr "SELECT id, at FROM marker WHERE pg_xact_commit_timestamp(xmin) <= '$moment' ORDER BY id" \
  >"$work/expected.txt"
[[ -s $work/expected.txt ]] || fail "no marker was committed by $moment"
(($(sql source pitr "SELECT count(*) FROM marker WHERE at > '$moment'") > 10)) ||
  fail "too few markers were written after $moment"
run_via 503 list --wal >"$work/list.txt" 2>"$work/list.err" || { cat "$work/list.err" >&2; fail "list --wal failed"; }
cat "$work/list.txt"
! grep -q 'gap' "$work/list.txt" || fail "list --wal shows a gap"

# Restored to T from the store alone, through the proxy (no outage); the
# restored server's restore_command finds the agent's environment in the
# server's own.
run_via 503 restore --output "$work/restored" --target-time "$moment" \
  >"$work/restore.out" 2>"$work/restore.err" || { cat "$work/restore.err" >&2; fail "the restore to $moment failed"; }
grep -E '^restore_command' "$work/restored/postgresql.auto.conf" | grep -F "${via[503]}" | grep -qF 'wal-fetch' ||
  fail "the restored server's restore_command does not fetch through the proxy"
start_server restored "-c archive_mode=off"
await_recovery restored
grep -q "recovery stopping " "$work/restored.log" || { server_log restored; fail "the restored server did not stop at a target"; }
sql restored pitr "SELECT id, at FROM marker ORDER BY id" >"$work/restored.txt"
diff "$work/expected.txt" "$work/restored.txt" >&2 ||
  fail "the restored server holds other markers than those committed by $moment (< expected, > restored)"
[[ $(sql restored pitr "SELECT count(*) FROM marker WHERE at > '$moment'") == 0 ]] ||
  fail "the restored server holds markers written after $moment"
[[ $(sql restored pitr "SELECT count(*) FROM pgbench_accounts") == 200000 ]] ||
  fail "pgbench_accounts on the restored server does not hold its 200000 rows"
"$bin/pg_amcheck" -h "$work/sock-restored" -p 5432 -U pipelinesetup --all --heapallindexed \
  >"$work/amcheck.log" 2>&1 || { cat "$work/amcheck.log" >&2; fail "pg_amcheck found problems"; }
[[ ! -s $work/amcheck.log ]] || { cat "$work/amcheck.log" >&2; fail "pg_amcheck reported something"; }
echo "restored to $moment: $(wc -l <"$work/expected.txt") markers, $(sql source pitr 'SELECT count(*) FROM marker') on the source"
for problem in "${late_failures[@]}"; do echo "FAIL: $problem" >&2; done
((${#late_failures[@]} == 0)) || exit 1
echo "PASS"
