#!/usr/bin/env bash
# pipeline-agent protecting a live PostgreSQL 15 cluster, against a server
# this script starts itself (initdb with data checksums, fsync on,
# wal_level=replica, archive_mode=on, archive_command the agent's wal-push
# behind a wrapper that logs each call's start, end and exit code; every
# agent run as a user runs it: no --test-skip-pauses):
#   base     a cluster of about 2 GiB (pgbench -i -s SCALE) under pgbench -c 2:
#            `backup --postgres --streams 4`, then `pg_basebackup -Ft -X none
#            --checkpoint=fast` under the same load; wall time and MB/s;
#   archive  pgbench -c 4 -j 2 at full speed (synchronous_commit off: the
#            WAL comes as fast as the server writes it, not as fast as each
#            commit's fsync) for ARCHIVE seconds: the backlog
#            (pg_wal/archive_status/*.ready) sampled every second, each
#            wal-push call's duration, the segments archived;
#   outage   the store's files/ directory made unwritable (chmod 000) for
#            OUTAGE seconds while pgbench -c 2 runs (as in base, commits
#            synchronous: a load the archiver keeps up with): how long a
#            failing wal-push takes, the backlog's peak, and how long after
#            the store is back until the backlog is gone;
#   replay   a base backup of its own (backup --postgres, no load), then
#            pgbench -c 4 -j 2 until N MB (default 1100) of WAL were written
#            since it began; that backup restored with --target latest and
#            recovered by a server with restore_command = wal-fetch, then the
#            same restore recovered with restore_command = cp from a local
#            directory that holds the same segments (fetched by wal-fetch
#            first, one call each).
#
#   bench/pg_archive_bench.sh [DIR] [--scale N] [--archive-seconds S]
#                             [--outage-seconds S] [--replay-mb N]
#                             [--agent PATH] [--keep]
#
# DIR (default: a new directory under $TMPDIR) must be on the disk to
# measure; about 8 x the cluster's size is on disk at the end; all is
# removed at the end unless --keep. Run as root the servers and the agent run
# as the user postgres (the agent's binary must be readable by it). Needs the
# PostgreSQL 15 server packages, pgbench, python3. Output is a Markdown
# table on stdout, each figure with the load average when it was taken;
# progress goes to stderr; the raw logs stay in DIR/.../raw with --keep.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
agent="$here/build/release/tools/pipeline-agent"
dir=""
scale=130
archive_seconds=300
outage_seconds=60
replay_bytes=1100000000
keep=0
while (($#)); do
  case "$1" in
    --scale) scale=$2; shift 2 ;;
    --archive-seconds) archive_seconds=$2; shift 2 ;;
    --outage-seconds) outage_seconds=$2; shift 2 ;;
    --replay-mb) replay_bytes=$(($2 * 1000000)); shift 2 ;;
    --agent) agent=$2; shift 2 ;;
    --keep) keep=1; shift ;;
    -h|--help) sed -n '2,38p' "$0"; exit 0 ;;
    -*) echo "pg_archive_bench: unknown option $1" >&2; exit 2 ;;
    *) dir=$1; shift ;;
  esac
done
agent=$(realpath "$agent" 2>/dev/null || echo "$agent")
[[ -x $agent ]] || { echo "pg_archive_bench: no agent at $agent (build the release preset)" >&2; exit 2; }
bin=${PG_BIN:-$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -1)}
[[ -x $bin/pg_ctl && -x $bin/pgbench ]] || { echo "pg_archive_bench: no PostgreSQL server binaries" >&2; exit 2; }
command -v python3 >/dev/null || { echo "pg_archive_bench: python3 is missing" >&2; exit 2; }

user=$(id -un)
if ((EUID == 0)); then
  user=postgres
  id "$user" >/dev/null 2>&1 || user=nobody
fi
# As the server's user (postgres will not run as root), from / (which it may enter).
as_server() {
  if ((EUID == 0)); then
    (cd / && setpriv --reuid="$user" --regid="$(id -g "$user")" --clear-groups -- "$@")
  else
    (cd / && "$@")
  fi
}

