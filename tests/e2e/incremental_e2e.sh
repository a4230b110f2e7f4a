#!/usr/bin/env bash
# End-to-end runs of chains of backups: `backup --type diff|incr` reads only
# the files that changed, refers to the jobs that hold the rest, and every
# job of a chain restores to exactly the bytes of its own moment, whole and
# file by file, through the stages of each job that holds data.
# Usage: incremental_e2e.sh AGENT CASE
set -euo pipefail

agent=$1
case_name=$2
# shellcheck source=lib.sh
source "$(dirname "$0")/lib.sh" incremental-e2e

store_arg=$(store_url store)
run() { "$agent" --store "$store_arg" --test-skip-pauses "$@" </dev/null; }

# Field $2 of manifest $1 (a python expression over m).
field() { python3 -c "import json,sys; m=json.load(open(sys.argv[1])); print($2)" "$1"; }

# How many of manifest $1's files another job holds.
held() { field "$1" 'sum(1 for f in m["files"] if "heldBy" in f)'; }

# Backs the tree and the file up as job $1 (the manifest m$1.json) with the
# rest of the arguments; keeps a copy of what it backed up in moment$1/ and
# its stderr in backup$1.txt.
backup() {
  local n=$1
  shift
  run backup tree single --manifest "m$n.json" "$@" 2>"backup$n.txt" ||
    { cat "backup$n.txt" >&2; fail "backup $n failed"; }
  rm -rf "moment$n" && mkdir "moment$n" && cp -a tree single "moment$n/"
}

# Restores job $1 whole into out$1/ and compares it with its moment,
# contents and modes.
restores_as_backed_up() {
  local n=$1
  rm -rf "out$n" && mkdir "out$n"
  run -q restore --job "$(field "m$n.json" 'm["jobId"]')" --output "out$n" 2>err.txt ||
    { cat err.txt >&2; fail "restoring job $n failed"; }
  diff -r "moment$n" "out$n" >/dev/null || fail "job $n did not restore to its moment's bytes"
  [[ $(cd "moment$n" && find . -printf '%p %m\n' | sort) == $(cd "out$n" && find . -printf '%p %m\n' | sort) ]] ||
    fail "job $n did not restore its modes"
}

make_tree() {
  mkdir -p tree/sub tree/empty
  for i in $(seq 1 12); do head -c $((i * 7000)) /dev/urandom >"tree/f$i"; done
  head -c 300000 /dev/urandom >tree/sub/large
  : >tree/sub/zero
  ln -s f1 tree/link
  head -c 90000 /dev/urandom >single
}

chains() {
  make_tree
  backup 1 --streams 3
  [[ $(field m1.json 'm["backup"]') == "{'set': '$PWD/tree, $PWD/single', 'type': 'full'}" ]] ||
    fail "a full does not name its set: $(field m1.json 'm["backup"]')"
  [[ $(field m1.json 'm["version"]') == 3 ]] || fail "a full's manifest changed its format"

  # Incr 1: one file changed, one added, one whose mode changed, one removed.
  echo changed >>tree/f2
  head -c 5000 /dev/urandom >tree/sub/new
  chmod 600 tree/f3
  rm tree/f4
  backup 2 --streams 2 --type incr
  grep -qxF "pipeline-agent: 12 of 15 files unchanged since job $(field m1.json 'm["jobId"]'); reading 3" backup2.txt ||
    { cat backup2.txt >&2; fail "incr 1 did not say what it reads"; }
  [[ $(field m2.json 'm["version"]') == 5 && $(held m2.json) == 12 ]] ||
    fail "incr 1 refers to $(held m2.json) files"
  [[ $(field m2.json '[r["jobId"] for r in m["references"]]') == "[$(field m1.json 'm["jobId"]')]" ]] ||
    fail "incr 1 does not refer to the full alone"

  # Incr 2, against incr 1: what incr 1 read is now held by incr 1, the
  # rest still by the full, never through incr 1.
  echo again >>tree/sub/large
  backup 3 --streams 4 --type incr
  [[ $(field m3.json 'm["backup"]["reference"]') == "$(field m2.json 'm["jobId"]')" &&
     $(field m3.json 'm["backup"]["full"]') == "$(field m1.json 'm["jobId"]')" &&
     $(field m3.json 'm["backup"]["depth"]') == 2 ]] || fail "incr 2's chain: $(field m3.json 'm["backup"]')"
  [[ $(field m3.json 'sorted(f["heldBy"] for f in m["files"] if "heldBy" in f and f["name"] == "tree/f2")') == "[$(field m2.json 'm["jobId"]')]" ]] ||
    fail "incr 2 does not take f2 from incr 1"
  [[ $(field m3.json 'len(m["references"])') == 2 ]] || fail "incr 2 does not refer to both jobs"

  # A diff compares with the full, whatever the incrementals read since.
  backup 4 --streams 2 --type diff
  [[ $(field m4.json 'm["backup"]["reference"]') == "$(field m1.json 'm["jobId"]')" ]] ||
    fail "the diff is not against the full"
  grep -qxF "pipeline-agent: 11 of 15 files unchanged since job $(field m1.json 'm["jobId"]'); reading 4" backup4.txt ||
    { cat backup4.txt >&2; fail "the diff did not read what changed since the full"; }

  for n in 1 2 3 4; do restores_as_backed_up "$n"; done

  # One file that only the full holds, by seek, from the newest job.
  mkdir out-f7
  run -q restore --job "$(field m4.json 'm["jobId"]')" --file tree/f7 --output out-f7 2>err.txt ||
    { cat err.txt >&2; fail "restoring one held file failed"; }
  cmp -s out-f7/tree/f7 moment4/tree/f7 || fail "the held file did not restore as backed up"
}

