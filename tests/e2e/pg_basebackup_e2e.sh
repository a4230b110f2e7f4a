#!/usr/bin/env bash
# docs/guide/databases.md's PostgreSQL recipe end to end, against the test server that
# PIPELINESETUP_TEST_PG names (.ci/postgres starts one; exits 77, skipped,
# without it): pgbench writes while `pg_basebackup -D - -Ft -X fetch` goes
# through `backup --from-command`; `restore --output - | tar -x` unpacks it;
# pg_verifybackup passes on it (pg_basebackup puts backup_manifest into the
# tar it writes to stdout, and -X fetch puts the WAL it needs there too), a
# server starts on it, pg_amcheck finds nothing and pgbench's tables hold
# their rows. Usage: pg_basebackup_e2e.sh AGENT
set -euo pipefail

# shellcheck source=pg_env.sh
source "$(dirname "$0")/pg_env.sh"
if [[ -z ${PIPELINESETUP_TEST_PG:-} ]]; then
  echo "SKIP: PIPELINESETUP_TEST_PG names no PostgreSQL server"
  exit 77
fi
agent=$1
bin=${PG_BIN:-$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -1)}
[[ -x $bin/pg_basebackup ]] || { echo "SKIP: no PostgreSQL binaries"; exit 77; }
# shellcheck source=lib.sh
source "$(dirname "$0")/lib.sh" pg-basebackup-e2e

source_db=$PIPELINESETUP_TEST_PG
db=stream_e2e_$$
scale=2
server_pid=
load_pid=
# As the server's user when running as root (postgres will not run as root).
as_server() {
  if ((EUID == 0)); then
    local user=postgres
    id "$user" >/dev/null 2>&1 || user=nobody
    setpriv --reuid="$user" --regid="$(id -g "$user")" --clear-groups -- "$@"
  else
    "$@"
  fi
}
cleanup() {
  [[ -n $load_pid ]] && kill "$load_pid" 2>/dev/null && wait "$load_pid" 2>/dev/null
  [[ -n $server_pid ]] && (cd / && as_server "$bin/pg_ctl" -D "$work/restored" -m immediate -w stop >/dev/null 2>&1)
  "$bin/psql" -X -q -d "$source_db" -c "DROP DATABASE IF EXISTS $db" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

"$bin/psql" -X -q -d "$source_db" -c "CREATE DATABASE $db"
conninfo="$source_db dbname=$db"
"$bin/pgbench" -q -i -s $scale "$conninfo" >pgbench-init.log 2>&1 ||
  { cat pgbench-init.log >&2; fail "pgbench -i failed"; }
# Write load all through the backup.
"$bin/pgbench" -c 2 -T 600 "$conninfo" >pgbench.log 2>&1 &
load_pid=$!
sleep 1

"$agent" --store store --test-skip-pauses backup --streams 3 --manifest base.json \
  --from-command "$bin/pg_basebackup -d '$source_db' -D - -Ft -X fetch --checkpoint=fast" \
  --name base.tar 2>backup.log || { cat backup.log >&2; fail "the backup failed"; }
kill "$load_pid"
wait "$load_pid" 2>/dev/null || true
load_pid=
python3 -c 'import json,sys; f=json.load(open("base.json"))["files"][0]; assert f["kind"] == "stream" and len(f["stripes"]) > 3, f["size"]'

mkdir restored
"$agent" --store store restore base.json --output - 2>restore.log | tar -x -C restored ||
  { cat restore.log >&2; fail "restore | tar -x failed"; }
[[ -f restored/backup_manifest ]] || fail "the tar holds no backup_manifest"
"$bin/pg_verifybackup" restored >verify.log 2>&1 || { cat verify.log >&2; fail "pg_verifybackup failed"; }

# A server on the restored directory, on a socket of its own.
mkdir socket
chmod 755 "$work"
if ((EUID == 0)); then
  user=postgres; id "$user" >/dev/null 2>&1 || user=nobody
  chown -R "$user" restored socket
fi
chmod 700 restored
(cd / && as_server "$bin/pg_ctl" -D "$work/restored" -l "$work/socket/server.log" -w -t 120 \
  -o "-c listen_addresses='' -c unix_socket_directories='$work/socket' -c port=5432 -c fsync=off" \
  start >/dev/null) || { cat socket/server.log >&2; fail "no server starts on the restored directory"; }
server_pid=started
restored_db="host=$work/socket port=5432 user=pipelinesetup dbname=$db"
"$bin/pg_amcheck" -h "$work/socket" -p 5432 -U pipelinesetup --install-missing --heapallindexed "$db" >amcheck.log 2>&1 ||
  { cat amcheck.log >&2; fail "pg_amcheck found problems"; }
[[ ! -s amcheck.log ]] || { cat amcheck.log >&2; fail "pg_amcheck reported something"; }
rows=$("$bin/psql" -X -At -d "$restored_db" -c "SELECT count(*) FROM pgbench_accounts")
[[ $rows == $((scale * 100000)) ]] || fail "pgbench_accounts holds $rows rows, not $((scale * 100000))"
branches=$("$bin/psql" -X -At -d "$restored_db" -c "SELECT count(*) FROM pgbench_branches")
[[ $branches == "$scale" ]] || fail "pgbench_branches holds $branches rows, not $scale"
# The load wrote while the backup ran: its history is in the backup.
history=$("$bin/psql" -X -At -d "$restored_db" -c "SELECT count(*) FROM pgbench_history")
((history > 0)) || fail "pgbench wrote nothing before the backup ended"
echo "PASS: pg_basebackup ($(stat -c %s "$work/restored/backup_manifest") byte manifest, $rows accounts, $history history rows)"
