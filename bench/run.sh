#!/usr/bin/env bash
# Builds the release preset's pipeline_bench and runs it once: wall times of
# every case with repetitions (library and floor side by side in each
# iteration), then the instructions of the same parts counted by callgrind,
# which other work on the machine does not disturb. Prints one summary table
# (markdown, also in DIR/summary.md; bench/summary.py) and keeps the raw
# results in the output directory.
#
# Usage: bench/run.sh [--repetitions N] [--min-time S] [--runs N]
#                     [--no-callgrind] [--out DIR]
#   --repetitions  repetitions of each wall-time benchmark (default 5; the
#                  table shows their median)
#   --min-time     seconds of library time per repetition (default 0.2)
#   --runs         runs of each side under callgrind (default 50)
#   --out          where the raw results go (default: a new temporary folder)
set -euo pipefail
cd "$(dirname "$0")/.."

repetitions=5
min_time=0.2
runs=50
callgrind=1
out=""
while (($#)); do
  case "$1" in
    --repetitions) repetitions="$2"; shift 2 ;;
    --min-time) min_time="$2"; shift 2 ;;
    --runs) runs="$2"; shift 2 ;;
    --no-callgrind) callgrind=0; shift ;;
    --out) out="$2"; shift 2 ;;
    *) echo "bench/run.sh: unknown argument '$1'" >&2; exit 2 ;;
  esac
done
[[ -n "$out" ]] || out=$(mktemp -d -t pipeline-bench.XXXXXX)
mkdir -p "$out"

cmake --preset release > "$out/configure.log"
cmake --build --preset release -j2 --target pipeline_bench > "$out/build.log" || {
  cat "$out/build.log"; exit 1; }
bench=build/release/bench/pipeline_bench

"$bench" --benchmark_repetitions="$repetitions" --benchmark_min_time="$min_time" \
  --benchmark_report_aggregates_only=true \
  --benchmark_out="$out/wall.json" --benchmark_out_format=json > "$out/wall.txt"

if ((callgrind)); then
  rm -f "$out"/callgrind.out*
  valgrind --tool=callgrind --collect-atstart=no \
    --callgrind-out-file="$out/callgrind.out" "$bench" --instructions="$runs" \
    2> "$out/callgrind.log"
fi

python3 bench/summary.py "$out" "$runs" "$callgrind" | tee "$out/summary.md"