stages() {
  make_tree
  printf 'key file content, thirty-two bytes or more, any bytes at all\n' >key
  chmod 600 key
  backup 1 --streams 3 --compress zstd --encrypt --key-file key
  echo changed >>tree/f5
  # Another codec and stream count: each job's data decodes with its own.
  backup 2 --streams 2 --type incr --compress lz4 --encrypt --key-file key
  [[ $(held m2.json) == 14 ]] || fail "the encrypted incr refers to $(held m2.json) files"
  rm -rf out2 && mkdir out2
  run -q restore --job "$(field m2.json 'm["jobId"]')" --key-file key --output out2 2>err.txt ||
    { cat err.txt >&2; fail "restoring the encrypted chain failed"; }
  diff -r moment2 out2 >/dev/null || fail "the encrypted chain did not restore as backed up"

  # A chain never mixes encrypted and plain data.
  backup 3 --type incr
  grep -qxF "pipeline-agent: set $PWD/tree, $PWD/single: no incr backup: job $(field m2.json 'm["jobId"]') is encrypted and this backup is not; taking a full backup" backup3.txt ||
    { cat backup3.txt >&2; fail "a plain incr did not fall back to a full"; }
  [[ $(field m3.json 'm["backup"]["type"]') == full && $(field m3.json 'm["version"]') == 3 ]] ||
    fail "the fallback is not a full"
}

stream_input() {
  make_tree
  head -c 3000000 /dev/urandom >dump
  run backup tree - --name dump.sql --manifest m1.json <dump 2>/dev/null || fail "full with a stream failed"
  echo changed >>tree/f1
  "$agent" --store "$store_arg" --test-skip-pauses backup tree - --name dump.sql --manifest m2.json \
    --type incr <dump 2>backup2.txt || { cat backup2.txt >&2; fail "incr with a stream failed"; }
  # A stream has no identity to compare: it is stored whole every time.
  [[ $(field m2.json '[f.get("heldBy", 0) for f in m["files"] if f["kind"] == "stream"]') == "[0]" ]] ||
    fail "the stream input was referred to"
  [[ $(held m2.json) == 13 ]] || fail "the incr with a stream refers to $(held m2.json) files"
  mkdir out && run -q restore --job "$(field m2.json 'm["jobId"]')" --output out 2>err.txt ||
    { cat err.txt >&2; fail "restoring the incr with a stream failed"; }
  cmp -s out/dump.sql dump && diff -r tree out/tree >/dev/null || fail "the incr with a stream did not restore"
}

