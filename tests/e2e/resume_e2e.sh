#!/usr/bin/env bash
# What a backup of files keeps on this host for resuming it after a kill:
# resume/<job>.json in the store's host directory.
#   record  killed at a file, a backup leaves a record that parses as a
#           manifest of the set's first entries (plain and with stages), each
#           of whose shares lies in the job's archive files as recorded; a
#           backup that completes or fails leaves none; cleanup keeps a live
#           job's record and removes a killed job's, and the leftovers of a
#           write cut short, and nothing else
#   resume  killed and resumed (--resume), plain and with stages, killed
#           again while resumed: the job completes, restores byte for byte
#           and checks sound; a file changed since and a damaged share are
#           written again, with what follows them
#   killed  a resume killed at every step: the resume after it completes
#           the job whole
#   refusals  what --resume refuses, one line and exit 2 each
# Usage: resume_e2e.sh AGENT CASE
set -euo pipefail
agent=$1
case_name=$2
# shellcheck source=lib.sh
source "$(dirname "$0")/lib.sh" agent-resume

# A backup into store, recording what it wrote every 20 ms.
backup() { "$agent" --store store --test-skip-pauses backup --test-record-every 20 "$@" </dev/null; }
job_of() { python3 -c 'import json, sys; print(json.load(open(sys.argv[1]))["jobId"])' "$1"; }
# Waits (at most 10 s) until a record is there; for --test-after-first-chunk.
waits='for i in $(seq 100); do ls store/resume/*.json >/dev/null 2>&1 && break; sleep 0.1; done'
# Every share a record names lies in its job's archive file with the digest
# recorded, and a file's shares stored as read add up to the file's digest;
# the record's entries are the first entries of the manifest $2 (of the same
# set, whole). Prints how many files the record holds.
verify_record() {
  python3 - "$1" "$2" <<'PY'
import hashlib, json, sys
record, whole = json.load(open(sys.argv[1])), json.load(open(sys.argv[2]))
names = [f["name"] for f in record["files"]]
assert names == [f["name"] for f in whole["files"]][:len(names)], names
archives = {a["stream"]: a["afileId"] for a in record["archiveFiles"]}
files = 0
for f in record["files"]:
    if f.get("kind", "file") != "file":
        continue
    files += 1
    data = b""
    for share in f.get("streams", []):
        with open("store/files/%d.arch" % archives[share["stream"]], "rb") as archive:
            archive.seek(share["seekOffset"])
            stored = archive.read(share.get("storedSize", share["size"]))
        assert hashlib.sha256(stored).hexdigest() == share.get("storedSha256", share["sha256"]), share
        data += stored
    if "stages" not in record:
        assert hashlib.sha256(data).hexdigest() == f["sha256"], f["name"]
print(files)
PY
}

