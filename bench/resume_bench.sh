#!/usr/bin/env bash
# What resuming a killed backup saves: a tree of 64 files of 16 MiB backed
# up whole over 4 streams, then the same backup killed (SIGKILL) at the
# 33rd file's first chunk and resumed (--resume), each with and without
# --limit-rate RATE (a store that takes RATE, as a slow disk or a share
# would). For each: wall time, the bytes the resume kept, and its peak RSS.
# The runs skip the mandated pauses, so that they are the data's.
# Usage: bench/resume_bench.sh AGENT [RUNS [RATE]]   (default 2 runs, 100M)
set -euo pipefail
agent=$(realpath "$1")
runs=${2:-2}
rate=${3:-100M}
work=$(mktemp -d "${TMPDIR:-/work}/resume-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
mkdir in
for i in $(seq -w 1 64); do head -c $((16 << 20)) /dev/urandom >"in/f$i"; done
printf '%-7s %-6s %9s %12s %12s\n' what limit seconds "kept MiB" "peak RSS MiB"
for ((run = 1; run <= runs; ++run)); do
  for limit in - "$rate"; do
    pace=()
    [[ $limit == - ]] || pace=(--limit-rate "$limit")
    rm -rf store m.json && sync
    /usr/bin/time -f '%e %M' -o run.time "$agent" --store store --test-skip-pauses -q backup in \
      --streams 4 --manifest m.json "${pace[@]}"
    read -r seconds rss <run.time
    printf '%-7s %-6s %9s %12s %12s\n' full "$limit" "$seconds" - $((rss / 1024))
    rm -rf store m.json && sync
    got=0
    "$agent" --store store --test-skip-pauses -q backup in --streams 4 --manifest m.json \
      "${pace[@]}" --test-record-every 1000 --test-after-first-chunk \
      'case "$1" in */f33) for i in $(seq 100); do ls store/resume/*.json >/dev/null 2>&1 && break; sleep 0.1; done; kill -9 $PPID;; esac' \
      2>/dev/null || got=$?
    [[ $got == 137 ]] || { echo "the backup to be killed ended $got" >&2; exit 1; }
    job=$(ls store/resume | sed -n 's/^\([0-9]*\)\.json$/\1/p')
    sync
    /usr/bin/time -f '%e %M' -o run.time "$agent" --store store --test-skip-pauses --json backup in \
      --streams 4 --manifest m.json "${pace[@]}" --resume "$job" >resumed.json 2>/dev/null
    read -r seconds rss <run.time
    kept=$(python3 -c 'import json; print(json.load(open("resumed.json"))["resumed"]["bytesKept"] >> 20)')
    printf '%-7s %-6s %9s %12s %12s\n' resume "$limit" "$seconds" "$kept" $((rss / 1024))
  done
done
