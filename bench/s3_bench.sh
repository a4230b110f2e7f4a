#!/usr/bin/env bash
# Backup and restore of one file through a store in object storage, over 4
# and 16 streams: wall time, throughput and the agent's peak RSS, every
# restore compared byte for byte. With `aws` installed, `aws s3 cp` of the
# same file for comparison.
# Usage: bench/s3_bench.sh AGENT [MIB]   (default 1024 MiB)
# Needs the object store in the environment (eval "$(.ci/objectstore start
# DIR)") and PIPELINE_CATALOG naming a PostgreSQL catalog.
set -euo pipefail
agent=$(realpath "$1")
mib=${2:-1024}
: "${PIPELINESETUP_TEST_S3:?name the bucket (eval \"\$(.ci/objectstore start DIR)\")}"
: "${PIPELINE_CATALOG:?name a PostgreSQL catalog}"
work=$(mktemp -d "${TMPDIR:-/tmp}/s3-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
export HOME=$work
head -c $((mib * 1024 * 1024)) /dev/urandom >input.bin

printf '%-8s %-8s %9s %11s %12s\n' what streams seconds MiB/s "peak RSS MiB"
for streams in 4 16; do
  store="$PIPELINESETUP_TEST_S3/bench-$$-$streams"
  /usr/bin/time -f '%e %M' -o backup.time \
    "$agent" --store "$store" --test-skip-pauses -q backup input.bin --streams "$streams" --manifest "m$streams.json"
  read -r seconds rss <backup.time
  printf '%-8s %-8s %9s %11.1f %12.1f\n' backup "$streams" "$seconds" \
    "$(echo "$mib / $seconds" | bc -l)" "$(echo "$rss / 1024" | bc -l)"
  /usr/bin/time -f '%e %M' -o restore.time \
    "$agent" --store "$store" -q restore "m$streams.json" --output restored.bin
  read -r seconds rss <restore.time
  cmp input.bin restored.bin || { echo "restored bytes differ" >&2; exit 1; }
  rm -f restored.bin
  printf '%-8s %-8s %9s %11.1f %12.1f\n' restore "$streams" "$seconds" \
    "$(echo "$mib / $seconds" | bc -l)" "$(echo "$rss / 1024" | bc -l)"
done
if command -v aws >/dev/null; then
  start=$(date +%s.%N)
  aws s3 cp --quiet input.bin "$PIPELINESETUP_TEST_S3/bench-$$-awscli/input.bin"
  seconds=$(echo "$(date +%s.%N) - $start" | bc -l)
  printf '%-8s %-8s %9.2f %11.1f\n' "aws cp" - "$seconds" "$(echo "$mib / $seconds" | bc -l)"
else
  echo "(aws is not installed: no comparison with aws s3 cp)"
fi
