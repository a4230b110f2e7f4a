#!/usr/bin/env bash
# End-to-end runs of stream inputs: `backup --from-command CMD --name NAME`
# and `backup - --name NAME` (striped over the streams), and `restore
# --output -`. Usage: stream_e2e.sh AGENT CASE
set -euo pipefail

agent=$1
case_name=$2
# shellcheck source=lib.sh
source "$(dirname "$0")/lib.sh" stream-e2e

unit=$((1024 * 1024)) # the agent's stripe unit
run() { "$agent" --store store --test-skip-pauses "$@"; }

# The run's stderr ($1) is exactly one line: the error $2, then where the log
# is, when there is one.
only_error() {
  local lines
  lines=$(wc -l <"$1")
  [[ $lines == 1 ]] || { cat "$1" >&2; fail "stderr has $lines lines, not one"; }
  local line
  line=$(cat "$1")
  [[ $line == "pipeline-agent: error: $2" || $line == "pipeline-agent: error: $2 (log: "*")" ]] ||
    { cat "$1" >&2; fail "the error line is not: $2"; }
}

# The manifest $1 holds the stream input $2 of $3 bytes, recorded as format 3
# says: its kind, the stripe unit, one digest per stripe (each the stripe's),
# shares that hold stripe k-1, k-1+N, ... of the input $4 one after another.
check_stream_entry() {
  python3 - "$@" <<'PY'
import hashlib, json, sys
path, name, size, source = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
m = json.load(open(path))
assert m["version"] == 3, m["version"]
f = [f for f in m["files"] if f["name"] == name][0]
data = open(source, "rb").read()
assert f["kind"] == "stream" and f["size"] == size == len(data), (f["kind"], f["size"])
assert f["mode"] == 0o600, f["mode"]
unit = f["stripeUnit"]
stripes = [data[i:i + unit] for i in range(0, len(data), unit)]
assert f["stripes"] == [hashlib.sha256(s).hexdigest() for s in stripes], "stripe digests"
assert f["sha256"] == hashlib.sha256(data).hexdigest(), "whole digest"
n = len(f["streams"])
for k, share in enumerate(f["streams"], 1):
    mine = b"".join(stripes[k - 1::n])
    assert share["size"] == len(mine), (k, share["size"], len(mine))
    assert share["sha256"] == hashlib.sha256(mine).hexdigest(), k
    assert share["sourceOffset"] == min((k - 1) * unit, size), (k, share["sourceOffset"])
for other in m["files"]:
    if other["name"] != name:
        assert other["kind"] == "file", other
PY
}

# True once no process whose command line holds $1 runs (within 3 s); one
# that is dead but not yet reaped by its new parent counts as gone.
gone() {
  local pid
  for _ in $(seq 30); do
    pid=$(pgrep -f "$1" | head -1) || return 0
    [[ $(ps -o stat= -p "$pid" 2>/dev/null) == Z* ]] && return 0
    sleep 0.1
  done
  return 1
}

