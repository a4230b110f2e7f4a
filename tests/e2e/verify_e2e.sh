#!/usr/bin/env bash
# End-to-end runs of what a restore verifies and what the store keeps: each
# file's digest taken from the bytes restored, the store's copy of each
# job's manifest, failures said plainly, names refused before any work.
# Usage: verify_e2e.sh AGENT CASE
set -euo pipefail

agent=$1
case_name=$2
# shellcheck source=lib.sh
source "$(dirname "$0")/lib.sh" verify-e2e

run() { "$agent" --store store --test-skip-pauses "$@"; }
make_input() { head -c "$2" /dev/urandom >"$1"; }
job_of() { python3 -c 'import json, sys; print(json.load(open(sys.argv[1]))["jobId"])' "$1"; }
sha() { sha256sum "$1" | cut -d' ' -f1; }

# The run's stderr ($1) is exactly one line: the error $2, then where the log
# is, when there is one.
only_error() {
  local lines
  lines=$(wc -l <"$1")
  [[ $lines == 1 ]] || { cat "$1" >&2; fail "stderr has $lines lines, not one"; }
  [[ $(cat "$1") == "pipeline-agent: error: $2" || $(cat "$1") == "pipeline-agent: error: $2 (log: "*")" ]] ||
    { cat "$1" >&2; fail "the error line is not: $2"; }
}

# Runs the agent quietly, expecting exit status $1 and the one error line $2.
refused() {
  local status=$1 line=$2
  shift 2
  local got=0
  "$agent" -q "$@" >out.txt 2>err.txt || got=$?
  [[ $got == "$status" ]] || { cat err.txt >&2; fail "'$*' exited $got, expected $status"; }
  only_error err.txt "$line"
}

# Rewrites manifest $1 into $2 with file $3's "sha256" set to $4; with a
# fifth argument "older", also without the "partsSha256" that ties its parts
# to it, as an older release wrote it.
with_file_digest() {
  python3 - "$@" <<'PY'
import json, sys
src, dst, name, digest = sys.argv[1:5]
m = json.load(open(src))
f = [f for f in m["files"] if f["name"] == name][0]
f["sha256"] = digest
if sys.argv[5:] == ["older"]:
    del f["partsSha256"]
json.dump(m, open(dst, "w"), indent=2)
PY
}

# The line of a restore of file $1 whose manifest records file digest $3
# ($2: the bytes' digest): one that ties the parts to the file tells without
# hashing the bytes again; an older one ("older" in $4) from the bytes.
altered_line() {
  if [[ ${4:-} == older ]]; then
    echo "the bytes restored for $1 have SHA-256 $2, the manifest records $3; every part matched its own checksum, so the manifest's file checksum does not belong to its parts (the manifest was altered)"
  else
    echo "the checksums the manifest records for $1 do not agree: its file's and its parts' checksums do not give the partsSha256 beside them (the manifest was altered)"
  fi
}

empty_dir() {
  [[ -z $(ls -A "$1") ]] || { ls -lA "$1" >&2; fail "$1 holds what a failed restore left"; }
}

case $case_name in
file_digest)
  # A manifest whose file digest is not that of its parts' bytes fails the
  # restore (exit 1, one line, no output), zeros or a real but wrong digest
  # alike, from a manifest file or the store's copy, whether it ties its
  # parts to the file or (an older release's) not; a restore that succeeds
  # reports the digest of the bytes it wrote.
  make_input db.bin $((3 * 1024 * 1024 + 5))
  make_input notes.txt 70001
  run backup db.bin notes.txt --streams 4 --manifest set.json 2>/dev/null
  job=$(job_of set.json)
  copy=store/jobs/$job.manifest.json
  zeros=$(printf '0%.0s' {1..64})
  for form in this older; do
    for digest in "$zeros" "$(sha notes.txt)"; do
      with_file_digest set.json fake.json db.bin "$digest" $form
      cp fake.json "$copy"  # the store's copy tells the same, so only the data can tell
      line=$(altered_line db.bin "$(sha db.bin)" "$digest" $form)
      rm -rf out && mkdir out
      refused 1 "$line" --store store restore fake.json --output out
      empty_dir out
      refused 1 "$line" --store store restore --job "$job" --output out
      empty_dir out
      got=0
      "$agent" --store store restore fake.json --file db.bin --output out/db.bin --json \
        >doc.json 2>/dev/null || got=$?
      [[ $got == 1 ]] || fail "--json restore of a fake digest exited $got"
      python3 -c 'import json, sys; d = json.load(open(sys.argv[1])); assert not d["ok"] and "outputs" not in d, d' doc.json ||
        fail "the failure's document claims outputs"
      empty_dir out
    done
  done
  cp set.json "$copy"
  mkdir good
  run restore set.json --output good --json >doc.json 2>/dev/null
  python3 - doc.json "$(sha good/db.bin)" "$(sha good/notes.txt)" <<'PY' || fail "the outputs' digests are not the bytes'"
