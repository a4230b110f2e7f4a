#!/usr/bin/env bash
# The byte stages against the zstd command on the same bytes, in one run:
#   backup:  pipeline-agent --compress zstd:3 over 4 streams, beside
#            `zstd -3 -T4 -c FILE > OUT && sync`
#   restore: pipeline-agent restore of that job, beside `zstd -d -c OUT > F && sync`
#   stored:  the job's stored bytes beside zstd -3's output
#   encrypt: the same backup and restore with --encrypt (a key file)
#   none:    --compress none, the bytes stored as read, on incompressible
#            input: a restore by this agent and (--base-agent) by another
#            build, e.g. one made before the stages were wired.
#
#   bench/stages_bench.sh [--size-gib N] [--agent PATH] [--base-agent PATH] [DIR]
#
# The compressible input is generated text (order lines, as the demo's
# export); the incompressible one /dev/urandom. Backups run with
# --test-skip-pauses: the platform's 2-s pause per stream is not the data
# path. Times are wall seconds of the whole command, the best of --runs
# (default 2). Everything is made under DIR (default $TMPDIR) and removed.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
agent="$here/build/release/tools/pipeline-agent"
base_agent=""
size_gib=1
runs=2
dir="${TMPDIR:-/tmp}"
while (($#)); do
  case "$1" in
    --size-gib) size_gib=$2; shift 2 ;;
    --agent) agent=$2; shift 2 ;;
    --base-agent) base_agent=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    -h|--help) sed -n '2,20p' "$0"; exit 0 ;;
    -*) echo "stages_bench: unknown option $1" >&2; exit 2 ;;
    *) dir=$1; shift ;;
  esac