case $case_name in
sizes)
  # Empty, one byte, a whole number of stripes that the streams share
  # unevenly (2 units over 3 streams) and evenly (3), one byte more, and a
  # large stream: each backed up from a producer and from standard input,
  # restored to standard output and into a directory.
  for size in 0 1 $((2 * unit)) $((3 * unit)) $((3 * unit + 1)) $((40 * unit + 5))
  do
    head -c "$size" /dev/urandom >in.$size
    run backup --from-command "cat in.$size" --name s.$size --manifest cmd.$size.json \
      2>backup.log || { cat backup.log >&2; fail "backup of $size bytes failed"; }
    check_stream_entry cmd.$size.json s.$size "$size" in.$size
    run backup - --name p.$size --manifest pipe.$size.json <in.$size 2>pipe.log ||
      { cat pipe.log >&2; fail "backup of $size bytes from standard input failed"; }
    check_stream_entry pipe.$size.json p.$size "$size" in.$size
    run restore cmd.$size.json --file s.$size --output - >out.$size 2>restore.log ||
      { cat restore.log >&2; fail "restore of $size bytes failed"; }
    cmp in.$size out.$size || fail "$size bytes: restored other bytes"
    grep -qF "restored s.$size to standard output: $size bytes, every stripe verified" restore.log ||
      fail "$size bytes: the restore did not say what it wrote"
    # A set of one may go to standard output without --file.
    run restore pipe.$size.json --output - >pipe.out.$size 2>/dev/null
    cmp in.$size pipe.out.$size || fail "$size bytes from standard input: restored other bytes"
    mkdir dir.$size
    run restore cmd.$size.json --output dir.$size 2>/dev/null
    cmp in.$size dir.$size/s.$size || fail "$size bytes: the file in the directory differs"
    [[ $(stat -c %a dir.$size/s.$size) == 600 ]] || fail "a restored stream input is not 0600"
  done
  # Memory stays at streams x a fixed buffer: a stream of 64 MiB over 4
  # streams neither stages it in memory on backup nor on restore. (Not under
  # AddressSanitizer, whose quarantine keeps what was freed.)
  if [[ -x /usr/bin/time ]] && ! grep -aq __asan_init "$agent"; then
    /usr/bin/time -f %M -o backup.rss "$agent" --store store --test-skip-pauses backup \
      --from-command 'head -c 67108864 /dev/zero' --name zero --streams 4 --manifest zero.json \
      2>/dev/null
    /usr/bin/time -f %M -o restore.rss "$agent" --store store restore zero.json --output - \
      2>/dev/null | cmp - <(head -c 67108864 /dev/zero) || fail "64 MiB of zeros restored wrong"
    for rss in backup.rss restore.rss; do
      (($(tail -1 $rss) < 48 * 1024)) || fail "$rss: peak RSS $(tail -1 $rss) KiB for a 64 MiB stream"
    done
  fi
  ;;

producer_failures)
  # A producer that fails after writing, one killed by a signal: exit 1, one
  # line naming the status or signal and its last stderr line; no manifest;
  # every archive file the job made is invalidated. One that writes nothing
  # and exits 0 is an empty stream.
  set +e
  "$agent" --store store --test-skip-pauses -q backup --streams 2 --manifest failed.json \
    --from-command "head -c $((3 * unit)) /dev/urandom; echo 'dump: first' >&2; \
      printf 'dump: error: connection lost' >&2; exit 3" --name dump.sql 2>err.txt
  status=$?
  set -e
  [[ $status == 1 ]] || fail "a failed producer: exit $status"
  only_error err.txt "the producer exited with status 3; its last line on stderr: dump: error: connection lost"
  [[ ! -e failed.json ]] || fail "a failed producer left a manifest"
  "$agent" --store store list >list.txt 2>/dev/null
  # The producer may fail before the second stream was set up: every file
  # the job made, one or two, is invalidated.
  failed_files=$(grep -c ' failed ' list.txt || true)
  [[ $failed_files -ge 1 && $(grep -c ' invalidated ' list.txt) == "$failed_files" ]] ||
    { cat list.txt >&2; fail "the failed job's archive files are not all invalidated"; }

  set +e
  "$agent" --store store --test-skip-pauses -q backup --manifest killed.json \
    --from-command "head -c 100000 /dev/urandom; kill -KILL \$\$" --name dump.sql 2>err.txt
  status=$?
  set -e
  [[ $status == 1 ]] || fail "a killed producer: exit $status"
  only_error err.txt "the producer was killed by signal 9 (Killed); it wrote nothing on stderr"
  [[ ! -e killed.json ]] || fail "a killed producer left a manifest"

  # A job that fails on its own (a write) while the producer still writes
  # ends it, rather than waiting for an end that never comes.
  endless="yes stream-e2e-$$-$RANDOM"
  set +e
  timeout 60 "$agent" --store store --test-skip-pauses -q backup --fail-stream 2 \
    --manifest endless.json --from-command "$endless" --name endless 2>err.txt
  status=$?
  set -e
  [[ $status == 1 ]] || fail "a failed write under an endless producer: exit $status"
  only_error err.txt "writing stream 2 failed: simulated write failure"
  gone "$endless" || fail "an endless producer outlived its failed job"

  run backup --from-command 'exit 0' --name nothing --manifest nothing.json 2>/dev/null
  run restore nothing.json --output - >nothing.out 2>/dev/null
  [[ ! -s nothing.out ]] || fail "an empty stream restored bytes"

  # A producer that never writes and never exits: SIGINT stops the job as
  # for any backup (130, files invalidated) and the producer with it.
  marker="sleep 1000.$$$RANDOM"
  "$agent" --store store --test-skip-pauses backup --manifest hung.json \
    --from-command "$marker" --name hung 2>hung.log &
  pid=$!
  # The producer itself, not the agent whose command line names it too.
  for _ in $(seq 100); do
    pgrep -f "^$marker" >/dev/null && break
    sleep 0.1
  done
  pgrep -f "^$marker" >/dev/null || fail "the producer did not start"
  kill -INT $pid
  status=0
  wait $pid || status=$?
  [[ $status == 130 ]] || { cat hung.log >&2; fail "SIGINT during a silent producer: exit $status"; }
  gone "$marker" || fail "the producer outlived the stopped job"
  [[ ! -e hung.json ]] || fail "a stopped job left a manifest"
  ;;

