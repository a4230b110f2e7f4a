#!/usr/bin/env bash
# Backup and restore by pipeline-agent on one disk, beside the disk's own
# floor measured in the same run on the same bytes:
#   backup floor:  dd of the input with conv=fsync
#   restore floor: cp of the input, then sync of the copy
# for a file of SIZE and a set of 4 files of SIZE/4, over 1, 4 and 16 streams.
#
#   bench/disk_bench.sh [DIR] [--size-gib N] [--streams "1 4 16"] [--rss-gib "1 4"]
#                       [--agent PATH]
#
# DIR (default: a new directory under $TMPDIR) must be on the disk to measure;
# everything is made under it and removed at the end, and at most about
# 3 x SIZE is on disk at once (4 x the largest --rss-gib size for the memory
# runs). N may be a fraction (0.25).
#
# Per run it reports:
#   whole   the agent's wall time, backup with its mandated 2-s pause per
#           stream, which is also listed alone (pauses);
#   data    the data phase, from the platform's own log: for backup, in a
#           second run with --test-skip-pauses (labelled so), from the first
#           archive file created to the last one closed; for restore, from
#           the first FSR_MSG_SEEK_TO_OFFSET the media side accepted to the
#           last FSR_MSG_CLOSE_ARCHIVE;
#   MB/s    bytes / data time, and its ratio to the floor;
#   RSS     peak resident set size (/usr/bin/time -v).
# Output is a Markdown table on stdout; progress goes to stderr.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
agent="$here/build/release/tools/pipeline-agent"
dir=""
size_gib=1
stream_counts="1 4 16"
rss_sizes="1 4"
while (($#)); do
  case "$1" in
    --size-gib) size_gib=$2; shift 2 ;;
    --streams) stream_counts=$2; shift 2 ;;
    --rss-gib) rss_sizes=$2; shift 2 ;;
    --agent) agent=$2; shift 2 ;;
    -h|--help) sed -n '2,27p' "$0"; exit 0 ;;
    -*) echo "disk_bench: unknown option $1" >&2; exit 2 ;;
    *) dir=$1; shift ;;
  esac
done
[[ -x $agent ]] || { echo "disk_bench: no agent at $agent (build the release preset)" >&2; exit 2; }
[[ -x /usr/bin/time ]] || { echo "disk_bench: /usr/bin/time is missing (package time)" >&2; exit 2; }

if [[ -z $dir ]]; then
  work=$(mktemp -d "${TMPDIR:-/tmp}/disk_bench.XXXXXX")
else
  mkdir -p "$dir"
  work=$(mktemp -d "$dir/disk_bench.XXXXXX")
fi
cleanup() { rm -rf "$work"; }
trap cleanup EXIT
trap 'exit 130' INT TERM

say() { echo "disk_bench: $*" >&2; }
mib_of() { awk -v g="$1" 'BEGIN { printf "%d", g * 1024 }'; }
now() { date +%s.%N; }
secs() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", b - a }'; }
rate() { awk -v bytes="$1" -v t="$2" 'BEGIN { if (t > 0) printf "%.0f", bytes / t / 1e6; else print "-" }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }'; }
# Seconds since the epoch of a log line's stamp (its first field).
stamp() { date -d "$1" +%s.%N; }
first_stamp() { grep -m1 -- "$2" "$1" | cut -d' ' -f1; }
last_stamp() { grep -- "$2" "$1" | tail -n1 | cut -d' ' -f1; }
# Seconds between the first line matching $2 and the last matching $3.
log_span() {
  local a b
  a=$(first_stamp "$1" "$2"); b=$(last_stamp "$1" "$3")
  [[ -n $a && -n $b ]] || { echo "-"; return; }
  secs "$(stamp "$a")" "$(stamp "$b")"
}
# "wall rss_mib" of a /usr/bin/time -v report.
time_report() {
  awk -F': ' '/Elapsed \(wall clock\)/ { n = split($2, p, ":"); w = 0; for (i = 1; i <= n; i++) w = w * 60 + p[i] }
              /Maximum resident set size/ { r = $2 / 1024 }
              END { printf "%.3f %.0f\n", w, r }' "$1"
}

# The agent backs up sets when its backup takes several inputs.
set_form=0
if "$agent" backup --help 2>&1 | grep -Eq '^ +[a-z]+ TEXT (\.\.\.|x )'; then set_form=1; fi

# Makes n files of total_mib MiB under $1; prints their paths.
make_inputs() {
  local where=$1 n=$2 total_mib=$3 i
  mkdir -p "$where"
  for ((i = 1; i <= n; i++)); do
    head -c "$((total_mib / n))M" /dev/urandom > "$where/input$i.db"
    echo "$where/input$i.db"
  done
}

