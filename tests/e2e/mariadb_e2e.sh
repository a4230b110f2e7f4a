#!/usr/bin/env bash
# docs/guide/databases.md's MariaDB recipe end to end, on a server of its own that this
# script starts in its work directory (exits 77, skipped, without Debian's
# mariadb-server and mariadb-backup): while a writer moves money between
# accounts and appends numbered rows, `mariadb-backup --backup
# --stream=xbstream` goes through `backup --from-command`, keeping its own log
# beside; `restore --output - | mbstream -x` unpacks it into a new directory,
# `mariadb-backup --prepare` makes it consistent, the files are handed to
# the server's user, and a server started on them passes CHECK TABLE, keeps
# the accounts' total and holds the numbered rows without a gap. A stream
# cut before its first stripe gives mbstream nothing: it exits 0, so only the
# agent's own status tells. Usage: mariadb_e2e.sh AGENT
set -euo pipefail

agent=$1
for tool in mariadbd mariadb-install-db mariadb-backup mbstream mariadb mariadb-admin; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed (mariadb-server, mariadb-backup)"; exit 77; }
done
# shellcheck source=lib.sh
source "$(dirname "$0")/lib.sh" mariadb-e2e

# The server runs as mysql when this runs as root (mariadbd refuses root).
user=$(id -un)
if ((EUID == 0)); then
  user=mysql
  id "$user" >/dev/null 2>&1 || user=nobody
fi
chmod 755 "$work"
# The servers' sockets, PID files and error logs, which their user writes.
mkdir run
if ((EUID == 0)); then chown "$user" run; fi
servers=()
load_pid=
cleanup() {
  [[ -n $load_pid ]] && kill "$load_pid" 2>/dev/null && wait "$load_pid" 2>/dev/null
  # Each server ends before its files go: SIGTERM, then SIGKILL after 30 s.
  for pid in "${servers[@]}"; do
    kill "$pid" 2>/dev/null || continue
    for _ in $(seq 300); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT

# start_server DATADIR NAME: a server on DATADIR, on the socket NAME.sock.
start_server() {
  local datadir=$1 socket=$work/run/$2.sock
  mariadbd --no-defaults --datadir="$datadir" --socket="$socket" --skip-networking \
    --user="$user" --pid-file="$work/run/$2.pid" --log-error="$work/run/$2.err" \
    --innodb-buffer-pool-size=64M --skip-log-bin >/dev/null 2>&1 &
  servers+=("$!")
  for _ in $(seq 600); do
    mariadb-admin --no-defaults --socket="$socket" -u root ping >/dev/null 2>&1 && return 0
    kill -0 $! 2>/dev/null || break
    sleep 0.1
  done
  cat "$work/run/$2.err" >&2
  fail "no server started on $datadir"
}
sql() { mariadb --no-defaults --socket="$work/run/$1.sock" -u root -N -B -e "$2"; }

mkdir source
mariadb-install-db --no-defaults --datadir="$work/source" --user="$user" \
  --auth-root-authentication-method=normal >install.log 2>&1 ||
  { cat install.log >&2; fail "mariadb-install-db failed"; }
start_server "$work/source" source
sql source "CREATE DATABASE bank;
  CREATE TABLE bank.accounts (id INT PRIMARY KEY, balance INT NOT NULL) ENGINE=InnoDB;
  CREATE TABLE bank.journal (n INT PRIMARY KEY, note VARCHAR(200)) ENGINE=InnoDB;
  USE bank; INSERT INTO accounts SELECT seq, 1000 FROM seq_1_to_100;"

# The writer: transfers and numbered rows, one transaction each, all through
# the backup.
python3 - >load.sql <<'PY'
import random
random.seed(7)
for n in range(1, 200001):
    a, b = random.randint(1, 100), random.randint(1, 100)
    amount = random.randint(1, 50)
    print("START TRANSACTION;"
          f"UPDATE bank.accounts SET balance = balance - {amount} WHERE id = {a};"
          f"UPDATE bank.accounts SET balance = balance + {amount} WHERE id = {b};"
          f"INSERT INTO bank.journal VALUES ({n}, REPEAT('x', {n % 200}));COMMIT;")
PY
mariadb --no-defaults --socket="$work/run/source.sock" -u root <load.sql >load.log 2>&1 &
load_pid=$!
sleep 1

# As docs/guide/databases.md says, with the socket named here.
"$agent" --store store --test-skip-pauses backup --streams 3 --manifest mariadb.json --name backup.xb \
  --from-command "mariadb-backup --backup --stream=xbstream --socket='$work/run/source.sock' --user=root 2>>'$work/mariadb-backup.log'" \
  2>backup.log || { cat backup.log >&2; tail -20 mariadb-backup.log >&2; fail "the backup failed"; }
kill -0 "$load_pid" 2>/dev/null || { cat load.log >&2; fail "the writer ended before the backup did"; }
kill "$load_pid"
wait "$load_pid" 2>/dev/null || true
load_pid=
grep -q "completed OK!" mariadb-backup.log || { tail -20 mariadb-backup.log >&2; fail "mariadb-backup's own log was not kept"; }

mkdir restored
set -o pipefail
"$agent" --store store restore mariadb.json --output - 2>restore.log | mbstream -x -C restored ||
  { cat restore.log >&2; fail "restore | mbstream -x failed"; }
mariadb-backup --prepare --target-dir="$work/restored" >prepare.log 2>&1 ||
  { tail -20 prepare.log >&2; fail "mariadb-backup --prepare failed"; }
# The prepared files belong to whoever restored them; the server's user
# takes them before a server starts on them.
if ((EUID == 0)); then chown -R "$user": restored; fi
start_server "$work/restored" restored

[[ $(sql restored "CHECK TABLE bank.accounts, bank.journal EXTENDED" | awk '$3 == "status" {print $4}' | sort -u) == OK ]] ||
  { sql restored "CHECK TABLE bank.accounts, bank.journal EXTENDED" >&2; fail "CHECK TABLE found damage"; }
read -r count total <<<"$(sql restored "SELECT COUNT(*), SUM(balance) FROM bank.accounts")"
[[ $count == 100 && $total == 100000 ]] || fail "the accounts hold $count rows and $total in all, not 100 and 100000"
read -r rows last <<<"$(sql restored "SELECT COUNT(*), COALESCE(MAX(n), 0) FROM bank.journal")"
((rows > 0)) || fail "the backup holds no row the writer wrote"
[[ $rows == "$last" ]] || fail "the journal holds $rows rows numbered up to $last: a gap"
echo "restored: $rows transactions of the writer's, accounts whole"

# A stream cut before its first stripe: mbstream takes the empty input as
# an empty archive (exit 0), and the agent's status alone says it failed.
mkdir cut
dd if=/dev/zero of=store/files/1.arch bs=1 count=16 conv=notrunc 2>/dev/null
got=0
"$agent" -q --store store restore mariadb.json --output - 2>cut.log | mbstream -x -C cut || got=$?
[[ $got == 1 ]] || { cat cut.log >&2; fail "a restore of a damaged first stripe exited $got through pipefail"; }
[[ -z $(ls -A cut) ]] || fail "mbstream unpacked something from a stream cut before its first stripe"
mbstream -x -C cut </dev/null || fail "mbstream failed on empty input"
echo "PASS: mariadb recipe"
