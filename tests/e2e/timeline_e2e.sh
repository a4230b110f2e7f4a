#!/usr/bin/env bash
# The streams' timeline end to end: --trace on a backup and a restore, the
# traces read back, the picture `timeline` draws from them, and (case
# browser) that picture rendered by headless Chromium; (case progress) the
# progress line on a terminal and elsewhere.
# Usage: timeline_e2e.sh AGENT trace|browser|progress. Exits 77 (skipped)
# when the browser case finds no chromium.
set -euo pipefail

agent=$1
case_name=$2
# shellcheck source=lib.sh
source "$(dirname "$0")/lib.sh" timeline-e2e

streams=3
head -c $((2 * 1024 * 1024 + 5)) /dev/urandom >a.bin
head -c 300001 /dev/urandom >b.bin
"$agent" --store store --test-skip-pauses backup a.bin b.bin --streams $streams \
  --manifest m.json --trace backup.json 2>backup.err
grep -qF "pipeline-agent: trace of the job's streams: backup.json" backup.err ||
  { cat backup.err >&2; fail "the backup did not say where its trace is"; }
mkdir out
"$agent" --store store restore m.json --output out --trace restore.json 2>restore.err
cmp a.bin out/a.bin && cmp b.bin out/b.bin || fail "restored bytes differ"

# Every stream has its phases in order, each once where it must be, its
# times increasing, and the data phases together move every byte.
python3 - backup.json restore.json $streams $((2 * 1024 * 1024 + 5 + 300001)) <<'PY'
import json, re, sys
backup, restore, streams, total = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])

def load(path, kind, pattern, moving):
    trace = json.load(open(path))
    assert trace["displayTimeUnit"] == "ms", path
    events = trace["traceEvents"]
    names = {e["tid"]: e["args"]["name"] for e in events
             if e["ph"] == "M" and e["name"] == "thread_name"}
    assert names == {k: f"stream {k}" for k in range(1, streams + 1)}, (path, names)
    process = [e for e in events if e["ph"] == "M" and e["name"] == "process_name"]
    assert len(process) == 1 and process[0]["args"]["name"].startswith(kind + " job "), process
    spans = [e for e in events if e["ph"] == "X"]
    moved = 0
    for k in range(1, streams + 1):
        mine = sorted((e for e in spans if e["tid"] == k), key=lambda e: e["ts"])
        order = " ".join(e["name"].replace(" ", "_") for e in mine)
        assert re.fullmatch(pattern, order), f"{path}: stream {k}: {order}"
        end = 0
        for e in mine:
            assert e["cat"] == kind and e["pid"] == 1, e
            # ts and dur are microseconds to the nanosecond: allow that much.
            assert e["dur"] >= 0 and e["ts"] >= end - 0.001, f"{path}: stream {k}: {e} starts before {end}"
            end = e["ts"] + e["dur"]
            if e["name"] == moving:
                moved += e["args"]["bytes"]
    assert moved == total, f"{path}: the {moving} phases moved {moved} bytes, not {total}"

load(backup, "backup", r"set-up pause data close", "data")
# Two files: the first request opens and seeks every stream, the second only
# seeks; the close waits for the media side once.
load(restore, "restore", r"open seek read seek read closing_wait", "read")
PY

"$agent" timeline backup.json --svg backup.svg 2>timeline.err
"$agent" timeline restore.json --svg restore.svg 2>>timeline.err
[[ ! -s timeline.err ]] || { cat timeline.err >&2; fail "timeline printed something"; }
python3 - backup.svg $streams <<'PY'
import sys, xml.etree.ElementTree as ET
root = ET.parse(sys.argv[1]).getroot()  # well-formed, or this raises
ns = "{http://www.w3.org/2000/svg}"
assert root.tag == ns + "svg", root.tag
rows = [g for g in root.iter(ns + "g") if g.get("class") == "stream-row"]
assert len(rows) == int(sys.argv[2]), len(rows)
for row in rows:
    phases = [r.get("data-phase") for r in row.iter(ns + "rect")]
    assert phases == ["set-up", "pause", "data", "close"], phases
PY

case $case_name in
trace)
  # Bad paths and traces: one line, exit 2, before any work.
  rm -rf store2
  expect_line 2 "trace backup.json already exists; not overwriting it" \
    --store store2 backup a.bin --manifest m2.json --trace backup.json
  expect_line 2 "the directory nowhere for trace nowhere/t.json does not exist" \
    --store store2 backup a.bin --manifest m2.json --trace nowhere/t.json
  expect_line 2 "trace out is a directory" --store store2 backup a.bin --manifest m2.json --trace out
  expect_line 2 "the trace and the manifest cannot both be m2.json" \
    --store store2 backup a.bin --manifest m2.json --trace m2.json
  expect_line 2 "the trace and the manifest cannot both be ./m2.json" \
    --store store2 backup a.bin --manifest m2.json --trace ./m2.json
  [[ ! -e store2 && ! -e m2.json ]] || fail "a refused backup made something"
  mkdir out2
  expect_line 2 "trace restore.json already exists; not overwriting it" \
    --store store restore m.json --output out2 --trace restore.json
  expect_line 2 "the trace and an output cannot both be out2/../out2/a.bin" \
    --store store restore m.json --output out2 --trace out2/../out2/a.bin
  [[ -z $(ls out2) ]] || fail "a refused restore wrote something"
  echo '{"traceEvents": [' >broken.json
  expect_line 2 "trace broken.json is not JSON: [json.exception.parse_error.101] parse error at line 2, column 1: syntax error while parsing value - unexpected end of input; expected '[', '{', or a literal" \
    timeline broken.json --svg x.svg
  echo '{"events": []}' >other.json
  expect_line 2 "trace other.json is not a trace of the Chrome trace-event format: it has no traceEvents list" \
    timeline other.json --svg x.svg
  expect_line 2 "cannot read trace missing.json: No such file or directory" \
    timeline missing.json --svg x.svg
  expect_line 2 "SVG backup.svg already exists; not overwriting it" \
    timeline backup.json --svg backup.svg
  [[ ! -e x.svg ]] || fail "a refused timeline wrote its picture"
  # -q: no progress, no trace line; the trace is written all the same.
  "$agent" --store store -q --test-skip-pauses backup b.bin --manifest q.json --trace q.trace.json \
    2>quiet.err
  [[ ! -s quiet.err ]] || { cat quiet.err >&2; fail "-q printed something"; }
  [[ -s q.trace.json ]] || fail "-q wrote no trace"
  # A failed backup's trace is written too, and shows where it stopped:
  # stream 2's data phase ends at its failure, before the invalidating close
  # (of stream 1 first).
  got=0
  "$agent" --store store -q --test-skip-pauses backup a.bin --manifest f.json --fail-stream 2 \
    --trace failed.json 2>err.txt || got=$?
  [[ $got == 1 && ! -e f.json ]] || { cat err.txt >&2; fail "the failed backup exited $got"; }
  python3 - failed.json <<'PY'
