#!/usr/bin/env bash
# pipeline-agent on live databases, each beside its floor in the same run on
# the same bytes (every agent run with --test-skip-pauses: the data path
# alone, without the library's 2-s pause per stream):
#   stream  SIZE of random bytes read from --from-command 'cat F' over 4
#           streams, against dd of F with conv=fsync; and its peak RSS;
#   sqlite  a SQLite database of SIZE backed up over 4 streams as a
#           consistent snapshot while a writer in another process commits
#           every 5 ms, against the same database backed up --raw with no
#           writer; in rollback-journal mode (copied into the store) and
#           WAL mode (read where it lies); and the time a copy held its
#           read transaction, which is how long a rollback-journal
#           writer's commit waits (a WAL writer never does).
#
#   bench/live_bench.sh [DIR] [--size-gib N] [--agent PATH]
#
# DIR (default: a new directory under $TMPDIR) must be on the disk to
# measure; at most about 4 x SIZE is on disk at once; all is removed at the
# end. Output is a Markdown table on stdout; progress goes to stderr.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
agent="$here/build/release/tools/pipeline-agent"
dir=""
size_gib=1
while (($#)); do
  case "$1" in
    --size-gib) size_gib=$2; shift 2 ;;
    --agent) agent=$2; shift 2 ;;
    -h|--help) sed -n '2,18p' "$0"; exit 0 ;;
    -*) echo "live_bench: unknown option $1" >&2; exit 2 ;;
    *) dir=$1; shift ;;
  esac
done
agent=$(realpath "$agent" 2>/dev/null || echo "$agent")
[[ -x $agent ]] || { echo "live_bench: no agent at $agent (build the release preset)" >&2; exit 2; }
[[ -x /usr/bin/time ]] || { echo "live_bench: /usr/bin/time is missing (package time)" >&2; exit 2; }
command -v python3 >/dev/null || { echo "live_bench: python3 is missing" >&2; exit 2; }

mkdir -p "${dir:-${TMPDIR:-/tmp}}"
work=$(mktemp -d "${dir:-${TMPDIR:-/tmp}}/live_bench.XXXXXX")
writer=
cleanup() {
  [[ -n $writer ]] && kill "$writer" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
cd "$work"
say() { echo "live_bench: $*" >&2; }
mib=$(awk -v g="$size_gib" 'BEGIN { printf "%d", g * 1024 }')
bytes=$((mib * 1024 * 1024))

# Seconds and peak RSS (MiB) of a command: "SECONDS RSS".
measure() {
  /usr/bin/time -f '%e %M' -o time.txt "$@" >/dev/null 2>run.err || { cat run.err >&2; exit 1; }
  awk '{ printf "%.2f %d\n", $1, $2 / 1024 }' time.txt
}
rate() { awk -v b="$bytes" -v s="$1" 'BEGIN { printf "%.0f", b / 1048576 / s }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

# vs floor: for the stream the floor's time over the agent's (goal at least
# 0.8); for SQLite the snapshot's time over --raw's (goal at most 1.3).
echo "| case | run | seconds | MB/s | vs floor | peak RSS MiB | writer held |"
echo "|---|---|---|---|---|---|---|"

say "making $mib MiB of random bytes"
head -c "$bytes" /dev/urandom >input.bin
sync
say "stream: dd floor"
read -r floor _ < <(measure dd if=input.bin of=floor.bin bs=1M conv=fsync)
rm -f floor.bin
echo "| stream, $mib MiB | floor: dd conv=fsync | $floor | $(rate "$floor") | 1.00 | - | - |"
say "stream: --from-command over 4 streams"
read -r seconds rss < <(measure "$agent" --store store --test-skip-pauses -q backup --streams 4 \
  --from-command "cat input.bin" --name input.bin --manifest stream.json)
echo "| stream, $mib MiB | backup --from-command, 4 streams | $seconds | $(rate "$seconds") | $(ratio "$floor" "$seconds") | $rss | - |"
rm -rf store stream.json input.bin

say "making a SQLite database of $mib MiB"
python3 - "$mib" <<'PY'
import os, sqlite3, sys
mib = int(sys.argv[1])
db = sqlite3.connect("live.db")
db.execute("CREATE TABLE blobs(id INTEGER PRIMARY KEY, data BLOB)")
db.execute("CREATE TABLE counter(id INTEGER PRIMARY KEY, n INTEGER)")
db.execute("INSERT INTO counter VALUES(1, 0)")
for i in range(mib * 16):
    db.execute("INSERT INTO blobs(data) VALUES(?)", (os.urandom(65536),))
    if i % 1024 == 0:
        db.commit()
db.commit()
db.close()
PY
for mode in delete wal; do
  sqlite3 live.db "PRAGMA journal_mode=$mode" >/dev/null
  sync
  say "sqlite ($mode): --raw, no writer"
  read -r raw _ < <(measure "$agent" --store "store-$mode" --test-skip-pauses -q backup --streams 4 \
    --raw live.db --manifest "raw-$mode.json")
  echo "| sqlite $mode, $mib MiB | backup --raw, no writer | $raw | $(rate "$raw") | 1.00 | - | - |"
  python3 - <<'PY' &
import sqlite3, time
db = sqlite3.connect("live.db", timeout=60)
while True:
    db.execute("UPDATE counter SET n = n + 1 WHERE id = 1")
    db.commit()
    time.sleep(0.005)
PY
  writer=$!
  sleep 1
  say "sqlite ($mode): snapshot under writes"
  read -r live rss < <(measure "$agent" --store "store-$mode" --test-skip-pauses backup \
    --streams 4 live.db --manifest "live-$mode.json")
  # How long a copy held its read transaction (a database in WAL mode is
  # read where it lies, under a transaction that no writer waits for).
  held=$({ grep -o 'read transaction for [0-9.]* s' run.err || true; } | awk '{print $4}')
  kill "$writer"
  wait "$writer" 2>/dev/null || true
  writer=
  echo "| sqlite $mode, $mib MiB | snapshot under writes | $live | $(rate "$live") | $(ratio "$live" "$raw") | $rss | ${held:-"-"}${held:+ s} |"
  rm -rf "store-$mode"
done