mkdir -p "${dir:-${TMPDIR:-/tmp}}"
work=$(mktemp -d "$(realpath "${dir:-${TMPDIR:-/tmp}}")/pg_archive_bench.XXXXXX")
chmod 755 "$work"
pg=$work/pg        # the server's user's: data directories, socket, store
raw=$work/raw      # what the phases measured, as they measured it
mkdir -p "$pg/socket" "$raw"
chown "$user" "$pg" "$pg/socket"
data=$pg/data
store=$pg/store
conninfo="host=$pg/socket port=5432 user=bench dbname=postgres"

load_pid=
sampler_pid=
servers=("$data")
cleanup() {
  [[ -n $load_pid ]] && kill "$load_pid" 2>/dev/null
  [[ -n $sampler_pid ]] && kill "$sampler_pid" 2>/dev/null
  [[ -d $store/files ]] && chmod 700 "$store/files"
  for d in "${servers[@]}"; do
    [[ -f $d/postmaster.pid ]] && as_server "$bin/pg_ctl" -D "$d" -m immediate -w stop >/dev/null 2>&1
  done
  if ((keep)); then
    echo "pg_archive_bench: kept $work" >&2
  else
    rm -rf "$work"
  fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM
cd "$work"
say() { echo "pg_archive_bench: $(date +%T) $*" >&2; }
loadavg() { cut -d' ' -f1-3 /proc/loadavg; }
psql_() { "$bin/psql" -X -q -At -d "$conninfo" "$@"; }
# Seconds between two $EPOCHREALTIME stamps.
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f", b - a }'; }
mbps() { awk -v bytes="$1" -v s="$2" 'BEGIN { printf "%.0f", bytes / 1e6 / s }'; }

# The load: pgbench with the given options until stopped (TERM: a
# background job of a script ignores SIGINT), its log in raw/pgbench.NAME.log.
start_load() {
  local name=$1
  shift
  "$bin/pgbench" -n "$@" -T 100000 "$conninfo" >"$raw/pgbench.$name.log" 2>&1 &
  load_pid=$!
}
stop_load() {
  kill -TERM "$load_pid" 2>/dev/null || true
  wait "$load_pid" 2>/dev/null || true
  load_pid=
}
# Every second "EPOCH READY" into FILE: the server's backlog of WAL files
# waiting for archive_command.
start_sampler() {
  (while :; do
     n=$(find "$data/pg_wal/archive_status" -name '*.ready' 2>/dev/null | wc -l)
     echo "$EPOCHREALTIME $n"
     sleep 1
   done) >"$1" &
  sampler_pid=$!
}
stop_sampler() {
  kill "$sampler_pid" 2>/dev/null || true
  wait "$sampler_pid" 2>/dev/null || true
  sampler_pid=
}
backlog() { find "$data/pg_wal/archive_status" -name '*.ready' | wc -l; }
# Waits until the backlog is gone, up to LIMIT seconds; false past it.
wait_backlog() {
  local until=$((${EPOCHREALTIME%.*} + $1))
  while (($(backlog) > 0)); do
    ((${EPOCHREALTIME%.*} < until)) || { say "the backlog ($(backlog)) did not clear in $1 s"; return 1; }
    sleep 1
  done
}
archived_count() { psql_ -c "SELECT archived_count FROM pg_stat_archiver"; }
failed_count() { psql_ -c "SELECT failed_count FROM pg_stat_archiver"; }

# The wrapper PostgreSQL's archiver runs: the agent's wal-push, with one line
# "START END EXIT FILE" a call.
cat >"$pg/wal-push-logged" <<EOF
#!/usr/bin/env bash
start=\$EPOCHREALTIME
"$agent" --store "$store" wal-push "\$1" 2>>"$pg/wal-push.err"
rc=\$?
echo "\$start \$EPOCHREALTIME \$rc \${1##*/}" >>"$pg/calls.log"
exit \$rc
EOF
chmod 755 "$pg/wal-push-logged"

# --- the server -------------------------------------------------------------
say "initdb and start PostgreSQL ($("$bin/postgres" --version))"
as_server "$bin/initdb" -D "$data" -U bench --auth=trust -k -E UTF8 --locale=C \
  >"$raw/initdb.log" 2>&1 || { cat "$raw/initdb.log" >&2; exit 1; }
# Loading pgbench's tables archives nothing: no backup needs that WAL.
cat >>"$data/postgresql.conf" <<EOF
listen_addresses = ''
unix_socket_directories = '$pg/socket'
port = 5432
fsync = on
wal_level = replica
archive_mode = on
archive_command = '/bin/true'
max_connections = 50
EOF
as_server "$bin/pg_ctl" -D "$data" -l "$pg/server.log" -w -t 120 start >/dev/null ||
  { cat "$pg/server.log" >&2; exit 1; }
say "pgbench -i -s $scale"
"$bin/pgbench" -q -i -s "$scale" "$conninfo" >"$raw/pgbench-init.log" 2>&1 ||
  { cat "$raw/pgbench-init.log" >&2; exit 1; }
psql_ -c "CHECKPOINT"
psql_ -c "ALTER SYSTEM SET archive_command = '$pg/wal-push-logged %p'"
psql_ -c "SELECT pg_reload_conf()" >/dev/null
psql_ -c "SELECT pg_switch_wal()" >/dev/null
cluster_bytes=$(du -sb --exclude=pg_wal "$data" | cut -f1)
say "cluster: $((cluster_bytes / 1048576)) MiB without pg_wal"

echo "| phase | what | measured | goal | met | load average (1, 5, 15 min) |"
echo "|---|---|---|---|---|---|"
row() { echo "| $1 | $2 | $3 | ${4:--} | ${5:--} | $(loadavg) |"; }

# --- 1. base backup under load ---------------------------------------------
say "base: backup --postgres --streams 4 under pgbench -c 2"
start_load base -c 2
sleep 5
t0=$EPOCHREALTIME
as_server "$agent" --store "$store" backup --postgres "$conninfo" --streams 4 \
  >"$raw/backup.out" 2>"$raw/backup.err" || {
  rc=$?; say "backup --postgres FAILED (exit $rc):"; cat "$raw/backup.err" >&2; exit 1; }
t1=$EPOCHREALTIME
agent_s=$(elapsed "$t0" "$t1")
row base "backup --postgres, 4 streams, $((cluster_bytes / 1048576)) MiB" \
  "$agent_s s, $(mbps "$cluster_bytes" "$agent_s") MB/s"
say "base: pg_basebackup -Ft -X none under the same load"
mkdir "$pg/basebackup" && chown "$user" "$pg/basebackup"
t0=$EPOCHREALTIME
as_server "$bin/pg_basebackup" -d "$conninfo" -Ft -X none --checkpoint=fast \
  -D "$pg/basebackup/tar" >"$raw/pg_basebackup.log" 2>&1 || {
  cat "$raw/pg_basebackup.log" >&2; exit 1; }
t1=$EPOCHREALTIME
stop_load
floor_s=$(elapsed "$t0" "$t1")
tar_bytes=$(du -sb "$pg/basebackup/tar" | cut -f1)
row base "pg_basebackup -Ft -X none, $((tar_bytes / 1048576)) MiB of tar" \
  "$floor_s s, $(mbps "$tar_bytes" "$floor_s") MB/s"
rm -rf "$pg/basebackup"

# --- 2. archiving at full speed -------------------------------------------
say "archive: pgbench -c 4 -j 2 for $archive_seconds s"
cp "$pg/calls.log" "$raw/base.calls"
: >"$pg/calls.log"
: >"$pg/wal-push.err"
archived0=$(archived_count)
start_sampler "$raw/archive.samples"
t0=$EPOCHREALTIME
PGOPTIONS="-c synchronous_commit=off" start_load archive -c 4 -j 2
sleep "$archive_seconds"
stop_load
t1=$EPOCHREALTIME
stop_sampler
archived=$(($(archived_count) - archived0))
cp "$pg/calls.log" "$raw/archive.calls"
cp "$pg/wal-push.err" "$raw/archive.wal-push.err"
# Backlog max/median, call median/p90/max, calls, failed calls, calls that
# ran a job (over 1 s: a job's streams pause 2 s) and their median.
read -r bmax bmed cmed cp90 cmax ncalls nfail njobs jmed <<<"$(python3 - "$raw/archive.samples" "$raw/archive.calls" <<'PY'
import statistics, sys
samples = [int(l.split()[1]) for l in open(sys.argv[1]) if l.strip()]
calls = [l.split() for l in open(sys.argv[2]) if l.strip()]
ms = sorted((float(c[1]) - float(c[0])) * 1000 for c in calls)
def pct(p): return ms[min(len(ms) - 1, int(p * len(ms)))] if ms else 0
fails = sum(1 for c in calls if c[2] != "0")
jobs = [m for m in ms if m > 1000]
print(max(samples), statistics.median(samples), round(statistics.median(ms) if ms else 0),
      round(pct(0.9)), round(ms[-1] if ms else 0), len(ms), fails, len(jobs),
      round(statistics.median(jobs)) if jobs else "-")
PY
)"
met() { awk -v a="$1" -v b="$2" 'BEGIN { print (a < b) ? "yes" : "no" }'; }
row archive "backlog max / median (segments)" "$bmax / $bmed" "< 16" "$(met "$bmax" 16)"
row archive "wal-push median / p90 / max ($ncalls calls, $nfail failed)" "$cmed / $cp90 / $cmax ms" \
  "median < 50 ms" "$(met "$cmed" 50)"