import json, sys
spans = [e for e in json.load(open(sys.argv[1]))["traceEvents"] if e["ph"] == "X"]
by = {}
for e in sorted(spans, key=lambda e: e["ts"]):
    by.setdefault(e["tid"], []).append(e)
# Stream 3 is set up too when the failure is noticed only after its set-up.
assert sorted(by) in ([1, 2], [1, 2, 3]), sorted(by)
for k in by:
    names = [e["name"] for e in by[k]]
    assert names in (["set-up", "pause", "data", "close"], ["set-up", "pause", "close"]), names
    assert k == 3 or "data" in names, names
data, first_close = by[2][2], by[1][3]
assert data["args"]["bytes"] == 0, data
assert data["ts"] + data["dur"] <= first_close["ts"] + 0.001, (data, first_close)
PY
  ;;
browser)
  if ! command -v chromium >/dev/null; then
    echo "SKIP: chromium is not installed (Debian package chromium); the picture is not checked in a browser"
    exit 77
  fi
  # The picture inline in a page whose script counts the rows and the bars
  # the browser laid out with a width, and writes the count into the page.
  {
    echo '<!DOCTYPE html><html><head><meta charset="utf-8"><title>timeline</title></head><body>'
    sed '1{/^<?xml/d}' backup.svg
    cat <<'HTML'
<pre id="result">not run</pre>
<script>
  const rows = document.querySelectorAll("svg .stream-row");
  let shown = 0, bars = 0, barsShown = 0;
  for (const row of rows) {
    const box = row.getBBox();
    if (box.width > 0 && box.height > 0) shown++;
    for (const bar of row.querySelectorAll("rect.phase")) {
      bars++;
      if (bar.getBBox().width > 0) barsShown++;
    }
  }
  document.getElementById("result").textContent =
    "rows=" + rows.length + " shown=" + shown + " bars=" + bars + " barsShown=" + barsShown;
</script></body></html>
HTML
  } >page.html
  timeout 120 chromium --headless --no-sandbox --disable-gpu --disable-dev-shm-usage \
    --user-data-dir="$work/profile" --dump-dom "file://$work/page.html" >dom.html 2>chromium.err ||
    { tail -20 chromium.err >&2; fail "chromium failed"; }
  result=$(sed -n 's/.*<pre id="result">\([^<]*\)<\/pre>.*/\1/p' dom.html)
  bars=$((streams * 4))
  [[ $result == "rows=$streams shown=$streams bars=$bars barsShown=$bars" ]] ||
    { tail -20 chromium.err >&2; fail "the browser rendered: ${result:-nothing}"; }
  echo "chromium rendered: $result"
  ;;
progress)
  # Not a terminal: a plain line every 5 s, each starting with the agreed
  # prefix, and nothing redrawn. The media side takes 1.5 s a chunk, so the
  # restore takes some 6 s.
  mkdir slow
  "$agent" --store store --test-media-chunk-delay 1500 restore m.json --output slow 2>slow.err
  grep -q '^pipeline-agent: progress: restore: .* of 2.3 MiB ([0-9]*%)' slow.err ||
    { cat slow.err >&2; fail "a slow restore printed no progress line"; }
  if grep -q $'\r' slow.err || grep -qv '^pipeline-agent: ' slow.err; then
    cat -A slow.err >&2; fail "the plain progress is not plain lines"
  fi
  # A terminal: one line redrawn in place, gone before the job's last line,
  # and no plain progress lines.
  script -qfec "$agent --store store --test-skip-pauses backup b.bin --manifest tty.json" tty.log \
    >/dev/null
  script -qfec "$agent --store store -q --test-skip-pauses backup b.bin --manifest q2.json" \
    quiet.log >/dev/null
  python3 - tty.log quiet.log <<'PY'
import sys
tty = open(sys.argv[1], "rb").read().decode()
live = "\rpipeline-agent: backup: "
assert live in tty and "\x1b[K" in tty, repr(tty)
assert "pipeline-agent: progress: " not in tty, repr(tty)
# Cleared after its last drawing, before the job's last line.
last = tty.rindex(live)
clear = tty.index("\r\x1b[K", last)
assert clear < tty.index("pipeline-agent: backup complete"), repr(tty)
quiet = open(sys.argv[2], "rb").read().decode()
assert "\r" not in quiet.replace("\r\n", "\n"), repr(quiet)
PY
  ;;
*) fail "no case $case_name" ;;
esac
