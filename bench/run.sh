#!/usr/bin/env bash
# Builds the release preset's pipeline_bench and runs it once: wall times of
# every case with repetitions (library and floor side by side in each
# iteration), then the instructions of the same parts counted by callgrind,
# which other work on the machine does not disturb. Prints one summary table
# (markdown) and keeps the raw results in the output directory.
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

python3 - "$out" "$runs" "$callgrind" <<'PY'
import glob, json, os, re, sys

out, runs, callgrind = sys.argv[1], int(sys.argv[2]), sys.argv[3] == "1"
wall = json.load(open(os.path.join(out, "wall.json")))
median = {}
for b in wall["benchmarks"]:
    if b.get("aggregate_name") != "median":
        continue
    name, streams = b["run_name"].split("/")[:2]
    median[(name, int(streams))] = b

instructions = {}
if callgrind:
    for path in glob.glob(os.path.join(out, "callgrind.out.*")):
        label = total = None
        for line in open(path):
            m = re.match(r"desc: Trigger: Client Request: (\S+)", line)
            if m:
                label = m.group(1)
            m = re.match(r"summary: (\d+)", line)
            if m:
                total = int(m.group(1))
        if label and total is not None:
            name, streams, side = label.split("/")
            instructions[(name, int(streams), side)] = total / runs

ctx = wall["context"]
print(f"pipeline_bench, {ctx['date']}, {ctx['num_cpus']} CPUs at {ctx['mhz_per_cpu']} MHz, "
      f"load average {', '.join(f'{x:.2f}' for x in ctx.get('load_avg', []))}")
print()
head = ["case", "streams", "library µs", "floor µs", "lib/floor (time)"]
if callgrind:
    head += ["library instr", "floor instr", "lib/floor (instr)"]
head += ["library allocs/stream", "floor allocs/stream", "extra allocs/run", "goal"]
print("| " + " | ".join(head) + " |")
print("|" + "---|" * len(head))
order = ["BackupSetupAndClose", "RestoreFirstRequest", "RestoreRepeatedRequest",
         "RestoreOtherFiles", "RestoreCloseAndShutdown"]
for name in order:
    for streams in (1, 8, 65):
        b = median.get((name, streams))
        if b is None:
            continue
        limit = 1.25 if streams == 1 else 1.10
        ratio = b["lib/floor"]
        row = [name, str(streams), f"{b['lib_us']:.2f}", f"{b['floor_us']:.2f}", f"{ratio:.3f}"]
        ratios = [ratio]
        if callgrind:
            lib = instructions.get((name, streams, "library"))
            flo = instructions.get((name, streams, "floor"))
            if lib and flo:
                row += [f"{lib:.0f}", f"{flo:.0f}", f"{lib / flo:.3f}"]
                ratios.append(lib / flo)
            else:
                row += ["-", "-", "-"]
        extra = (b["allocs/stream"] - b["floor_allocs/stream"]) * streams
        row += [f"{b['allocs/stream']:.2f}", f"{b['floor_allocs/stream']:.2f}", f"{extra:+.0f}"]
        met = []
        met.append("time " + ("met" if ratios[0] <= limit else "NOT met"))
        if len(ratios) > 1:
            met.append("instr " + ("met" if ratios[1] <= limit else "NOT met"))
        row.append(f"≤ {limit:.2f}: " + ", ".join(met))
        print("| " + " | ".join(row) + " |")
print()
print(f"raw results: {out}")
PY