row archive "wal-push calls that ran a job (over 1 s): count, median" "$njobs, $jmed ms"
row archive "segments archived in $(elapsed "$t0" "$t1") s" \
  "$archived ($(awk -v n="$archived" -v s="$(elapsed "$t0" "$t1")" 'BEGIN { printf "%.1f", n * 16 / s }') MB/s of WAL)"
say "archive: waiting for the backlog to clear"
wait_backlog 900

# --- 3. outage -------------------------------------------------------------
say "outage: the store's files/ unwritable for $outage_seconds s under pgbench -c 2 (as in base)"
: >"$pg/calls.log"
: >"$pg/wal-push.err"
failed0=$(failed_count)
start_sampler "$raw/outage.samples"
start_load outage -c 2
sleep 10
t_down=$EPOCHREALTIME
chmod 000 "$store/files"
sleep "$outage_seconds"
chmod 700 "$store/files"
t_up=$EPOCHREALTIME
sleep 5
# The load runs on until the backlog is gone.
wait_backlog 900 || true
t_clear=$EPOCHREALTIME
stop_load
stop_sampler
failed=$(($(failed_count) - failed0))
cp "$pg/calls.log" "$raw/outage.calls"
read -r fmax fmed peak <<<"$(python3 - "$raw/outage.samples" "$raw/outage.calls" "$t_down" "$t_up" <<'PY'
import statistics, sys
down, up = float(sys.argv[3]), float(sys.argv[4])
samples = [l.split() for l in open(sys.argv[1]) if l.strip()]
calls = [l.split() for l in open(sys.argv[2]) if l.strip()]
failed = sorted((float(c[1]) - float(c[0])) * 1000 for c in calls if c[2] != "0")
print(round(failed[-1]) if failed else "-", round(statistics.median(failed)) if failed else "-",
      max(int(s[1]) for s in samples))
