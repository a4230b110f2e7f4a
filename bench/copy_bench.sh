#!/usr/bin/env bash
# copy of one job from a store in a directory into the object store, beside
# `aws s3 cp --recursive` of the same archive files to the same server, in
# pairs one after the other: wall time, throughput, the agent's peak RSS,
# and the ratio of the copy's throughput to aws's. The job is a file over 4
# streams, stored as read; the copy skips the mandated pauses.
# Usage: bench/copy_bench.sh AGENT [MIB [PAIRS]]   (default 1024 MiB, 3 pairs)
# Needs the object store in the environment (eval "$(.ci/objectstore start
# DIR)"), PIPELINE_CATALOG naming a PostgreSQL catalog, and aws.
set -euo pipefail
agent=$(realpath "$1")
mib=${2:-1024}
pairs=${3:-3}
: "${PIPELINESETUP_TEST_S3:?name the bucket (eval \"\$(.ci/objectstore start DIR)\")}"
: "${PIPELINE_CATALOG:?name a PostgreSQL catalog}"
command -v aws >/dev/null || { echo "copy_bench.sh needs aws" >&2; exit 2; }
work=$(mktemp -d "${TMPDIR:-/tmp}/copy-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
export HOME=$work
head -c $((mib * 1024 * 1024)) /dev/urandom >input.bin
PIPELINE_CATALOG= "$agent" --store local --test-skip-pauses -q backup input.bin --streams 4 --manifest m.json
job=$(python3 -c 'import json; print(json.load(open("m.json"))["jobId"])')
rm input.bin
printf '%-6s %-5s %9s %9s %12s %8s\n' what pair seconds "MiB/s" "peak RSS MiB" "vs aws"
for pair in $(seq "$pairs"); do
  /usr/bin/time -f '%e %M' -o copy.time "$agent" --store local --test-skip-pauses -q copy "$job" \
    --to "$PIPELINESETUP_TEST_S3/copy-bench-$$-$pair"
  read -r copied rss <copy.time
  start=$(date +%s.%N)
  aws s3 cp --quiet --recursive local/files "$PIPELINESETUP_TEST_S3/copy-bench-$$-aws-$pair/files"
  aws=$(echo "$(date +%s.%N) - $start" | bc -l)
  printf '%-6s %-5s %9.2f %9.1f %12.1f %8.2f\n' copy "$pair" "$copied" "$(echo "$mib / $copied" | bc -l)" \
    "$(echo "$rss / 1024" | bc -l)" "$(echo "$aws / $copied" | bc -l)"
  printf '%-6s %-5s %9.2f %9.1f\n' aws "$pair" "$aws" "$(echo "$mib / $aws" | bc -l)"
done
"$agent" --store "$PIPELINESETUP_TEST_S3/copy-bench-$$-1" -q check >/dev/null ||
  { echo "the copied store does not check" >&2; exit 1; }