done
[[ -x $agent ]] || { echo "stages_bench: no agent at $agent (build the release preset)" >&2; exit 2; }
command -v zstd >/dev/null || { echo "stages_bench: zstd is missing" >&2; exit 2; }
work=$(mktemp -d "$dir/stages_bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
say() { echo "stages_bench: $*" >&2; }
now() { date +%s.%N; }
mib=$(awk -v g="$size_gib" 'BEGIN { printf "%d", g * 1024 }')
bytes=$((mib * 1024 * 1024))

say "making $mib MiB of text and $mib MiB of random bytes"
python3 - "$bytes" <<'PY'
import random, sys
size = int(sys.argv[1])
rng = random.Random(7)
items = ["widget", "gadget", "sprocket", "flange", "gasket", "bracket", "valve", "hinge"]
cities = ["Lyon", "Porto", "Graz", "Turku", "Gent", "Brno", "Cork", "Bergen"]
lines = []
for i in range(400000):
    lines.append("%d,%d,%s,%s,%d,%.2f,2026-%02d-%02dT%02d:%02d:%02dZ,%s\n" % (
        i, rng.randrange(10**6), rng.choice(items), rng.choice(cities), rng.randrange(1, 50),
        rng.random() * 500, rng.randrange(1, 13), rng.randrange(1, 29), rng.randrange(24),
        rng.randrange(60), rng.randrange(60), rng.choice(["shipped", "open", "returned"])))
block = "".join(lines).encode()
with open("text.csv", "wb") as out:
    left = size
    while left > 0:
        out.write(block[:left])
        left -= min(left, len(block))
PY
head -c "$bytes" /dev/urandom >random.bin
printf 'bench key file: thirty-two bytes or more of anything\n' >key
chmod 600 key

# Seconds of the best of $runs runs of "$@" (each after $prepare, untimed).
prepare=:
best() {
  local best="" i start t
  for ((i = 0; i < runs; i++)); do
    eval "$prepare"
    start=$(now)
    "$@" >/dev/null
    t=$(awk -v a="$start" -v b="$(now)" 'BEGIN { printf "%.2f", b - a }')
    if [[ -z $best ]] || awk -v a="$t" -v b="$best" 'BEGIN { exit !(a < b) }'; then best=$t; fi
  done
  echo "$best"
}
rate() { awk -v t="$1" -v b="$bytes" 'BEGIN { printf "%.0f", b / t / 1e6 }'; }

zstd_backup() { zstd -q -3 -T4 -c text.csv >text.zst && sync text.zst; }
zstd_restore() { zstd -q -d -c text.zst >text.out && sync text.out; }
# $1: the agent, $2: the input, then the backup's options.
agent_backup() {
  local a=$1 input=$2
  shift 2
  "$a" --store store --test-skip-pauses -q backup "$input" --streams 4 --manifest job.json "$@"
}
agent_restore() { "$1" --store store -q restore job.json --output out.bin "${@:2}"; }

rows=()
row() { rows+=("| $1 | $2 | $3 | $4 |"); }

say "zstd -3 -T4"
prepare='rm -f text.zst'
t=$(best zstd_backup)
zsize=$(stat -c %s text.zst)
row "backup, text" "zstd -3 -T4 -c FILE > OUT && sync" "$t" "$(rate "$t")"
prepare='rm -f text.out'
t=$(best zstd_restore)
row "restore, text" "zstd -d -c OUT > FILE && sync" "$t" "$(rate "$t")"

for mode in plain encrypted; do
  opts=(--compress zstd:3)
  keys=()
  if [[ $mode == encrypted ]]; then opts+=(--encrypt --key-file key); keys=(--key-file key); fi
  say "agent, zstd:3, $mode"
  prepare='rm -rf store job.json'
  t=$(best agent_backup "$agent" text.csv "${opts[@]}")
  stored=$(python3 -c 'import json; m=json.load(open("job.json")); print(sum(s["storedSize"] for f in m["files"] for s in f["streams"]))')
  row "backup, text" "agent --compress zstd:3 $([[ $mode == encrypted ]] && echo '--encrypt ')--streams 4" "$t" "$(rate "$t")"
  prepare='rm -f out.bin'
  t=$(best agent_restore "$agent" "${keys[@]}")
  cmp text.csv out.bin
  row "restore, text" "agent restore ($mode)" "$t" "$(rate "$t")"
  [[ $mode == plain ]] && agent_stored=$stored || agent_stored_enc=$stored
done

say "agent, zstd:3 on random bytes (kept raw)"
prepare='rm -rf store job.json'
t=$(best agent_backup "$agent" random.bin --compress zstd:3)
row "backup, random" "agent --compress zstd:3 --streams 4" "$t" "$(rate "$t")"
random_stored=$(python3 -c 'import json; m=json.load(open("job.json")); print(sum(s["storedSize"] for f in m["files"] for s in f["streams"]))')
t=$(best agent_backup "$agent" random.bin --compress none)
row "backup, random" "agent --compress none --streams 4" "$t" "$(rate "$t")"

for which in agent base; do
  a=$agent
  if [[ $which == base ]]; then
    [[ -n $base_agent ]] || continue
    a=$base_agent
  fi
  say "restore, none, random bytes: $which ($a)"
  rm -rf store job.json
  agent_backup "$a" random.bin >/dev/null
  prepare='rm -f out.bin'
  t=$(best agent_restore "$a")
  cmp random.bin out.bin
  row "restore, random" "$([[ $which == base ]] && echo "--base-agent" || echo "this agent") restore, --compress none" "$t" "$(rate "$t")"
done

echo "Machine: $(nproc) CPUs, $(lscpu | sed -n 's/^Model name: *//p' | head -n1); input $mib MiB; best of $runs"
echo
echo "| input | run | s | MB/s |"
echo "|---|---|---|---|"
printf '%s\n' "${rows[@]}"
echo
echo "Stored: zstd -3 $zsize bytes; agent zstd:3 $agent_stored bytes; encrypted $agent_stored_enc bytes;" \
  "random input $bytes bytes stored as $random_stored bytes"