fallbacks() {
  make_tree
  # Nothing to compare with yet: a full, said in one line.
  backup 1 --type incr --set nightly
  grep -qxF "pipeline-agent: set nightly: no incr backup: the store holds no complete backup of it; taking a full backup" backup1.txt ||
    { cat backup1.txt >&2; fail "a first incr did not say it takes a full"; }
  [[ $(field m1.json 'm["backup"]') == "{'set': 'nightly', 'type': 'full'}" ]] || fail "the first incr is no full"
  # Another set's jobs are never compared with.
  backup 2 --type diff --set other
  grep -qF "set other: no diff backup" backup2.txt || fail "a diff compared with another set"
  # --verify-unchanged reads what looks unchanged and still refers to it.
  backup 3 --type incr --set nightly --verify-unchanged
  [[ $(held m3.json) == 15 ]] || fail "--verify-unchanged refers to $(held m3.json) files"
  restores_as_backed_up 3

  # A set of files alone says how many of them it reads.
  run backup single tree/f1 --manifest files1.json 2>/dev/null || fail "a full of files failed"
  echo more >>tree/f1
  run backup single tree/f1 --manifest files2.json --type incr 2>files2.txt || fail "an incr of files failed"
  grep -qF "pipeline-agent: backing up 1 of 2 files ($(stat -c %s tree/f1) bytes) over 3 streams as job" files2.txt ||
    { cat files2.txt >&2; fail "an incr of files does not say how many it reads"; }

  expect_line 2 "--type must be full, diff or incr, not weekly" --store store backup single --manifest x.json --type weekly
  expect_line 2 "--verify-unchanged goes with --type diff or incr" --store store backup single --manifest x.json --verify-unchanged
  [[ ! -e x.json ]] || fail "a refused backup left a manifest"
}

# Writes 8 KiB of new bytes into file $1 at each page number that follows,
# in place, as a database writes its pages.
write_pages() {
  local file=$1 page
  shift
  for page in "$@"; do
    dd if=/dev/urandom of="$file" bs=8192 seek="$page" count=1 conv=notrunc status=none
  done
}

# What job manifest $1's archive files hold, in bytes (list --json's sizes).
stored_bytes() {
  run list --json 2>/dev/null | python3 -c '
import json, sys
job = [j for j in json.load(sys.stdin)["jobs"] if j["jobId"] == int(sys.argv[1])][0]
print(sum(a["size"] for a in job["archiveFiles"]))' "$(field "$1" 'm["jobId"]')"
}

# The jobs that hold the pieces of file $2 in manifest $1, each once, sorted
# ("own" for the job's own).
holders() {
  field "$1" "sorted(set(str(p.get('heldBy', 'own')) for f in m['files'] if f['name'] == '$2' for p in f['pieces']))"
}

# The job that holds byte $3 of file $2 in manifest $1 ("own" for its own).
holder_at() {
  field "$1" "[str(p.get('heldBy', 'own')) for f in m['files'] if f['name'] == '$2' for p in f['pieces'] if p['sourceOffset'] <= $3 < p['sourceOffset'] + p['size']][0]"
}

id_of() { field "$1" 'm["jobId"]'; }