import json, sys
d = json.load(open(sys.argv[1]))
got = {o["name"]: (o["sha256"], o["verified"]) for o in d["outputs"]}
assert got == {"db.bin": (sys.argv[2], True), "notes.txt": (sys.argv[3], True)}, got
PY
  cmp db.bin good/db.bin && cmp notes.txt good/notes.txt || fail "restored bytes differ"

  # A stream input's whole digest is checked too, to a file and to stdout.
  make_input stream.bin $((2 * 1024 * 1024 + 3))
  run backup --from-command "cat stream.bin" --name s.bin --streams 3 --manifest s.json 2>/dev/null
  sjob=$(job_of s.json)
  for form in this older; do
    with_file_digest s.json sfake.json s.bin "$zeros" $form
    cp sfake.json "store/jobs/$sjob.manifest.json"
    line=$(altered_line s.bin "$(sha stream.bin)" "$zeros" $form)
    rm -rf out && mkdir out
    refused 1 "$line" --store store restore sfake.json --output out
    empty_dir out
    got=0
    "$agent" -q --store store restore sfake.json --output - >piped.bin 2>err.txt || got=$?
    [[ $got == 1 ]] || { cat err.txt >&2; fail "a fake stream digest to stdout exited $got"; }
    only_error err.txt "$line"
  done
  ;;

store_manifest)
  # The store keeps each complete job's manifest; restore --job needs no
  # other; an outside manifest must agree with it; check and list see it.
  make_input db.bin 300001
  make_input notes.txt 4000
  chmod 640 db.bin
  chmod 644 notes.txt
  run backup db.bin notes.txt --streams 3 --manifest set.json 2>/dev/null
  job=$(job_of set.json)
  copy=store/jobs/$job.manifest.json
  cmp set.json "$copy" || fail "the store's copy is not the manifest written"
  [[ $(stat -c %a "$copy") == 600 ]] || fail "the store's copy has mode $(stat -c %a "$copy")"
  mv set.json aside.json
  mkdir out
  run restore --job "$job" --output out 2>/dev/null
  cmp db.bin out/db.bin && cmp notes.txt out/notes.txt || fail "restore --job restored other bytes"
  # An outside manifest that disagrees with the store's copy, alone or with
  # --job, and --job for a job the store lacks.
  with_file_digest aside.json other.json notes.txt "$(sha db.bin)"
  rm -rf out && mkdir out
  refused 2 "manifest other.json differs from the store's copy of job $job ($PWD/$copy); it was altered, or belongs to another store" \
    --store store restore other.json --output out
  refused 2 "manifest other.json differs from the store's copy of job $job ($PWD/$copy); it was altered" \
    --store store restore other.json --job "$job" --output out
  refused 2 "the store $PWD/store has no job 42" --store store restore --job 42 --output out
  refused 2 "restore needs a manifest or --job JOB" --store store restore --output out
  empty_dir out
  # A first-format manifest made from the job's still agrees.
  python3 - aside.json v1.json <<'PY'