consumer)
  # A consumer that goes away early ends the restore with exit 1 and one
  # line, not SIGPIPE; the output is refused for what cannot take it.
  head -c $((5 * unit)) /dev/urandom >in.bin
  run backup - --name s --manifest m.json <in.bin 2>/dev/null
  set +e
  "$agent" --store store -q restore m.json --output - 2>err.txt | head -c 10 >head.out
  status=${PIPESTATUS[0]}
  set -e
  [[ $status == 1 ]] || fail "a consumer that closed early: exit $status"
  grep -qE '^pipeline-agent: error: the output.s reader went away after [0-9]+ bytes \(broken pipe\)' err.txt ||
    { cat err.txt >&2; fail "no broken-pipe line"; }
  [[ $(wc -l <err.txt) == 1 ]] || { cat err.txt >&2; fail "more than one line"; }
  cmp head.out <(head -c 10 in.bin) || fail "the consumer got other bytes"

  head -c 1000 /dev/urandom >a.db
  run backup a.db - --name s --manifest set.json <in.bin 2>/dev/null
  expect_line 2 "--output - writes one input; name it with --file" --store store restore set.json --output -
  expect_line 2 "a.db is a file, not a stream input; --output - takes a stream input only, restore a file to a path" \
    --store store restore set.json --file a.db --output -
  expect_line 2 "--json prints on standard output, which --output - takes for the data" \
    --store store --json restore set.json --file s --output -
  ;;

corrupt_stripe)
  # A damaged stripe stops the output before it: everything before it is
  # written (verified), nothing from it on; exit 1, one line. A restore into
  # a directory leaves nothing.
  head -c $((20 * unit + 77)) /dev/urandom >in.bin
  run backup --from-command 'cat in.bin' --name s --streams 4 --manifest m.json 2>/dev/null
  # Stripe 7 (1-based) is stream 3's second: 1 MiB into its archive file.
  afile=$(python3 -c 'import json,sys; print(json.load(open("m.json"))["archiveFiles"][2]["afileId"])')
  python3 - "store/files/$afile.arch" $((unit + 4321)) <<'PY'
import sys
with open(sys.argv[1], "r+b") as f:
    f.seek(int(sys.argv[2])); b = f.read(1); f.seek(int(sys.argv[2])); f.write(bytes([b[0] ^ 0x40]))
PY
  set +e
  "$agent" --store store -q restore m.json --output - >out.bin 2>err.txt
  status=$?
  set -e
  [[ $status == 1 ]] || fail "a damaged stripe: exit $status"
  only_error err.txt "stripe 7 of s (stream 3, archive file $(python3 -c 'import json; a=json.load(open("m.json"))["archiveFiles"][2]; print("%d-%d-%d" % (a["trellanId"], a["groupNumber"], a["afileId"]))')) does not match the manifest's checksum; it is damaged"
  [[ $(stat -c %s out.bin) == $((6 * unit)) ]] || fail "the output holds $(stat -c %s out.bin) bytes, not the 6 stripes before the damage"
  cmp out.bin <(head -c $((6 * unit)) in.bin) || fail "the stripes before the damage differ"
  mkdir dir
  expect 1 "stripe 7 of s" --store store restore m.json --output dir
  [[ -z $(ls -A dir) ]] || fail "a failed restore left $(ls -A dir)"
  ;;