# A changed file is stored by its changed blocks of 32 KiB: a few pages
# written in place, a file that grew and one that shrank, over incr, incr
# and diff; every job restores whole and file by file, every block checked,
# and a damaged block fails the restore and leaves nothing.
blocks() {
  make_tree
  head -c $((4 << 20)) /dev/urandom >tree/sub/db
  head -c $((4 << 20)) /dev/urandom >single
  head -c $((1 << 20)) /dev/urandom >tree/grow
  head -c $((2 << 20)) /dev/urandom >tree/shrink
  backup 1 --streams 3
  [[ $(field m1.json 'm["version"]') == 3 ]] || fail "a full's manifest changed its format"
  [[ $(field m1.json '[(f["blockSize"], len(f["blocks"]) // 64) for f in m["files"] if f["name"] == "tree/sub/db"]') == "[(32768, 128)]" ]] ||
    fail "the full records no blocks of db"
  [[ $(field m1.json '[f["name"] for f in m["files"] if "blockSize" in f and f["size"] <= 32768]') == "[]" ]] ||
    fail "a file of one block records blocks"
  local full
  full=$(id_of m1.json)

  # db and single are split over the three streams at a third of their
  # size: the block across each split is stored again once.
  write_pages tree/sub/db 3 200 401
  write_pages single 17 300
  head -c 100000 /dev/urandom >>tree/grow
  truncate -s 1500000 tree/shrink
  backup 2 --streams 3 --type incr
  # db 3 + 2, single 2 + 2, grow its 4 blocks past the old end, shrink its
  # new shorter last one.
  grep -qxF "pipeline-agent: 4 changed files compared by blocks of 32768 bytes: storing 14 of 338 blocks" backup2.txt ||
    { cat backup2.txt >&2; fail "incr 1 did not compare by blocks"; }
  [[ $(holders m2.json tree/sub/db) == "['$full', 'own']" ]] || fail "incr 1's db: $(holders m2.json tree/sub/db)"
  local stored
  stored=$(stored_bytes m2.json)
  (( stored <= 14 * 32768 )) || fail "incr 1 stored $stored bytes for 14 blocks"

  # Incr 2: what incr 1 stored of db is now read from incr 1, what neither
  # changed still from the full, never through incr 1.
  write_pages tree/sub/db 100 402
  backup 3 --streams 2 --type incr
  [[ $(holders m3.json tree/sub/db) == "$(python3 -c "print(sorted(['$full', '$(id_of m2.json)', 'own']))")" ]] ||
    fail "incr 2's db: $(holders m3.json tree/sub/db)"
  [[ $(holder_at m3.json tree/sub/db $((3 * 8192))) == "$(id_of m2.json)" &&
     $(holder_at m3.json tree/sub/db $((10 * 32768))) == "$full" &&
     $(holder_at m3.json tree/sub/db $((402 * 8192))) == own ]] || fail "incr 2 reads db's blocks from the wrong jobs"
  (( $(stored_bytes m3.json) <= 2 * 32768 )) || fail "incr 2 stored $(stored_bytes m3.json) bytes for 2 blocks"

  # The diff: every block changed since the full, the full's blocks for the
  # rest.
  backup 4 --streams 2 --type diff
  [[ $(holders m4.json tree/sub/db) == "['$full', 'own']" ]] || fail "the diff's db: $(holders m4.json tree/sub/db)"

  for n in 1 2 3 4; do restores_as_backed_up "$n"; done
  rm -rf out-db && mkdir out-db
  run -q restore --job "$(id_of m3.json)" --file tree/sub/db --output out-db 2>err.txt ||
    { cat err.txt >&2; fail "restoring db alone failed"; }
  cmp -s out-db/tree/sub/db moment3/tree/sub/db || fail "db alone did not restore as backed up"

  # A flipped byte in a block incr 2 stored: the restore names the block and
  # leaves nothing.
  local place afile offset stream block
  place=$(field m3.json "[(p['afileId'], p['seekOffset'], p['stream'], p['sourceOffset'] // 32768) for f in m['files'] if f['name'] == 'tree/sub/db' for p in f['pieces'] if 'heldBy' not in p][0]")
  read -r afile offset stream block < <(tr -d '(),' <<<"$place")
  python3 -c "
import sys
path, at = sys.argv[1], int(sys.argv[2])
data = bytearray(open(path, 'rb').read()); data[at + 100] ^= 0x40; open(path, 'wb').write(data)" "store/files/$afile.arch" "$offset"
  rm -rf out5 && mkdir out5
  if run -q restore --job "$(id_of m3.json)" --output out5 2>err.txt; then fail "a damaged block restored"; fi
  local archive
  archive=$(field m3.json "['-'.join(str(a[k]) for k in ('trellanId', 'groupNumber', 'afileId')) for a in m['archiveFiles'] if a['stream'] == $stream][0]")
  [[ $(cat err.txt) == "pipeline-agent: error: tree/sub/db, stream $stream, archive file $archive: block $block does not match the manifest's checksum; it is damaged (log: "*".log)" ]] ||
    { cat err.txt >&2; fail "the damaged block was not named"; }
  [[ -z $(ls -A out5) ]] || fail "the failed restore left $(ls -A out5)"
}