import json, sys
m = json.load(open(sys.argv[1]))
f = m["files"][0]
json.dump({"format": m["format"], "version": 1, "jobId": m["jobId"],
           "source": {"name": f["name"], "size": f["size"], "sha256": f["sha256"]},
           "streams": f["streams"]}, open(sys.argv[2], "w"))
PY
  run restore v1.json --output out/v1.bin 2>/dev/null
  cmp db.bin out/v1.bin || fail "a first-format manifest restored other bytes"

  # list: the archive files' rows as before; --files and --job add the files.
  "$agent" --store store list >list.txt 2>/dev/null
  "$agent" --store store list --job "$job" >job.txt 2>/dev/null
  head -n 4 job.txt | diff -u list.txt - || fail "list --job changed the archive files' rows"
  sed -n '6,$p' job.txt | tr -s ' ' >files.txt
  diff -u - files.txt <<EOF_FILES || fail "list --job shows other files"
JOB FILE BYTES MODE SHA-256
$job db.bin 300001 0640 $(sha db.bin)
$job notes.txt 4000 0644 $(sha notes.txt)
$job (2 files in all) 304001
EOF_FILES
  "$agent" --store store list --files >files_all.txt 2>/dev/null
  diff -u job.txt files_all.txt || fail "list --files differs from list --job for a store of one job"
  refused 2 "the store $PWD/store has no job 42" --store store list --job 42
  "$agent" --store store list --files --json >doc.json 2>/dev/null
  python3 -c 'import json, sys; d = json.load(open(sys.argv[1])); c = d["contents"][0]; assert c["bytes"] == 304001 and [f["name"] for f in c["files"]] == ["db.bin", "notes.txt"], d' doc.json ||
    fail "list --files --json is wrong"

  # check: a complete job's copy must be there, parse, and name files the
  # catalog knows as the job's.
  "$agent" --store store check >check.txt 2>/dev/null || fail "check of a sound store failed"
  rm "$copy"
  got=0
  "$agent" --store store check >check.txt 2>/dev/null || got=$?
  [[ $got == 1 ]] || fail "check of a job without its manifest exited $got"
  [[ $(cat check.txt) == "problem: job $job is complete but the store keeps no manifest of it ($PWD/$copy is missing); it restores only from its manifest file" ]] ||
    { cat check.txt; fail "check did not name the missing manifest"; }
  refused 2 "the store $PWD/store keeps no manifest of job $job ($PWD/$copy is missing); restore it from its manifest file" \
    --store store restore --job "$job" --output out
  # An outside manifest restores all the same, saying the store has no copy.
  run restore aside.json --output out/again.bin --file db.bin 2>err.txt
  grep -qF "the store keeps no manifest of job $job (a backup by an older agent); restoring from aside.json alone" err.txt ||
    fail "no word of the missing copy"
  echo '{"format": "pipeline-agent-manifest",' >"$copy"
  got=0
  "$agent" --store store check >check.txt 2>/dev/null || got=$?
  [[ $got == 1 ]] && grep -qF "problem: job $job's manifest in the store is unusable: manifest $PWD/$copy is corrupt" check.txt ||
    { cat check.txt; fail "check did not find the corrupt copy"; }
  python3 - aside.json "$copy" <<'PY'
import json, sys
m = json.load(open(sys.argv[1]))
m["archiveFiles"][1]["afileId"] = 99
for f in m["files"]: f["streams"][1]["afileId"] = 99
json.dump(m, open(sys.argv[2], "w"))
PY
  got=0
  "$agent" --store store check >check.txt 2>/dev/null || got=$?
  tid=$(python3 -c 'import json, sys; print(json.load(open(sys.argv[1]))["archiveFiles"][1]["trellanId"])' aside.json)
  [[ $got == 1 ]] && grep -qF "problem: the manifest $PWD/$copy names archive file $tid-2-99 (stream 2), which the catalog does not know" check.txt ||
    { cat check.txt; fail "check did not find the unknown archive file"; }
  # The repair rebuilds the catalog and leaves the copies where they are.
  cp aside.json "$copy"
  chmod 600 "$copy"
  rm store/catalog.db
  "$agent" --store store check --repair >/dev/null 2>&1 || fail "the repair failed"
  "$agent" --store store check >check.txt 2>&1 || { cat check.txt; fail "check after the repair failed"; }
  [[ -f $copy ]] || fail "the repair removed the store's copy"
  rm -rf out && mkdir out
  run restore --job "$job" --output out 2>/dev/null
  cmp db.bin out/db.bin || fail "restore --job after a repair restored other bytes"
  ;;