PY
)"
row outage "failing wal-push: median / max ($failed failures)" "$fmed / $fmax ms" "bounded" \
  "$([[ $fmax != - ]] && echo yes || echo "no failure seen")"
row outage "backlog peak (segments)" "$peak"
clear_s=$(elapsed "$t_up" "$t_clear")
row outage "store back until the backlog is gone" "$clear_s s" "< 120 s" "$(met "$clear_s" 120)"
cp "$pg/wal-push.err" "$raw/outage.wal-push.err"

# --- 4. replay -------------------------------------------------------------
# A base backup of its own, so that the recovery replays replay_bytes of WAL
# and not all that the phases before wrote.
say "replay: a base backup, then pgbench -c 4 -j 2 until $((replay_bytes / 1000000)) MB of WAL"
base_lsn=$(psql_ -c "SELECT pg_current_wal_lsn()")
as_server "$agent" --store "$store" backup --postgres "$conninfo" --streams 4 \
  >"$raw/backup-replay.out" 2>"$raw/backup-replay.err" || {
  rc=$?; say "backup --postgres FAILED (exit $rc):"; cat "$raw/backup-replay.err" >&2; exit 1; }
job=$(grep -o 'as job [0-9]*' "$raw/backup-replay.err" | head -1 | cut -d' ' -f3)
PGOPTIONS="-c synchronous_commit=off" start_load replay -c 4 -j 2
while (($(psql_ -c "SELECT pg_wal_lsn_diff(pg_current_wal_lsn(), '$base_lsn')::bigint") < replay_bytes)); do
  sleep 2