case $case_name in
record)
  mkdir -p in/sub
  for i in $(seq 1 12); do head -c $((90000 + i * 1000)) /dev/urandom >"in/f$i"; done
  for i in 1 2; do head -c 300000 /dev/urandom >"in/sub/g$i"; done
  printf 'key file content, thirty-two bytes or more, any bytes at all\n' >key
  chmod 600 key
  backup -q in --streams 3 --manifest whole.json
  [[ -z $(ls store/resume 2>/dev/null) ]] || fail "a backup that completed left a record"
  # Killed at the tree's f5 (the 10th file in its order), plain and with stages.
  for stages in "" "--compress zstd --encrypt --key-file key"; do
    rm -rf store/resume
    got=0
    # shellcheck disable=SC2086
    backup in --streams 3 --manifest killed.json $stages \
      --test-after-first-chunk "case \"\$1\" in */f5) $waits; kill -9 \$PPID;; esac" 2>err.txt || got=$?
    [[ $got == 137 ]] || { cat err.txt >&2; fail "the backup to be killed ended $got"; }
    records=(store/resume/*.json)
    [[ ${#records[@]} == 1 && ${records[0]} == store/resume/$(ls store/jobs | sed -n 's/\.lock$//p' | sort -n | tail -n 1).json ]] ||
      fail "the killed backup left ${records[*]}"
    files=$(verify_record "${records[0]}" whole.json) || fail "the record${stages:+ with stages} is not what the job wrote"
    ((files > 0 && files < 14)) || fail "the record holds $files files"
  done
  # cleanup: a live job's record stays, a killed one's goes, and what a
  # write cut short; nothing else in resume/.
  touch go store/resume/1234.json.new store/resume/notes.txt
  backup in --streams 2 --manifest live.json \
    --test-after-first-chunk "case \"\$1\" in */f5) $waits; touch waiting; while [ -e go ]; do sleep 0.1; done;; esac" \
    2>live.err &
  live=$!
  for i in $(seq 100); do [[ -e waiting ]] && break; sleep 0.1; done
  [[ -e waiting ]] || fail "the live backup never reached its fifth file"
  "$agent" --store store cleanup >cleanup.txt 2>&1 || { cat cleanup.txt >&2; fail "cleanup failed"; }
  grep -c "^removed resume/.*, the record of a backup that did not end$" cleanup.txt | grep -qx 2 ||
    { cat cleanup.txt >&2; fail "cleanup did not remove the killed jobs' records"; }
  grep -q "^removed resume/1234.json.new, " cleanup.txt || fail "cleanup left a write cut short"
  left=$(ls store/resume)
  [[ $(echo "$left" | wc -l) == 2 && $left == *notes.txt* ]] || fail "cleanup left: $left"
  rm go
  wait "$live" || { cat live.err >&2; fail "the live backup failed"; }
  [[ $(ls store/resume) == notes.txt ]] || fail "a backup that completed left a record"
  # A backup that fails (a file changed while read) leaves none either.
  got=0
  backup in --streams 2 --manifest failed.json \
    --test-after-first-chunk "case \"\$1\" in */f5) $waits; echo more >>\"\$1\";; esac" 2>err.txt || got=$?
  [[ $got == 1 ]] || { cat err.txt >&2; fail "the backup of a changing file ended $got"; }
  [[ $(ls store/resume) == notes.txt ]] || fail "a backup that failed left a record"
  ;;
resume)
  # Killed, then resumed with --resume: the job completes whole, restores
  # byte for byte and checks sound; what it kept was not written again.
  mkdir -p in/sub
  for i in $(seq 1 12); do head -c $((90000 + i * 1000)) /dev/urandom >"in/f$i"; done
  for i in 1 2; do head -c 300000 /dev/urandom >"in/sub/g$i"; done
  head -c 50000 /dev/urandom >alone.bin
  printf 'key file content, thirty-two bytes or more, any bytes at all\n' >key
  chmod 600 key
  # Kills a backup of the set (more options in $@) at file $1, once a record is
  # there; prints the job's id.
  killed_at() {
    local at=$1 got=0
    shift
    rm -f killed.json
    backup alone.bin in --manifest killed.json "$@" \
      --test-after-first-chunk "case \"\$1\" in */$at) $waits; kill -9 \$PPID;; esac" \
      >/dev/null 2>err.txt || got=$?
    [[ $got == 137 ]] || { cat err.txt >&2; fail "the backup to be killed at $at ended $got"; }
    ls store/resume | sed -n 's/^\([0-9]*\)\.json$/\1/p' | tail -n 1
  }
  # Restores manifest $1 (more options after) and compares it with the set.
  restores() {
    local manifest=$1
    shift
    rm -rf out && mkdir out
    "$agent" --store store -q restore "$manifest" --output out "$@" 2>restore.err ||
      { cat restore.err >&2; fail "$manifest does not restore"; }
    cmp alone.bin out/alone.bin && diff -r in out/in || fail "$manifest restores other bytes"
  }
  kept_of() { sed -n 's/.*resuming job [0-9]*: \([0-9]*\) of the set.s entries.*/\1/p' "$1"; }

  job=$(killed_at f5 --streams 3)
  # A directory kept is recorded as it is now.
  chmod 700 in
  backup alone.bin in --manifest killed.json --streams 2 --resume "$job" --json >resumed.json 2>resumed.err ||
    { cat resumed.err >&2; fail "the resume failed"; }
  kept=$(kept_of resumed.err)
  ((kept >= 2)) || { cat resumed.err >&2; fail "the resume kept $kept entries"; }
  python3 - "$job" "$kept" <<'PY' || fail "the resume's --json is not what it should be"
