#!/usr/bin/env bash
# Backup and restore of one file through a store in object storage, over 4
# and 16 streams: wall time, throughput and the agent's peak RSS, every
# restore compared byte for byte; a tree of 32 files, each placed whole on
# a stream, backed up over 4; the 1 GiB backup stored as read beside the
# same encrypted, 3 pairs; one file of a set restored by seek, and
# the bytes its streams fetched. With `aws` installed, `aws s3 cp` of the
# same file up and down for comparison.
# Usage: bench/s3_bench.sh AGENT [MIB]   (default 1024 MiB)
# Needs the object store in the environment (eval "$(.ci/objectstore start
# DIR)") and PIPELINE_CATALOG naming a PostgreSQL catalog.
set -euo pipefail
agent=$(realpath "$1")
proxy_script=$(cd "$(dirname "$0")/.." && pwd)/tests/e2e/s3_fault_proxy.py
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
# What encryption costs: the same backup over 4 streams stored as read and
# encrypted (XChaCha20-Poly1305 frames), in 3 pairs one after the other.
printf '%040d' 7 >bench.key && chmod 600 bench.key
for pair in 1 2 3; do
  for kind in plain encrypted; do
    opts=()
    [[ $kind == encrypted ]] && opts=(--encrypt --key-file bench.key)
    /usr/bin/time -f '%e %M' -o enc.time \
      "$agent" --store "$PIPELINESETUP_TEST_S3/bench-$$-enc-$kind" --test-skip-pauses -q backup input.bin \
      --streams 4 --manifest "enc-$kind-$pair.json" "${opts[@]}"
    read -r seconds rss <enc.time
    printf '%-8s %-8s %9s %11.1f %12.1f\n' "${kind:0:7}" "4 #$pair" "$seconds" \
      "$(echo "$mib / $seconds" | bc -l)" "$(echo "$rss / 1024" | bc -l)"
  done
done
"$agent" --store "$PIPELINESETUP_TEST_S3/bench-$$-enc-encrypted" -q restore enc-encrypted-1.json \
  --output restored.bin --key-file bench.key
cmp input.bin restored.bin || { echo "the encrypted job restored other bytes" >&2; exit 1; }
rm -f restored.bin
# A tree of 32 files of a 32nd each, every one under the split size, so
# placed whole on the streams: its backup over 4 streams (beside `aws s3 cp
# --recursive` of the same tree, below).
mkdir tree
for i in $(seq 32); do head -c $((mib * 1024 * 1024 / 32 - i * 4099)) input.bin >"tree/f$i.bin"; done
/usr/bin/time -f '%e %M' -o tree.time \
  "$agent" --store "$PIPELINESETUP_TEST_S3/bench-$$-tree" --test-skip-pauses -q backup tree \
  --streams 4 --manifest tree.json
read -r seconds rss <tree.time
printf '%-8s %-8s %9s %11.1f %12.1f\n' "tree up" 4 "$seconds" "$(echo "$mib / $seconds" | bc -l)" \
  "$(echo "$rss / 1024" | bc -l)"
# One file of a set restored by seek, through the pass-through proxy that
# logs each answer's bytes: what its streams fetched against its size.
mkdir set
for i in 1 2 3 4 5 6 7 8; do head -c $((mib * 1024 * 1024 / 8 + i * 4099)) input.bin >"set/f$i.bin"; done
store="$PIPELINESETUP_TEST_S3/bench-$$-set"
"$agent" --store "$store" --test-skip-pauses -q backup set --streams 4 --manifest set.json
python3 "$proxy_script" "$AWS_ENDPOINT_URL" port 2>proxy.log &
proxy=$!
for _ in $(seq 400); do [[ -s port ]] && break; sleep 0.05; done
mkdir one
"$agent" --store "$store?endpoint=http://127.0.0.1:$(cat port)" -q restore set.json --file set/f5.bin --output one
kill "$proxy"
cmp set/f5.bin one/set/f5.bin || { echo "the file restored by seek differs" >&2; exit 1; }
fetched=$(awk '/^GET .*\.arch.* -> forwarded, / {sum += $(NF - 1)} END {print sum + 0}' proxy.log)
size=$(stat -c %s set/f5.bin)
printf 'one file of 8 by seek: %d bytes fetched for a file of %d (%.3fx)\n' "$fetched" "$size" \
  "$(echo "$fetched / $size" | bc -l)"

if command -v aws >/dev/null; then
  start=$(date +%s.%N)
  aws s3 cp --quiet input.bin "$PIPELINESETUP_TEST_S3/bench-$$-awscli/input.bin"
  seconds=$(echo "$(date +%s.%N) - $start" | bc -l)
  printf '%-8s %-8s %9.2f %11.1f\n' "aws up" - "$seconds" "$(echo "$mib / $seconds" | bc -l)"
  start=$(date +%s.%N)
  aws s3 cp --quiet "$PIPELINESETUP_TEST_S3/bench-$$-awscli/input.bin" downloaded.bin
  seconds=$(echo "$(date +%s.%N) - $start" | bc -l)
  cmp input.bin downloaded.bin || { echo "aws s3 cp downloaded other bytes" >&2; exit 1; }
  printf '%-8s %-8s %9.2f %11.1f\n' "aws down" - "$seconds" "$(echo "$mib / $seconds" | bc -l)"
  start=$(date +%s.%N)
  aws s3 cp --quiet --recursive tree "$PIPELINESETUP_TEST_S3/bench-$$-awscli/tree"
  seconds=$(echo "$(date +%s.%N) - $start" | bc -l)
  printf '%-8s %-8s %9.2f %11.1f\n' "aws tree" - "$seconds" "$(echo "$mib / $seconds" | bc -l)"
else
  echo "(aws is not installed: no comparison with aws s3 cp)"
fi
