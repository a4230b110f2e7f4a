#!/usr/bin/env python3
"""The summary table of a bench/run.sh output folder, in markdown.

Usage: bench/summary.py DIR RUNS CALLGRIND
  DIR        holds wall.json (pipeline_bench's JSON output, with repetitions)
             and, when CALLGRIND is 1, the callgrind.out.* dumps of
             `pipeline_bench --instructions=RUNS`
"""
import glob, json, os, re, subprocess, sys

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
cpu = {}
for line in subprocess.run(["lscpu"], capture_output=True, text=True).stdout.splitlines():
    key, _, value = line.partition(":")
    cpu[key.strip()] = value.strip()
print(f"pipeline_bench, {ctx['date']}, lscpu model \"{cpu.get('Model name', '?')}\", "
      f"{cpu.get('CPU(s)', '?')} CPUs ({cpu.get('Core(s) per socket', '?')} cores per socket, "
      f"{cpu.get('Thread(s) per core', '?')} thread per core) at {ctx['mhz_per_cpu']} MHz, "
      f"load average at the start {', '.join(f'{x:.2f}' for x in ctx.get('load_avg', []))}")
print()
head = ["case", "streams", "library µs", "floor µs", "lib/floor (time)"]
if callgrind:
    head += ["library instr", "floor instr", "lib/floor (instr)", "own instr/stream"]
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
                row += [f"{lib:.0f}", f"{flo:.0f}", f"{lib / flo:.3f}",
                        f"{(lib - flo) / streams:.0f}"]
                ratios.append(lib / flo)
            else:
                row += ["-", "-", "-", "-"]
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