import json, sys
doc = json.load(open("resumed.json"))
assert doc["ok"] and doc["jobId"] == int(sys.argv[1]), doc
assert doc["resumed"]["entriesKept"] == int(sys.argv[2]) and doc["resumed"]["bytesKept"] > 0, doc
assert [a["stream"] for a in doc["archiveFiles"]] == [1, 2, 3, 4, 5], doc["archiveFiles"]
PY
  restores killed.json
  [[ $(stat -c %a out/in) == 700 ]] || fail "a directory kept was restored with the mode it had before"
  "$agent" --store store check >check.txt 2>&1 || { cat check.txt >&2; fail "check after a resume"; }
  [[ -z $(ls store/resume) ]] || fail "a resumed job that completed left its record"
  [[ $("$agent" --store store list | awk -v j="$job" '$1 == j {print $2}' | sort -u) == complete ]] ||
    fail "the resumed job is not complete"

  # With stages, the key given again; killed again while resumed, resumed
  # once more.
  mv killed.json plain.json
  job=$(killed_at f3 --streams 2 --compress zstd --encrypt --key-file key)
  got=0
  backup alone.bin in --manifest killed.json --streams 2 --compress zstd --encrypt --key-file key \
    --resume "$job" --test-after-first-chunk "case \"\$1\" in */g1) $waits; kill -9 \$PPID;; esac" \
    >/dev/null 2>err.txt || got=$?
  [[ $got == 137 ]] || { cat err.txt >&2; fail "the resume to be killed ended $got"; }
  backup alone.bin in --manifest killed.json --streams 1 --compress zstd --encrypt --key-file key \
    --resume "$job" 2>resumed.err >/dev/null || { cat resumed.err >&2; fail "the second resume failed"; }
  restores killed.json --key-file key
  "$agent" --store store check --key-file key >check.txt 2>&1 ||
    { cat check.txt >&2; fail "check of the encrypted resumed job"; }

  # A file changed since, and a share damaged, are not kept: they and what
  # follows are written again.
  mv killed.json sealed.json
  job=$(killed_at f7 --streams 2)
  touch in/f1
  backup alone.bin in --manifest killed.json --streams 2 --resume "$job" 2>resumed.err >/dev/null ||
    { cat resumed.err >&2; fail "the resume after a change failed"; }
  [[ $(kept_of resumed.err) == 2 ]] || { cat resumed.err >&2; fail "a changed file was kept"; }
  restores killed.json
  mv killed.json changed.json
  job=$(killed_at f7 --streams 1)
  first=$(python3 -c 'import json, sys; print(json.load(open(sys.argv[1]))["archiveFiles"][0]["afileId"])' \
    "store/resume/$job.json")
  printf 'XXXX' | dd of="store/files/$first.arch" bs=1 seek=100 conv=notrunc status=none
  backup alone.bin in --manifest killed.json --streams 2 --resume "$job" 2>resumed.err >/dev/null ||
    { cat resumed.err >&2; fail "the resume after damage failed"; }
  [[ $(kept_of resumed.err) == 0 ]] || { cat resumed.err >&2; fail "a damaged share was kept"; }
  restores killed.json
  ;;
