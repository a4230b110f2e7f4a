#!/usr/bin/env bash
# What an incremental backup stores of a large file whose pages changed in
# place, block by block, and what restoring it costs beside a full. One file
# (default 1 GiB of random bytes) is backed up full; then 1 % of its 8 KiB
# pages are written anew at random, and an incr stores the changed blocks;
# then as many pages, clustered at the file's end, and a second incr. Says
# what each incr stored as a share of the file (its archive files, from
# `list --json`), and the restore time of each job, the incrs' read from
# their holders. Not part of CI. Use a release build.
# Usage: blocks_bench.sh AGENT [DIR] [--size-mib N] [--streams N] [--percent P]
#                              [--stages "--compress zstd"]
# Removes everything it made.
set -euo pipefail

agent=$(realpath "$1")
shift
base=${TMPDIR:-/tmp}
if [[ $# -gt 0 && $1 != --* ]]; then
  base=$1
  shift
fi
size_mib=1024
streams=3
percent=1
stages=""
while [[ $# -gt 0 ]]; do
  case $1 in
  --size-mib) size_mib=$2; shift 2 ;;
  --streams) streams=$2; shift 2 ;;
  --percent) percent=$2; shift 2 ;;
  --stages) stages=$2; shift 2 ;;
  *) echo "unknown option $1" >&2; exit 2 ;;
  esac
done

work=$(mktemp -d "$base/blocks-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

run() { "$agent" --store store --test-skip-pauses "$@"; }
# The seconds a command took; stops the bench when it fails.
seconds() {
  /usr/bin/time -f %e -o t.txt "$@" >/dev/null 2>err.txt ||
    { cat err.txt >&2; echo "FAILED: $*" >&2; exit 1; }
  cat t.txt
}

# Writes a new page at each of `count` page numbers of file $1: at random
# (seed $3) or, with $2 = end, the last ones.
write_pages() {
  python3 - "$@" <<'PY'
import os, random, sys
path, where, count, seed = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
pages = os.path.getsize(path) // 8192
random.seed(seed)
chosen = random.sample(range(pages), count) if where == "random" else range(pages - count, pages)
with open(path, "r+b") as f:
    for page in chosen:
        f.seek(page * 8192)
        f.write(os.urandom(8192))
PY
}

# What job manifest $1's archive files hold, in bytes.
stored() {
  local job
  job=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["jobId"])' "$1")
  run list --json 2>/dev/null | python3 -c '
import json, sys
job = [j for j in json.load(sys.stdin)["jobs"] if j["jobId"] == int(sys.argv[1])][0]
print(sum(a["size"] for a in job["archiveFiles"]))' "$job"
}

# Restores manifest $1 into a fresh out/ and compares it with copy $2;
# prints the seconds the restore took.
restore_seconds() {
  rm -rf out && mkdir out
  sync
  local took
  # shellcheck disable=SC2086
  took=$(seconds "$agent" --store store restore "$1" --output out $key)
  grep -F "every block matches" err.txt | head -1 >&2 || true
  cmp -s out/data "$2" || echo "RESTORE OF $1 DIFFERS" >&2
  echo "$took"
}

key=""
if [[ $stages == *--encrypt* ]]; then
  printf 'key file content, thirty-two bytes or more, any bytes at all\n' >keyfile
  chmod 600 keyfile
  stages="$stages --key-file keyfile"
  key="--key-file keyfile"
fi

head -c $((size_mib << 20)) /dev/urandom >data
bytes=$((size_mib << 20))
pages=$((bytes / 8192 * percent / 100))
echo "machine: nproc $(nproc), $(lscpu | sed -n 's/^Model name: *//p'), $(df -h . | awk 'NR==2 {print $1, $2, $4 " free"}')"
echo "file: $size_mib MiB, $streams streams${stages:+, $stages}; $pages pages of 8 KiB ($percent %) changed each time"

# shellcheck disable=SC2086
echo "full backup: $(seconds "$agent" --store store --test-skip-pauses backup data --manifest m1.json --streams "$streams" $stages) s, stored $(stored m1.json) bytes"
cp data full.copy

write_pages data random "$pages" 1
# shellcheck disable=SC2086
echo "incr, pages at random: $(seconds "$agent" --store store --test-skip-pauses backup data --manifest m2.json --streams "$streams" --type incr $stages) s"
cp data random.copy
s=$(stored m2.json)
echo "incr, pages at random: stored $s bytes, $(python3 -c "print(f'{100 * $s / $bytes:.2f}')") % of the file"

write_pages data end "$pages" 2
# shellcheck disable=SC2086
echo "incr, pages at the end: $(seconds "$agent" --store store --test-skip-pauses backup data --manifest m3.json --streams "$streams" --type incr $stages) s"
cp data end.copy
s=$(stored m3.json)
echo "incr, pages at the end: stored $s bytes, $(python3 -c "print(f'{100 * $s / $bytes:.2f}')") % of the file"

echo "restore of the full: $(restore_seconds m1.json full.copy) s"
echo "restore of incr 1 (full + its blocks): $(restore_seconds m2.json random.copy) s"
echo "restore of incr 2 (full + incr 1 + its blocks): $(restore_seconds m3.json end.copy) s"