plain_failures)
  # A failure says what failed, and what to do about it.
  make_input db.bin 300000
  run backup db.bin --streams 3 --manifest db.json 2>/dev/null
  job=$(job_of db.json)
  # An archive file whose data is gone is named before any work (exit 1:
  # the store is damaged).
  tid=$(python3 -c 'import json, sys; print(json.load(open(sys.argv[1]))["archiveFiles"][1]["trellanId"])' db.json)
  mv store/files/2.arch moved.arch
  mkdir out
  refused 1 "archive file $tid-2-2 of stream 2 is closed in the catalog, but its data $PWD/store/files/2.arch is missing from the store; the store is damaged (\`check\` reports it)" \
    --store store restore db.json --output out
  empty_dir out
  log=$(sed -n 's/.* (log: \(.*\))$/\1/p' err.txt)
  [[ -f $log ]] || fail "the error line names no log"
  ! grep -q 'FSR_MSG_OPEN_ARCHIVE' "$log" ||
    fail "the restore opened archive files before naming the missing one"
  mv moved.arch store/files/2.arch
  # Commands and options not known, named with the nearest known one.
  refused 2 "unknown command lsit; did you mean list?" --store store lsit
  refused 2 "unknown option --manfest; did you mean --manifest?" --store store backup db.bin --manfest x.json
  refused 2 "unknown option --sotre; did you mean --store?" --sotre store list
  refused 2 "unknown command frobnicate (see --help)" --store store frobnicate
  [[ ! -e x.json ]] || fail "a refused backup wrote its manifest"
  # One stream is one stream.
  run backup db.bin --streams 1 --manifest one.json 2>err.txt
  grep -q "^pipeline-agent: backing up db.bin (300000 bytes) over 1 stream as job " err.txt &&
    grep -q "^pipeline-agent: setting up 1 stream; " err.txt || { cat err.txt; fail "backup: 1 stream misspelt"; }
  run restore one.json --output out/one.bin 2>err.txt
  grep -q "^pipeline-agent: restoring 1 file (300000 bytes) over 1 stream as job " err.txt &&
    grep -q ": read all 1 stream, checksums match$" err.txt || { cat err.txt; fail "restore: 1 stream misspelt"; }
  # A signal is named as the user sent it.
  for sig in INT TERM; do
    "$agent" --store store backup db.bin --streams 2 --manifest "s$sig.json" 2>err.txt &
    pid=$!
    sleep 1
    kill -"$sig" "$pid"
    got=0; wait "$pid" || got=$?
    [[ $got == $([[ $sig == INT ]] && echo 130 || echo 143) ]] || { cat err.txt; fail "SIG$sig: exit $got"; }
    grep -qx "pipeline-agent: SIG$sig; stopping the job" err.txt &&
      grep -q "^pipeline-agent: error: interrupted by SIG$sig" err.txt || { cat err.txt; fail "SIG$sig not named"; }
  done
  # An invalidation that works says nothing of a failure.
  run backup db.bin --streams 3 --manifest f.json --fail-stream 2 2>err.txt || true
  grep -qF "invalidating the job's archive files" err.txt || fail "no word of the invalidation"
  ! grep -q "invalidating the job's archive files failed" err.txt || fail "a working invalidation said it failed"
  # On a full disk the invalidation itself fails: said so, with the way out.
  [[ $(id -u) == 0 ]] || { echo "SKIP: the full disk needs root to mount"; echo "PASS: $case_name"; exit 0; }
  mkdir small
  if ! mount -t tmpfs -o size=1m tmpfs small 2>/dev/null; then
    echo "SKIP: cannot mount a small file system here"; echo "PASS: $case_name"; exit 0
  fi
  trap 'umount "$work/small" 2>/dev/null; rm -rf "$work"' EXIT
  make_input big.bin $((3 * 1024 * 1024))
  got=0
  "$agent" --store small/store --test-skip-pauses backup big.bin --streams 2 --manifest big.json 2>err.txt || got=$?
  [[ $got == 1 ]] || { cat err.txt; fail "the full disk exited $got"; }
  grep -qxF "pipeline-agent: invalidating the job's archive files failed (the log says why); they keep their space until \`pipeline-agent --store $PWD/small/store cleanup\` removes them" err.txt ||
    { cat err.txt; fail "the failed invalidation was not said"; }
  [[ $(grep -c 'error' err.txt) == 1 ]] || { cat err.txt; fail "more than one error line"; }
  "$agent" --store small/store cleanup >/dev/null 2>&1 || fail "cleanup on the full disk failed"
  "$agent" --store small/store list >list.txt 2>/dev/null
  if awk 'NR > 1 && $3 != "-"' list.txt | grep -q .; then cat list.txt; fail "cleanup left the files"; fi
  ;;

