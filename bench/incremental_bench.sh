#!/usr/bin/env bash
# Chains of backups of a tree: a full, then incrementals after 1 % of the
# tree's files changed each time. Prints what each job stored (its archive
# files' bytes) and how long its backup took beside the full's, then the
# restore of the tenth incremental beside the full's restore (each whole,
# into an empty directory, then sync). Pauses are skipped
# (--test-skip-pauses): the times are the data phases and what surrounds
# them. Not part of CI.
# Usage: incremental_bench.sh AGENT [DIR] [--files N] [--gib G] [--chain K] [--streams S]
# The tree: N files (default 2000) of sizes log-uniform from 64 KiB, scaled
# so that they add up to G GiB (default 1). Removes everything it made.
set -euo pipefail

agent=$(realpath "$1")
shift
base=${TMPDIR:-/tmp}
if [[ $# -gt 0 && $1 != --* ]]; then
  base=$1
  shift
fi
files=2000 gib=1 chain=10 streams=4
while [[ $# -gt 0 ]]; do
  case $1 in
  --files) files=$2; shift 2 ;;
  --gib) gib=$2; shift 2 ;;
  --chain) chain=$2; shift 2 ;;
  --streams) streams=$2; shift 2 ;;
  *) echo "unknown option $1" >&2; exit 2 ;;
  esac
done

work=$(mktemp -d "$base/incremental-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

python3 - "$files" "$gib" <<'PY'
import math, os, random, sys
random.seed(1)
count, gib = int(sys.argv[1]), float(sys.argv[2])
sizes = [math.exp(random.uniform(math.log(64 << 10), math.log(4 << 20))) for _ in range(count)]
scale = gib * (1 << 30) / sum(sizes)
for i, size in enumerate(sizes):
    d = f"tree/d{i % 50:02}"
    os.makedirs(d, exist_ok=True)
    with open(f"{d}/f{i:05}", "wb") as out:
        out.write(os.urandom(max(1, int(size * scale))))
PY
sync
echo "machine: nproc $(nproc), $(lscpu | sed -n 's/^Model name: *//p'), $(df -h . | awk 'NR==2 {print $1, $2, $4 " free"}')"
echo "tree: $files files, $(du -sb tree | cut -f1) bytes; $streams streams"

# Rewrites 1 % of the files (the same sizes, new bytes), chosen at random ($1: seed).
change_one_percent() {
  python3 - "$1" <<'PY'
import os, random, sys
random.seed(int(sys.argv[1]))
names = sorted(os.path.join(d, f) for d, _, fs in os.walk("tree") for f in fs)
for name in random.sample(names, max(1, len(names) // 100)):
    size = os.path.getsize(name)
    with open(name, "r+b") as out:
        out.write(os.urandom(size))
PY
}

# Backs the tree up ($1: a label, the rest: options); prints "label seconds stored-bytes".
backup() {
  local label=$1
  shift
  /usr/bin/time -f %e -o t.txt "$agent" --store store --test-skip-pauses -q --json backup tree \
    --streams "$streams" --manifest "$label.json" "$@" >"$label.out" 2>"$label.err" ||
    { cat "$label.err" >&2; exit 1; }
  python3 - "$label" "$(cat t.txt)" "$label.out" <<'PY'
import json, sys
label, seconds, out = sys.argv[1], float(sys.argv[2]), json.load(open(sys.argv[3]))
stored = sum(a["size"] for a in out["archiveFiles"])
print(f"{label} {seconds:.2f} {stored} {out['jobId']}")
PY
}

restore_seconds() {
  rm -rf out && mkdir out
  sync
  /usr/bin/time -f %e -o t.txt sh -c "\"$agent\" --store store --test-skip-pauses -q restore --job $1 --output out && sync" 2>restore.err ||
    { cat restore.err >&2; exit 1; }
  cat t.txt
}

read -r _ full_s full_b full_job < <(backup full)
printf '%-8s %8s %14s %8s\n' job seconds stored "stored%"
printf '%-8s %8.2f %14d %8.2f\n' full "$full_s" "$full_b" 100
for ((i = 1; i <= chain; i++)); do
  change_one_percent "$i"
  read -r label s b job < <(backup "incr$i" --type incr)
  printf '%-8s %8.2f %14d %8.2f   (%.1f %% of the full'"'"'s time)\n' "$label" "$s" "$b" \
    "$(echo "100 * $b / $full_b" | bc -l)" "$(echo "100 * $s / $full_s" | bc -l)"
  last=$job
done
diff_line=$(backup diff --type diff)
read -r _ ds db _ <<<"$diff_line"
printf '%-8s %8.2f %14d %8.2f   (after %d incrementals)\n' diff "$ds" "$db" "$(echo "100 * $db / $full_b" | bc -l)" "$chain"

full_restore=$(restore_seconds "$full_job")
last_restore=$(restore_seconds "$last")
diff -r tree out/tree >/dev/null || { echo "the last incremental did not restore the tree" >&2; exit 1; }
echo "restore: full $full_restore s, incr$chain $last_restore s ($(echo "$last_restore / $full_restore" | bc -l | cut -c1-4)x)"
