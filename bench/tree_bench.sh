#!/usr/bin/env bash
# A tree of many files backed up and restored by pipeline-agent beside tar on
# the same disk: backup against `tar -cf - DIR | dd of=F conv=fsync`, restore
# against `tar -xf F` + `sync`. Not part of CI.
# Usage: tree_bench.sh AGENT [DIR] [--files N] [--streams "1 4"]
# The tree: N files (default 10000) in 100 directories, sizes log-uniform from
# 1 KiB to 1 MiB (about 1.4 GiB for 10,000). Removes everything it made.
set -euo pipefail

agent=$(realpath "$1")
shift
base=${TMPDIR:-/tmp}
if [[ $# -gt 0 && $1 != --* ]]; then
  base=$1
  shift
fi
files=10000
streams="1 4"
while [[ $# -gt 0 ]]; do
  case $1 in
  --files) files=$2; shift 2 ;;
  --streams) streams=$2; shift 2 ;;
  *) echo "unknown option $1" >&2; exit 2 ;;
  esac
done

work=$(mktemp -d "$base/tree-bench.XXXXXX")
trap 'chmod -R u+w "$work" 2>/dev/null; rm -rf "$work"' EXIT
cd "$work"

python3 - "$files" <<'PY'
import math, os, random, sys
random.seed(1)
count = int(sys.argv[1])
chunk = os.urandom(1 << 20)
total = 0
for i in range(count):
    d = f"tree/d{i % 100:03}"
    os.makedirs(d, exist_ok=True)
    size = int(math.exp(random.uniform(math.log(1024), math.log(1 << 20))))
    with open(f"{d}/f{i:05}", "wb") as out:
        out.write(chunk[(i * 7919) % 4096:][:size] if size <= (1 << 20) - 4096 else chunk[:size])
    total += size
print(f"tree: {count} files, {total} bytes ({total / (1 << 30):.2f} GiB)")
PY
sync

seconds() { /usr/bin/time -f %e -o t.txt "$@" >/dev/null 2>&1; cat t.txt; }

echo "machine: nproc $(nproc), $(lscpu | sed -n 's/^Model name: *//p'), $(df -h . | awk 'NR==2 {print $1, $2, $4 " free"}')"
echo "backup floor: tar -cf - tree | dd of=tree.tar conv=fsync: $(seconds sh -c 'tar -cf - tree | dd of=tree.tar bs=1M conv=fsync status=none') s"
sync
mkdir tout
echo "restore floor: tar -xf tree.tar + sync: $(seconds sh -c 'tar -xf tree.tar -C tout && sync') s"
rm -rf tout tree.tar
for n in $streams; do
  rm -rf store out m.json
  sync
  echo "backup, $n streams, --test-skip-pauses: $(seconds "$agent" --store store --test-skip-pauses backup tree --manifest m.json --streams "$n") s"
  sync
  mkdir out
  echo "restore, $n streams: $(seconds "$agent" --store store restore m.json --output out) s"
  diff -r tree out/tree >/dev/null || echo "restore, $n streams: THE TREES DIFFER"
  chmod -R u+w out
done