altered_manifest)
  # An outside manifest is compared with the store's copy for every kind of
  # restore: anything a restore obeys, altered, is refused (exit 2) before
  # anything is written, on a tree as on a set.
  mkdir -p t/sub
  make_input t/a.bin 200001
  make_input t/sub/b.txt 3000
  ln -s a.bin t/link
  chmod 640 t/a.bin
  run backup t --streams 3 --manifest tree.json 2>/dev/null
  make_input db.bin 300001
  make_input notes.txt 4000
  run backup db.bin notes.txt --streams 3 --manifest set.json 2>/dev/null
  # alter SRC DST NAME FIELD VALUE: entry NAME's FIELD (a dotted path, list
  # items by index) set to the JSON VALUE.
  alter() {
    python3 - "$@" <<'PY'
import json, sys
src, dst, name, field, value = sys.argv[1:]
m = json.load(open(src))
entry = [f for f in m["files"] if f["name"] == name][0]
*path, last = field.split(".")
for part in path:
    entry = entry[int(part)] if part.isdigit() else entry[part]
entry[int(last) if last.isdigit() else last] = json.loads(value)
json.dump(m, open(dst, "w"), indent=2)
PY
  }
  # refuse_each MANIFEST FILE OUTPUT CHANGE...: each change (NAME|FIELD|VALUE)
  # made alone to MANIFEST is refused, alone, with --job and with --file FILE
  # --output OUTPUT, and nothing is written.
  refuse_each() {
    local manifest=$1 file=$2 output=$3 change name field value job line
    shift 3
    job=$(job_of "$manifest")
    line="manifest bad.json differs from the store's copy of job $job ($PWD/store/jobs/$job.manifest.json); it was altered"
    for change in "$@"; do
      IFS='|' read -r name field value <<<"$change"
      alter "$manifest" bad.json "$name" "$field" "$value"
      refused 2 "$line, or belongs to another store" --store store restore bad.json --output out
      refused 2 "$line" --store store restore bad.json --job "$job" --output out
      refused 2 "$line, or belongs to another store" \
        --store store restore bad.json --file "$file" --output "$output"
      empty_dir out
    done
  }
  other=$(printf 'ab%.0s' {1..32})
  mkdir out
  refuse_each tree.json t/sub out 't/link|target|"/etc/passwd"' 't/a.bin|mode|493' 't/sub|mode|511' \
    't/a.bin|mtime|0' 't/link|mtime|1' 't/sub/b.txt|name|"t/sub/c.txt"' \
    "t/a.bin|sha256|\"$other\"" "t/a.bin|streams.1.sha256|\"$other\""
  refuse_each set.json db.bin out/db.bin 'notes.txt|mode|493' 'notes.txt|name|"notes.bin"' \
    "db.bin|sha256|\"$other\"" "db.bin|streams.2.sha256|\"$other\""
  # A size and its last part grown together is refused too (the parts of
  # the manifest no longer follow each other, or it disagrees).
  python3 - set.json bad.json <<'PY'