mixed_set)
  # A file and a stream in one set: each stream holds its part of the file,
  # then its stripes of the stream; the whole set restores into a
  # directory, each on its own by --file; the file's manifest entry is as a
  # format 2 file's.
  head -c $((2 * unit + 3)) /dev/urandom >a.db
  head -c $((4 * unit + 9)) /dev/urandom >dump.src
  run backup a.db --from-command 'cat dump.src' --name dump.sql --manifest m.json 2>/dev/null
  check_stream_entry m.json dump.sql $((4 * unit + 9)) dump.src
  python3 - m.json <<'PY'
import json, sys
m = json.load(open(sys.argv[1]))
a, d = m["files"]
assert a["name"] == "a.db" and a["kind"] == "file" and "stripes" not in a, a
for k, (pa, pd) in enumerate(zip(a["streams"], d["streams"]), 1):
    assert pd["seekOffset"] == pa["seekOffset"] + pa["size"], ("stream", k)
PY
  mkdir all
  run restore m.json --output all 2>/dev/null
  cmp a.db all/a.db || fail "the file of a mixed set differs"
  cmp dump.src all/dump.sql || fail "the stream of a mixed set differs"
  run restore m.json --file dump.sql --output - 2>/dev/null | cmp - dump.src ||
    fail "the stream of a mixed set, alone, differs"
  run restore m.json --file a.db --output a.out 2>/dev/null
  cmp a.db a.out || fail "the file of a mixed set, alone, differs"
  # A set of files alone is still written in format 2.
  run backup a.db --manifest files.json 2>/dev/null
  python3 -c 'import json,sys; m=json.load(open("files.json")); assert m["version"] == 2 and "kind" not in m["files"][0], m'
  ;;

bad_input)
  # Refused before any work (exit 2, one line, no job in the store).
  head -c 10 /dev/urandom >a.db
  expect_line 2 "--from-command needs --name, the stream's name in the set" \
    --store store backup --from-command 'echo x' --manifest m.json
  expect_line 2 "- needs --name, the stream's name in the set" \
    --store store backup - --manifest m.json </dev/null
  expect_line 2 "give either - or --from-command, not both: a set holds one stream input" \
    --store store backup - --from-command 'echo x' --name x --manifest m.json </dev/null
  expect_line 2 "two inputs are named a.db; the files of a set need distinct names" \
    --store store backup a.db --from-command 'echo x' --name a.db --manifest m.json
  expect_line 2 "--name a/b is not a file name" \
    --store store backup --from-command 'echo x' --name a/b --manifest m.json
  expect_line 2 "--name names a stream input; give --from-command or - as well" \
    --store store backup a.db --name x --manifest m.json
  expect_line 2 "- is named twice" --store store backup - - --name x --manifest m.json </dev/null
  [[ ! -e store ]] || fail "a refused backup made the store"
  # A manifest of format 3 whose stripes do not fit its size is refused.
  printf 'abc' >s.src
  run backup - --name s --manifest m3.json <s.src 2>/dev/null
  python3 -c 'import json; m=json.load(open("m3.json")); m["files"][0]["stripes"].append("0"*64); json.dump(m, open("bad3.json","w"))'
  expect 2 "has 2 stripes; its size needs 1" --store store restore bad3.json --output -
  python3 -c 'import json; m=json.load(open("m3.json")); del m["files"][0]["kind"]; json.dump(m, open("nokind.json","w"))'
  expect 2 '"kind" is missing or not file, stream, directory or symlink' --store store restore nokind.json --output -
  ;;

*)
  fail "no such case: $case_name"
  ;;
esac
echo "PASS: $case_name"
