#!/usr/bin/env bash
# Golden tests of what pipeline-agent prints: a small backup and restore at
# the default level, with -q and with -v, a failed backup, the list table and
# the --json documents, each compared with tests/e2e/golden/NAME.txt after
# masking what changes from run to run (times, job and Trellan ids, pids,
# durations, rates, the temporary directory).
#
# Usage: golden.sh AGENT [--update]
#   --update  rewrites the expected files from this run instead of comparing.
set -euo pipefail

agent=$(realpath "$1")
[[ -x $agent ]] || { echo "FAIL: no agent at $1" >&2; exit 1; }
update=${2:-}
golden_dir=$(cd "$(dirname "$0")" && pwd)/golden
work=$(mktemp -d "${TMPDIR:-/tmp}/agent-golden.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
real_work=$(pwd -P)

failed=0
store=store

# Inputs with fixed content, so that their checksums are fixed too.
python3 -c '
import sys
with open("db.bin", "wb") as f:
    f.write(bytes((i * 7 + i // 251) % 256 for i in range(300001)))
with open("notes.txt", "w") as f:
    f.write("".join("line %d of the notes\n" % i for i in range(2000)))
'
chmod 640 db.bin
chmod 755 notes.txt

trellan() { sed -n "s/^trellan_id=//p" "$store/store.ini" 2>/dev/null || true; }

# Masks what differs between runs. The live progress lines ("pipeline-agent:
# progress: ...") are dropped: when they appear depends on timing.
mask() {
  local t
  t=$(trellan)
  { grep -v '^pipeline-agent: progress: ' || true; } |
    sed -E \
      -e "s|$real_work|DIR|g" -e "s|$work|DIR|g" \
      ${t:+-e "s/\\b$t\\b/TRELLAN/g"} \
      -e 's/[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}(\.[0-9]+)?Z/TIME/g' \
      -e 's/\[pid [0-9]+ tid [0-9]+\]/[pid P tid T]/g' \
      -e 's/\b[0-9]{15,}\b/JOBID/g' \
      -e 's/"seconds": [0-9.e+-]+/"seconds": S/g' \
      -e 's/\b[0-9]+\.[0-9]+ ?(ms|s)\b/D \1/g' \
      -e 's/\b[0-9]+(\.[0-9]+)? ?([KMGT]i?)?B\/s\b/R B\/s/g'
}

# Runs the agent with the arguments, records its exit status, stdout and
# stderr, masked, and compares them with (or writes them to) golden/NAME.txt.
# squeeze: runs of spaces count as one (for tables whose column widths
# follow masked values).
golden() {
  local name=$1 squeeze=$2
  shift 2
  local status=0
  "$agent" "$@" >out.txt 2>err.txt || status=$?
  {
    echo "\$ pipeline-agent $*"
    echo "exit: $status"
    echo "stdout:"
    mask <out.txt
    echo "stderr:"
    mask <err.txt
  } >got.txt
  if [[ $squeeze == squeeze ]]; then
    tr -s ' ' <got.txt >squeezed.txt && mv squeezed.txt got.txt
  fi
  if [[ $update == --update ]]; then
    cp got.txt "$golden_dir/$name.txt"
    echo "updated: $name"
  elif ! diff -u "$golden_dir/$name.txt" got.txt; then
    echo "FAIL: $name differs from tests/e2e/golden/$name.txt (run with --update to accept)"
    failed=1
  fi
}

mkdir -p "$golden_dir" out-default out-quiet out-verbose out-json
common=(--store "$store" --test-skip-pauses)
golden backup-default keep "${common[@]}" backup db.bin notes.txt --streams 2 \
  --manifest set.json --job-id 4242
golden backup-quiet keep "${common[@]}" -q backup db.bin notes.txt --streams 2 \
  --manifest quiet.json --job-id 4243
golden backup-verbose keep "${common[@]}" -v backup db.bin notes.txt --streams 2 \
  --manifest verbose.json --job-id 4244
golden backup-json keep "${common[@]}" backup db.bin notes.txt --streams 2 \
  --manifest json.json --job-id 4245 --json
golden restore-default keep --store "$store" restore set.json --output out-default
golden restore-quiet keep --store "$store" -q restore set.json --output out-quiet
golden restore-verbose keep --store "$store" -v restore set.json --output out-verbose
golden restore-json keep --store "$store" restore set.json --output out-json --json
golden restore-refused keep --store "$store" restore set.json --output out-json
golden restore-refused-json keep --store "$store" restore set.json --output out-json --json
golden list squeeze --store "$store" list
golden list-json keep --store "$store" list --json
golden check keep --store "$store" check
golden check-json keep --store "$store" check --json
# Last, so that the list above does not show how far the failed jobs' other
# streams got.
golden backup-failed keep "${common[@]}" backup db.bin --streams 2 --manifest failed.json \
  --job-id 4246 --fail-stream 2
golden backup-failed-quiet keep "${common[@]}" -q backup db.bin --streams 2 \
  --manifest failed.json --job-id 4247 --fail-stream 2
golden backup-failed-json keep "${common[@]}" -q backup db.bin --streams 2 \
  --manifest failed.json --job-id 4248 --fail-stream 2 --json

if ((failed)); then exit 1; fi
echo "PASS: golden outputs"