# The same through stages: a block is a frame of 1 MiB. Files alone (each
# restored into a file of its own), compressed, then encrypted; an incr of
# an incr reads each block from the job that stored it.
block_stages() {
  printf 'key file content, thirty-two bytes or more, any bytes at all\n' >key
  chmod 600 key
  local chain afile got
  for chain in "--compress zstd" "--compress lz4 --encrypt --key-file key"; do
    rm -rf store ./*.json moment*
    head -c $((8 << 20)) /dev/urandom >db
    head -c 300000 /dev/urandom >small
    # shellcheck disable=SC2086
    run backup db small --streams 3 --manifest m1.json $chain 2>/dev/null || fail "full ($chain) failed"
    mkdir moment1 && cp db small moment1/
    # Pages in blocks 1 and 225 of 256 (a block is a frame, 32 KiB); the
    # full split db over 3 streams inside blocks 85 and 170, which are
    # stored again too.
    write_pages db 5 900
    # shellcheck disable=SC2086
    run backup db small --streams 3 --manifest m2.json --type incr $chain 2>backup2.txt ||
      { cat backup2.txt >&2; fail "incr ($chain) failed"; }
    mkdir moment2 && cp db small moment2/
    grep -qxF "pipeline-agent: 1 changed file compared by blocks of 32768 bytes: storing 4 of 256 blocks" backup2.txt ||
      { cat backup2.txt >&2; fail "the incr ($chain) did not compare by frames"; }
    (( $(stored_bytes m2.json) < 4 * 32768 + 4096 )) || fail "the incr ($chain) stored $(stored_bytes m2.json) bytes"
    # A page in block 32.
    write_pages db 130
    # shellcheck disable=SC2086
    run backup db small --streams 2 --manifest m3.json --type incr $chain 2>/dev/null || fail "incr 2 ($chain) failed"
    mkdir moment3 && cp db small moment3/
    [[ $(holder_at m3.json db 0) == "$(id_of m1.json)" && $(holder_at m3.json db 32768) == "$(id_of m2.json)" &&
       $(holder_at m3.json db $((4 << 20))) == "$(id_of m1.json)" && $(holder_at m3.json db $((1 << 20))) == own ]] ||
      fail "incr 2 ($chain) reads db's frames from the wrong jobs"
    for n in 1 2 3; do
      rm -rf "out$n" && mkdir "out$n"
      run -q restore --job "$(id_of "m$n.json")" --key-file key --output "out$n" 2>err.txt ||
        { cat err.txt >&2; fail "restoring job $n ($chain) failed"; }
      cmp -s "out$n/db" "moment$n/db" && cmp -s "out$n/small" "moment$n/small" ||
        fail "job $n ($chain) did not restore as backed up"
    done
    run -q restore --job "$(id_of m3.json)" --key-file key --file db --output db3 2>err.txt ||
      { cat err.txt >&2; fail "restoring db alone ($chain) failed"; }
    cmp -s db3 moment3/db && rm db3 || fail "db alone ($chain) did not restore as backed up"
    # check decodes each piece as a restore does: sound, then a byte of a
    # frame of the full's that job 3 keeps is named through job 3's piece.
    run check --key-file key >check.txt 2>&1 || { cat check.txt >&2; fail "check ($chain) of a sound chain failed"; }
    afile=$(python3 - m3.json "$(id_of m1.json)" <<'PY'
import json, sys
db = [f for f in json.load(open(sys.argv[1]))["files"] if f["name"] == "db"][0]
held = [p for p in db["pieces"] if p.get("heldBy") == int(sys.argv[2])][0]
path = "store/files/%d.arch" % held["afileId"]
data = bytearray(open(path, "rb").read())
data[held["seekOffset"] + 100] ^= 0x40
open(path, "wb").write(data)
print(held["afileId"])
PY
)
    got=0
    run check --key-file key >check.txt 2>&1 || got=$?
    [[ $got == 1 ]] && grep -q "^problem: job $(id_of m3.json): db, held by job $(id_of m1.json), stream [0-9], archive file [0-9]*-[0-9]*-$afile: file db, stream [0-9], frame [0-9]*: " check.txt ||
      { cat check.txt >&2; fail "check ($chain) does not name job 3's damaged piece of the full (exit $got)"; }
  done
}

"$case_name"
echo "PASS: $case_name"