import json, sys
m = json.load(open(sys.argv[1]))
f = m["files"][1]
f["size"] += 1
f["streams"][-1]["size"] += 1
json.dump(m, open(sys.argv[2], "w"))
PY
  got=0
  "$agent" -q --store store restore bad.json --output out 2>err.txt || got=$?
  [[ $got == 2 ]] || { cat err.txt; fail "a grown file exited $got"; }
  empty_dir out
  # The unaltered manifests restore, and a tree restored by --job leaves
  # one log in the store.
  logs=$(ls store/logs | wc -l)
  run restore --job "$(job_of tree.json)" --output out 2>/dev/null
  [[ $(ls store/logs | wc -l) == $((logs + 1)) ]] || { ls -l store/logs; fail "a tree's restore --job left other than one log"; }
  [[ -s store/logs/$(ls -t store/logs | head -1) ]] || fail "the restore's log is empty"
  [[ $(readlink out/t/link) == a.bin ]] && cmp t/a.bin out/t/a.bin && cmp t/sub/b.txt out/t/sub/b.txt ||
    fail "the tree restored other entries"
  rm -rf out && mkdir out
  run restore tree.json --output out 2>/dev/null
  run restore set.json --output out 2>/dev/null
  cmp db.bin out/db.bin && cmp notes.txt out/notes.txt || fail "the set restored other bytes"
  ;;

names)
  # Names too long for the file system, or holding a NUL, are refused
  # before any work with exit 2 and one line.
  make_input db.bin 1000
  long=$(printf 'n%.0s' {1..256})
  deep=$(printf 'd/%.0s' {1..2048})x
  refused 2 "manifest ${long:0:40}... has a name of 256 bytes (${long:0:40}...); names of up to 255 bytes can be used" \
    --store store --test-skip-pauses backup db.bin --manifest "$long"
  refused 2 "manifest ${deep:0:40}... is 4097 bytes long; paths of up to 4095 bytes can be used" \
    --store store --test-skip-pauses backup db.bin --manifest "$deep"
  refused 2 "store ${long:0:40}... has a name of 256 bytes (${long:0:40}...); names of up to 255 bytes can be used" \
    --store "$long" list
  refused 2 "--name ${long:0:40}... has a name of 256 bytes (${long:0:40}...); names of up to 255 bytes can be used" \
    --store store --test-skip-pauses backup --from-command "cat db.bin" --name "$long" --manifest s.json
  [[ ! -e store ]] || fail "a refused backup made the store"
  run backup db.bin --streams 2 --manifest db.json 2>/dev/null
  mkdir out
  refused 2 "output out/${long:0:36}... has a name of 256 bytes (${long:0:40}...); names of up to 255 bytes can be used" \
    --store store restore db.json --output "out/$long"
  refused 2 "output ${deep:0:40}... is 4097 bytes long; paths of up to 4095 bytes can be used" \
    --store store restore db.json --output "$deep"
  # A first-format manifest whose name holds a NUL: not restored under the
  # name cut short at it.
  python3 - db.json nul.json long.json "$long" <<'PY'
import json, sys
m = json.load(open(sys.argv[1]))
f = m["files"][0]
json.dump({"format": m["format"], "version": 1, "jobId": m["jobId"],
           "source": {"name": "db.bin\u0000.evil", "size": f["size"], "sha256": f["sha256"]},
           "streams": f["streams"]}, open(sys.argv[2], "w"))
f["name"] = sys.argv[4]
json.dump(m, open(sys.argv[3], "w"))
PY
  refused 2 "manifest nul.json source name \"db.bin\" holds a NUL byte, which no file name can hold" \
    --store store restore nul.json --output out
  refused 2 "manifest long.json file 1 name ${long:0:40}... has a name of 256 bytes (${long:0:40}...); names of up to 255 bytes can be used" \
    --store store restore long.json --output out
  empty_dir out
  ;;

*) fail "no case $case_name" ;;
esac
echo "PASS: $case_name"
