#!/usr/bin/env bash
# How closely --limit-rate holds: a backup and a restore of one file over 4
# streams into a store in a directory, each at the rates given, and once
# without a limit for the floor. For each: wall time, the job's average
# rate over its whole run and its distance from the limit, and peak RSS.
# The backups skip the mandated pauses, so that the run is the data's.
# Usage: bench/limit_bench.sh AGENT [MIB [RATE...]]   (default 1024 MiB, 50M)
set -euo pipefail
agent=$(realpath "$1")
mib=${2:-1024}
shift $(($# < 2 ? $# : 2))
rates=("${@:-50M}")
work=$(mktemp -d "${TMPDIR:-/tmp}/limit-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
head -c $((mib * 1024 * 1024)) /dev/urandom >input.bin
bytesOf() {
  local number=${1%[KkMmGg]} unit=${1: -1}
  case $unit in K | k) echo $((number << 10)) ;; M | m) echo $((number << 20)) ;;
  G | g) echo $((number << 30)) ;; *) echo "$1" ;; esac
}
printf '%-8s %-7s %9s %10s %9s %12s\n' what limit seconds "MiB/s" "off by" "peak RSS MiB"
run() {
  local what=$1 rate=$2
  shift 2
  local limit=()
  [[ $rate == - ]] || limit=(--limit-rate "$rate")
  /usr/bin/time -f '%e %M' -o run.time "$@" "${limit[@]}"
  local seconds rss average off=-
  read -r seconds rss <run.time
  average=$(echo "$mib / $seconds" | bc -l)
  if [[ $rate != - ]]; then
    off=$(printf '%+.1f%%' "$(echo "($average * 1048576 / $(bytesOf "$rate")- 1) * 100" | bc -l)")
  fi
  printf '%-8s %-7s %9s %10.1f %9s %12.1f\n' "$what" "$rate" "$seconds" "$average" "$off" \
    "$(echo "$rss / 1024" | bc -l)"
}
for rate in - "${rates[@]}"; do
  rm -rf store restored.bin
  run backup "$rate" "$agent" --store store --test-skip-pauses -q backup input.bin --streams 4 \
    --manifest m.json
  run restore "$rate" "$agent" --store store -q restore m.json --output restored.bin
  cmp input.bin restored.bin || { echo "the restore differs" >&2; exit 1; }
  rm -f m.json
done
