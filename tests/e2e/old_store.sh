#!/usr/bin/env bash
# Stores made by earlier releases open, each used on a copy (the fixtures
# themselves are never written):
# - tests/fixtures/store-70dbc2a holds a SQLite store that the agent of
#   commit 70dbc2a made, backing up a.txt and b.txt as one set over 2
#   streams (set.json is its manifest); the current agent lists it, checks
#   it and restores it byte for byte;
# - tests/fixtures/store-6601ef8, made by the agent of commit 6601ef8 (the
#   last before manifests tied a file's parts to it), holds a set of a file
#   split over 3 streams and a tree (set.json), a stream input of two
#   stripes over 2 streams (stream.json) and the file compressed with zstd
#   (zstd.json), from the inputs its inputs.py writes; each restores byte
#   for byte, its files' digests taken from the bytes as that release's
#   manifests ask.
# Usage: old_store.sh AGENT
set -euo pipefail

agent=$(realpath "$1")
fixture=$(cd "$(dirname "$0")/../fixtures/store-70dbc2a" && pwd)
# shellcheck source=lib.sh
source "$(dirname "$0")/lib.sh" old-store

fixture_sums() { (cd "$fixture" && find . -type f -print0 | sort -z | xargs -0 sha256sum); }
# Copies the fixture's store here. Git keeps no modes but the executable
# bit: the store gets back those the releases made it with (0755 folders,
# 0644 files).
copy_store() {
  cp -R "$fixture/store" store
  find store -type d -exec chmod 0755 {} +
  find store -type f -exec chmod 0644 {} +
}
before=$(fixture_sums)
copy_store
cp "$fixture/set.json" "$fixture/a.txt" "$fixture/b.txt" .

"$agent" --store store list >list.txt 2>list.err || { cat list.err >&2; fail "list failed"; }
rows=$(awk 'NR > 1' list.txt)
[[ $(wc -l <<<"$rows") == 2 ]] || { cat list.txt >&2; fail "list shows other than 2 archive files"; }
[[ $(awk '$2 == "complete" && $5 == "closed"' <<<"$rows" | wc -l) == 2 ]] ||
  { cat list.txt >&2; fail "list does not show 2 closed files of a complete job"; }
[[ $(awk '{print $4}' <<<"$rows" | sort | tr '\n' ' ') == "1 2 " ]] ||
  { cat list.txt >&2; fail "list does not show streams 1 and 2"; }
grep -q "1 job, 2 archive files in" list.err || { cat list.err >&2; fail "list counted otherwise"; }

# That release kept no copy of a job's manifest in the store: list --files
# says so rather than showing files it cannot know.
"$agent" --store store list --files >files.txt 2>/dev/null || fail "list --files failed"
grep -q '^[0-9]* *(no manifest in the store) *- *- *-$' files.txt ||
  { cat files.txt >&2; fail "list --files does not say the store keeps no manifest"; }

"$agent" --store store check >check.txt 2>check.err ||
  { cat check.txt check.err >&2; fail "check of the old store failed"; }
[[ ! -s check.txt ]] || { cat check.txt >&2; fail "check printed problems"; }
grep -q "is sound: 2 archive files" check.err || { cat check.err >&2; fail "check did not say sound"; }

mkdir out
"$agent" --store store restore set.json --output out 2>restore.err ||
  { cat restore.err >&2; fail "the old job does not restore"; }
cmp a.txt out/a.txt || fail "a.txt restored other bytes"
cmp b.txt out/b.txt || fail "b.txt restored other bytes"

# The copy was used, the fixture left as it was.
[[ $(fixture_sums) == "$before" ]] || fail "the fixture changed"

fixture=$(cd "$(dirname "$0")/../fixtures/store-6601ef8" && pwd)
before=$(fixture_sums)
mkdir last && cd last
copy_store
python3 "$fixture/inputs.py"
! grep -q partsSha256 "$fixture"/*.json || fail "the fixture's manifests are not that release's"
"$agent" --store store check >check.txt 2>check.err ||
  { cat check.txt check.err >&2; fail "check of the last release's store failed"; }
grep -q "is sound: 8 archive files" check.err || { cat check.err >&2; fail "check did not say sound"; }
mkdir set
"$agent" --store store -q restore "$fixture/set.json" --output set || fail "the set does not restore"
for f in a.bin t/x.bin t/d/y.txt; do cmp "$f" "set/$f" || fail "$f restored other bytes"; done
"$agent" --store store -q restore "$fixture/stream.json" --output s.out || fail "the stream does not restore"
cmp s.bin s.out || fail "the stream input restored other bytes"
"$agent" --store store -q restore "$fixture/stream.json" --output - >s.piped ||
  fail "the stream does not restore to standard output"
cmp s.bin s.piped || fail "the stream input piped other bytes"
zstd_job=$(python3 -c 'import json, sys; print(json.load(open(sys.argv[1]))["jobId"])' "$fixture/zstd.json")
"$agent" --store store -q restore --job "$zstd_job" --output z.bin || fail "the zstd job does not restore"
cmp a.bin z.bin || fail "the zstd job restored other bytes"
[[ $(fixture_sums) == "$before" ]] || fail "the fixture changed"
echo "listed, checked and restored the stores of 70dbc2a and 6601ef8"