done
stop_load
psql_ -c "SELECT pg_switch_wal()" >/dev/null
wait_backlog 900
as_server "$bin/pg_ctl" -D "$data" -w -m fast stop >/dev/null
restored=$pg/restored
say "replay: restore --target latest"
t0=$EPOCHREALTIME
as_server "$agent" --store "$store" restore --job "$job" --output "$restored" --target latest \
  >"$raw/restore.out" 2>"$raw/restore.err" || {
  rc=$?; say "restore FAILED (exit $rc):"; cat "$raw/restore.err" >&2; exit 1; }
t1=$EPOCHREALTIME
row replay "restore --target latest (data directory, no WAL)" "$(elapsed "$t0" "$t1") s"
cp -a "$restored" "$pg/restored.copy"

# Starts a server on DIR and waits until its recovery has ended (it takes
# connections once consistent, before that); sets recovered_s to the seconds.
recover() {
  local d=$1 log=$2 t0 t1
  cat >>"$d/postgresql.auto.conf" <<EOF
port = 5433
unix_socket_directories = '$pg/socket'
archive_mode = off
EOF
  servers+=("$d")
  t0=$EPOCHREALTIME
  as_server "$bin/pg_ctl" -D "$d" -l "$pg/recovery.log" -w -t 3600 start >/dev/null ||
    { say "recovery FAILED: the server did not start"; tail -n 30 "$pg/recovery.log" >&2; exit 1; }
  until [[ $("$bin/psql" -X -At -d "host=$pg/socket port=5433 user=bench dbname=postgres" \
            -c "SELECT pg_is_in_recovery()" 2>/dev/null) == f ]]; do
    sleep 0.2
    as_server "$bin/pg_ctl" -D "$d" status >/dev/null 2>&1 ||
      { say "recovery FAILED: the server stopped"; tail -n 30 "$pg/recovery.log" >&2; exit 1; }
  done
  t1=$EPOCHREALTIME
  as_server "$bin/pg_ctl" -D "$d" -w -m fast stop >/dev/null
  mv "$pg/recovery.log" "$log"
  recovered_s=$(elapsed "$t0" "$t1")
}
say "replay: recovery with restore_command = wal-fetch"
recover "$restored" "$raw/recovery-wal-fetch.log"
fetch_s=$recovered_s
# The segments it replayed (the last one is fetched twice: at the end of
# the WAL and again when the recovery ends).
grep -o 'restored log file "[0-9A-F]\{24\}" from archive' "$raw/recovery-wal-fetch.log" |
  cut -d'"' -f2 | sort -u >"$raw/segment.names"
segments=$(wc -l <"$raw/segment.names")
wal_mib=$((segments * 16))
row replay "recovery, restore_command = wal-fetch, $segments segments ($wal_mib MiB)" \
  "$fetch_s s, $(mbps $((wal_mib * 1048576)) "$fetch_s") MB/s"

say "replay: fetching the same segments into a directory with wal-fetch"
mkdir "$pg/segments" && chown "$user" "$pg/segments"
t0=$EPOCHREALTIME
while read -r name; do
  as_server "$agent" --store "$store" wal-fetch "$name" "$pg/segments/$name" 2>>"$raw/fetch-all.err" ||
    { say "wal-fetch $name FAILED:"; tail -n 5 "$raw/fetch-all.err" >&2; exit 1; }
done <"$raw/segment.names"
t1=$EPOCHREALTIME
rm -rf "$pg/segments/pipeline-agent.spool"
row replay "wal-fetch of the $segments segments into a directory, one call each" "$(elapsed "$t0" "$t1") s"

say "replay: recovery with restore_command = cp"
echo "restore_command = 'cp $pg/segments/%f %p'" >>"$pg/restored.copy/postgresql.auto.conf"
recover "$pg/restored.copy" "$raw/recovery-cp.log"
cp_s=$recovered_s
cp_segments=$(grep -o 'restored log file "[0-9A-F]\{24\}" from archive' "$raw/recovery-cp.log" |
  sort -u | wc -l)
row replay "recovery, restore_command = cp, $cp_segments segments" \
  "$cp_s s, $(mbps $((wal_mib * 1048576)) "$cp_s") MB/s (wal-fetch: $(awk -v a="$fetch_s" -v b="$cp_s" 'BEGIN { printf "%.2f", a / b }') x as long)"
cp "$pg/server.log" "$raw/" 2>/dev/null || true
cp "$pg/wal-push.err" "$raw/" 2>/dev/null || true
say "done"