floor_backup() {  # inputs... ; prints seconds
  local start f out="$work/floor"
  mkdir -p "$out"; start=$(now)
  for f in "$@"; do dd if="$f" of="$out/$(basename "$f")" bs=1M conv=fsync status=none; done
  secs "$start" "$(now)"; rm -rf "$out"
}
floor_restore() {  # inputs... ; prints seconds
  local start f out="$work/floor"
  mkdir -p "$out"; start=$(now)
  for f in "$@"; do cp "$f" "$out/"; done
  sync "$out"/*
  secs "$start" "$(now)"; rm -rf "$out"
}

# Runs one backup: $1 = log file, $2 = time report, $3 = streams, $4 = skip
# pauses (0/1), then the inputs. Leaves the store and manifest in $work/run.
agent_backup() {
  local log=$1 report=$2 streams=$3 skip=$4; shift 4
  rm -rf "$work/run"; mkdir -p "$work/run"
  local extra=()
  ((skip)) && extra+=(--test-skip-pauses)
  /usr/bin/time -v -o "$report" "$agent" --store "$work/run/store" --log-file "$log" \
    --log-level 1 "${extra[@]}" backup "$@" --manifest "$work/run/set.json" \
    --streams "$streams" > /dev/null 2> "$work/run/backup.err" ||
    { cat "$work/run/backup.err" >&2; return 1; }
}
agent_restore() {  # $1 = log file, $2 = time report, $3 = 1 for a set
  local log=$1 report=$2 output
  if (($3)); then output="$work/run/out"; mkdir -p "$output"; else output="$work/run/out.db"; fi
  /usr/bin/time -v -o "$report" "$agent" --store "$work/run/store" --log-file "$log" \
    --log-level 1 restore "$work/run/set.json" --output "$output" > /dev/null \
    2> "$work/run/restore.err" || { cat "$work/run/restore.err" >&2; return 1; }
}

rows=()
row() { rows+=("| $(IFS='|'; echo "$*" | sed 's/|/ | /g') |"); }

# One shape: $1 = label, $2 = number of files, $3 = total MiB.
bench_shape() {
  local label=$1 files=$2 total_mib=$3
  local bytes=$((total_mib * 1024 * 1024))
  say "$label: making $files input file(s), $total_mib MiB in all"
  mapfile -t inputs < <(make_inputs "$work/inputs" "$files" "$total_mib")
  local fb fr
  fb=$(floor_backup "${inputs[@]}"); fr=$(floor_restore "${inputs[@]}")
  say "$label: floors: dd conv=fsync ${fb}s, cp + sync ${fr}s"
  row "$label" "backup floor: dd conv=fsync" "-" "$fb" "-" "-" "$fb" "$(rate $bytes "$fb")" "1.00" "-"
  row "$label" "restore floor: cp + sync" "-" "$fr" "-" "-" "$fr" "$(rate $bytes "$fr")" "1.00" "-"
  local n wall rss data
  for n in $stream_counts; do
    say "$label: $n streams: backup (with pauses)"
    agent_backup "$work/b.log" "$work/b.time" "$n" 0 "${inputs[@]}"
    read -r wall rss < <(time_report "$work/b.time")
    row "$label" "backup" "$n" "$wall" "$((2 * n))" "$(secs "$((2 * n))" "$wall")" \
      "-" "-" "$(ratio "$(secs "$((2 * n))" "$wall")" "$fb")" "$rss"
    say "$label: $n streams: restore"
    agent_restore "$work/r.log" "$work/r.time" "$((files > 1))"
    read -r wall rss < <(time_report "$work/r.time")
    data=$(log_span "$work/r.log" "accepted FSR_MSG_SEEK_TO_OFFSET" "accepted FSR_MSG_CLOSE_ARCHIVE")
    row "$label" "restore" "$n" "$wall" "0" "$wall" "$data" \
      "$(rate $bytes "$data")" "$(ratio "$fr" "$data")" "$rss"
    rm -f "$work/b.log" "$work/r.log"
    say "$label: $n streams: backup data phase (--test-skip-pauses)"
    agent_backup "$work/s.log" "$work/s.time" "$n" 1 "${inputs[@]}"
    read -r wall rss < <(time_report "$work/s.time")
    data=$(log_span "$work/s.log" "local platform: created archive file" "local platform: closed archive file")
    row "$label" "backup, --test-skip-pauses" "$n" "$wall" "0 (skipped)" "$wall" "$data" \
      "$(rate $bytes "$data")" "$(ratio "$fb" "$data")" "$rss"
    rm -rf "$work/run" "$work/s.log"
  done
  rm -rf "$work/inputs"
}

# Peak memory only: one backup and restore over 4 streams per size.
bench_rss() {
  local gib=$1 mib wall brss rrss
  mib=$(mib_of "$gib")
  say "memory: ${gib} GiB file over 4 streams"
  mapfile -t inputs < <(make_inputs "$work/inputs" 1 "$mib")
  agent_backup "$work/m.log" "$work/m.time" 4 1 "${inputs[@]}"
  read -r wall brss < <(time_report "$work/m.time")
  rm -rf "$work/inputs"
  agent_restore "$work/m.log" "$work/m2.time" 0
  read -r wall rrss < <(time_report "$work/m2.time")
  rm -rf "$work/run" "$work/m.log"
  rss_rows+=("| ${gib} GiB | 4 | $brss | $rrss |")
}

say "agent $agent; set form: $set_form; work in $work"
size_mib=$(mib_of "$size_gib")
bench_shape "1 file, ${size_gib} GiB" 1 "$size_mib"
if ((set_form)); then
  bench_shape "4 files, ${size_gib} GiB" 4 "$size_mib"
else
  say "this agent backs up one file per job: the 4-file set is skipped"
fi
rss_rows=()
for g in $rss_sizes; do bench_rss "$g"; done

echo "Machine: $(nproc) CPUs, $(lscpu | sed -n 's/^Model name: *//p' | head -n1);" \
  "disk: $(df -h --output=source,fstype,size "$work" | tail -n1 | tr -s ' ')"
echo
echo "| input | run | streams | whole s | pauses s | whole − pauses s | data s | data MB/s | vs floor | peak RSS MiB |"
echo "|---|---|---|---|---|---|---|---|---|---|"
printf '%s\n' "${rows[@]}"
echo
echo "\"vs floor\": for data phases, the floor's time over the data time (the"
echo "throughput as a share of the floor's; goal >= 0.8); for a whole backup,"
echo "(whole - pauses) over the floor's time (goal <= 1.25)."
echo
echo "Peak RSS, backup (pauses skipped) and restore, by input size:"
echo
echo "| input | streams | backup RSS MiB | restore RSS MiB |"
echo "|---|---|---|---|"
printf '%s\n' "${rss_rows[@]}"