killed)
  # A resume killed at every step (every CRASH_STRIDE-th, from a first one
  # drawn at random below it), each time from the same killed backup: the
  # resume after it completes the job whole.
  mkdir in
  for i in $(seq 1 6); do head -c $((40000 + i * 1000)) /dev/urandom >"in/f$i"; done
  got=0
  backup in --manifest m.json --streams 2 \
    --test-after-first-chunk "case \"\$1\" in */f4) $waits; kill -9 \$PPID;; esac" >/dev/null 2>&1 || got=$?
  [[ $got == 137 ]] || fail "the backup to be killed ended $got"
  job=$(ls store/resume | sed -n 's/^\([0-9]*\)\.json$/\1/p')
  mv store killed-store
  stride=${CRASH_STRIDE:-1}
  kills=0
  for ((n = 1 + RANDOM % stride; ; n += stride)); do
    rm -rf store out && cp -a killed-store store
    got=0
    "$agent" --store store --test-skip-pauses --test-kill-at "$n" backup in --manifest m.json \
      --streams 2 --resume "$job" >/dev/null 2>err.txt || got=$?
    if [[ $got != 137 ]]; then
      [[ $got == 0 ]] || { cat err.txt >&2; fail "the resume not killed at step $n ended $got"; }
    else
      kills=$((kills + 1))
      # Killed once its completion marker was made, the job is complete
      # (cleanup settles its catalog); else it is resumed again.
      rm -f m.json
      again=0
      backup in --manifest m.json --streams 2 --resume "$job" >/dev/null 2>err.txt || again=$?
      [[ $again == 0 ]] || grep -q "cannot be taken over: it is complete" err.txt ||
        { cat err.txt >&2; fail "the resume after one killed at step $n failed"; }
    fi
    # What a creation cut short left without a catalog entry is cleanup's,
    # as after any killed job; the resumed job stays whole.
    "$agent" --store store cleanup >/dev/null 2>&1 || fail "killed at step $n: cleanup failed"
    "$agent" --store store check >check.txt 2>&1 || { cat check.txt >&2; fail "killed at step $n: check"; }
    mkdir out
    "$agent" --store store -q restore --job "$job" --output out 2>/dev/null && diff -r in out/in >/dev/null ||
      fail "killed at step $n, the resumed job does not restore the set"
    rm -f m.json
    [[ $got == 0 ]] && break
    ((n < 5000)) || fail "the resume never completed"
  done
  ((kills > 0)) || fail "no resume was killed"
  echo "killed $kills resumes"
  ;;
refusals)
  # What --resume refuses, with one line and exit 2, leaving the job as it was.
  mkdir in
  for i in 1 2 3; do head -c 100000 /dev/urandom >"in/f$i"; done
  printf 'key file content, thirty-two bytes or more, any bytes at all\n' >key
  chmod 600 key
  st=(--store store --test-skip-pauses)
  expect_line 2 "a stream input is not resumable: --resume goes on with a backup of files and trees" \
    "${st[@]}" backup --from-command 'echo hi' --name x --manifest x.json --resume 5
  expect_line 2 "only a full backup is resumable: --resume takes no --type incr" \
    "${st[@]}" backup in --manifest x.json --type incr --resume 5
  expect_line 2 "--resume names the job: it takes no --job-id" \
    "${st[@]}" backup in --manifest x.json --job-id 7 --resume 5
  expect_line 2 "a backup into a store in object storage is not resumable: the files a killed one was writing are uploads never finished; begin a new one" \
    --store s3://bucket/store backup in --manifest x.json --resume 5
  [[ ! -e store ]] || fail "a refused resume made the store"
  backup -q in --manifest done.json
  done_job=$(job_of done.json)
  expect 2 "job $done_job left no record of what it wrote in $PWD/store/resume: it cannot be resumed here; \`cleanup\` removes what it left" \
    "${st[@]}" backup in --manifest x.json --resume "$done_job"
  # A live job, and stages other than the job's.
  touch go
  backup in --manifest live.json \
    --test-after-first-chunk "case \"\$1\" in */f2) $waits; touch waiting; while [ -e go ]; do sleep 0.1; done;; esac" \
    2>live.err &
  live=$!
  for i in $(seq 100); do [[ -e waiting ]] && break; sleep 0.1; done
  job=$(ls store/resume | sed -n 's/^\([0-9]*\)\.json$/\1/p')
  expect 2 "job $job cannot be taken over: its writer still runs" \
    "${st[@]}" backup in --manifest x.json --resume "$job"
  expect 2 "job $job was begun with other --compress or --encrypt options; resume it with the ones it was begun with" \
    "${st[@]}" backup in --manifest x.json --compress zstd --resume "$job"
  rm go
  wait "$live" || { cat live.err >&2; fail "the live backup failed"; }
  [[ ! -e x.json ]] || fail "a refused resume wrote a manifest"
  ;;
*)
  fail "unknown case $case_name"
  ;;
esac
echo "PASS: $case_name"
