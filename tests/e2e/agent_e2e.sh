#!/usr/bin/env bash
# End-to-end runs of pipeline-agent on the embedded local platform, as a user
# would make them. Usage: agent_e2e.sh AGENT CASE
set -euo pipefail

agent=$1
case_name=$2
# shellcheck source=lib.sh
source "$(dirname "$0")/lib.sh" agent-e2e

# Fails when any file matching the glob exists (partial outputs included).
absent() {
  local found
  found=$(compgen -G "$1" || true)
  [[ -z $found ]] || fail "left behind: $found"
}

make_input() { head -c "$2" /dev/urandom >"$1"; }

# Loses the catalog of store $1: catalog.db, or the store's schema when
# $PIPELINE_CATALOG put it in PostgreSQL.
lose_catalog() {
  if [[ -n ${PIPELINE_CATALOG:-} ]]; then
    psql -X -q -d "$PIPELINE_CATALOG" -c "SET client_min_messages = warning" -c \
      "DROP SCHEMA pipelinesetup_store_$(store_cat "$1/store.ini" | sed -n 's/^trellan_id=//p') CASCADE"
  else
    rm "$1/catalog.db"
  fi
}

# True when store $1 holds anything (a directory or an object under it).
store_exists() {
  if object_store; then
    [[ -n $("$PIPELINESETUP_TEST_S3_TOOL" keys "$(store_url "$1")/") ]]
  else
    [[ -e $1 ]]
  fi
}

# The newest (by number) archive file of store $1, as a path in it.
newest_archive() {
  echo "$1/files/$(store_ls "$1/files" | grep '\.arch$' | sort -V | tail -n 1)"
}

# Overwrites 4 bytes of archive file $1 (a path in a store) with XXXX at
# offset $2, counted from the end when negative: damage as a failing disk
# or a careless hand would leave it, the file's size kept. An object is
# replaced whole by its damaged copy.
damage() {
  local path=$1 at=$2
  if object_store; then
    store_cat "$path" >damaged.tmp
    (( at >= 0 )) || at=$(( $(stat -c %s damaged.tmp) + at ))
    printf 'XXXX' | dd of=damaged.tmp bs=1 seek="$at" conv=notrunc status=none
    store_put "$path" <damaged.tmp
    rm damaged.tmp
  else
    (( at >= 0 )) || at=$(( $(stat -c %s "$path") + at ))
    printf 'XXXX' | dd of="$path" bs=1 seek="$at" conv=notrunc status=none
  fi
}

# Fails when store $1 keeps an unfinished multipart upload (object store
# only; a directory store has none).
no_uploads_left() {
  object_store || return 0
  local left
  left=$("$PIPELINESETUP_TEST_S3_TOOL" uploads "$(store_url "$1")/")
  [[ -z $left ]] || fail "$2: unfinished uploads left: $left"
}

# The keys of store $1's objects on the object store, one a line, each as
# a path in the store (below the run's prefix, as store_cat takes it).
store_keys() {
  "$PIPELINESETUP_TEST_S3_TOOL" keys "$(store_url "$1")/" | cut -d' ' -f1 |
    sed "s|^${PIPELINESETUP_TEST_STORE_BASE#s3://*/}/||"
}

# Copies store $1 to $2 whole, as `cp -a` does (object by object on an
# object store); with --move, removes $1 after, as `mv` does.
store_copy() {
  local move=0
  [[ $1 == --move ]] && { move=1; shift; }
  if ! object_store; then
    if (( move )); then mv "$1" "$2"; else cp -a "$1" "$2"; fi
    return
  fi
  local key
  for key in $(store_keys "$1"); do
    store_cat "$key" | store_put "$2/${key#"$1"/}"
    (( move == 0 )) || store_rm "$key"
  done
}

# Every file of store $1 (every object, on an object store) with its SHA-256.
store_snapshot() {
  if object_store; then
    local key
    for key in $(store_keys "$1"); do echo "$key $(store_cat "$key" | sha256sum)"; done
  else
    (cd "$1" && find . -type f -print0 | sort -z | xargs -0 sha256sum)
  fi
}

case $case_name in
round_trip)
  store=$(store_url store)
  make_input db.bin $((3 * 1024 * 1024 + 17))
  "$agent" --store "$store" backup db.bin --streams 3 --manifest db.json 2>backup.log
  grep -q '"afileId"' db.json || fail "manifest names no archive files"
  "$agent" --store "$store" restore db.json --output restored.bin 2>restore.log
  cmp db.bin restored.bin || fail "restored bytes differ"
  absent 'restored.bin.partial-*'
  "$agent" --store "$store" list >list.txt 2>/dev/null
  [[ $(grep -c ' closed ' list.txt) == 3 ]] || fail "list does not show 3 closed files"
  # A manifest of the first format (one file, its streams at the top) still
  # restores, to a path or into a directory under its recorded name, and
  # such a restore reads its archive files to the end.
  python3 - db.json v1.json <<'PY'
import json, sys
m = json.load(open(sys.argv[1]))
f = m["files"][0]
json.dump({"format": m["format"], "version": 1, "jobId": m["jobId"],
           "createdAt": m["createdAt"],
           "source": {"name": f["name"], "size": f["size"], "sha256": f["sha256"]},
           "streams": f["streams"]}, open(sys.argv[2], "w"))
PY
  "$agent" --store "$store" -v restore v1.json --output v1.bin 2>v1.log
  cmp db.bin v1.bin || fail "a first-format manifest restored other bytes"
  [[ $(grep -c 'FSR_MSG_READ_ALL succeeded' v1.log) == 3 ]] || fail "first format: no read-all"
  # The shared options may follow the command as well as precede it.
  "$agent" backup db.bin --manifest after.json --store "$store" --log-level -1 --test-skip-pauses \
    --streams 2 2>after.log
  grep -q ' DEBUG' after.log && { cat after.log >&2; fail "--log-level -1 after the command was not taken"; }
  grep -q 'backup complete' after.log || fail "the backup with options after the command did not complete"
  "$agent" restore after.json --output after.bin --log-level -1 --store "$store" 2>after.log
  grep -q ' DEBUG' after.log && { cat after.log >&2; fail "options after restore were not taken"; }
  cmp db.bin after.bin || fail "options after the command: restored bytes differ"
  mkdir v1dir
  "$agent" --store "$store" --log-level -1 restore v1.json --output v1dir 2>/dev/null
  cmp db.bin v1dir/db.bin || fail "a first-format manifest restored into a directory differs"
  no_uploads_left store "round_trip"
  ;&

output_levels)
  # Also run at the end of round_trip (the test list names the cases), in a
  # store of its own.
  mkdir levels && cd levels
  # On an object store, a prefix of its own beside round_trip's store.
  levels=store
  object_store && [[ $case_name == round_trip ]] && levels=levels-store
  store=$(store_url "$levels")
  logs=$(store_logs "$levels")
  # By default stderr has the agent's own lines only, the library's and the
  # platform's going to the job's log in the store; -v adds them, -q shows
  # nothing on success. Job ids, archive file ids and the directory masked.
  make_input db.bin 300001
  mask() { sed -E "s|$(store_shown "$levels")|DIR/store|g; s|$PWD|DIR|g; s/job [0-9]+/job J/; s/archive file [0-9]+-/archive file T-/; s/ in [0-9.]+ s, [0-9.]+ ([KMG]iB|B)\/s\)/ in S s, R\/s)/" "$1"; }
  "$agent" --store "$store" --test-skip-pauses backup db.bin --streams 2 --manifest db.json 2>backup.txt
  diff -u - <(mask backup.txt) <<'EOF_OUT' || fail "the default output of a backup differs"
pipeline-agent: backing up db.bin (300001 bytes) over 2 streams as job J into DIR/store
pipeline-agent: setting up 2 streams; each pauses 2 s after its archive file is created, while the streams set up before it write
pipeline-agent: stream 1: wrote 150000 bytes to archive file T-1-1
pipeline-agent: stream 2: wrote 150001 bytes to archive file T-2-2
pipeline-agent: backup complete: manifest db.json (293.0 KiB in S s, R/s)
EOF_OUT
  job=$(sed -nE '1s/.* as job ([0-9]+) .*/\1/p' backup.txt)
  grep -q 'local platform: created archive file' "$logs/$job.log" ||
    fail "the backup's log $logs/$job.log lacks the platform's lines"
  mkdir out
  "$agent" --store "$store" restore db.json --output out 2>restore.txt
  diff -u - <(mask restore.txt) <<'EOF_OUT' || fail "the default output of a restore differs"
pipeline-agent: restoring 1 file (300001 bytes) over 2 streams as job J from DIR/store
pipeline-agent: file 1 of 1 (db.bin): setting up 2 streams
pipeline-agent: file 1 of 1 (db.bin): read all 2 streams, checksums match
pipeline-agent: restored out/db.bin: 300001 bytes, checksum verified
EOF_OUT
  job=$(sed -nE '1s/.* as job ([0-9]+) .*/\1/p' restore.txt)
  grep -q -- '-Debug-: Sending FSR_MSG_OPEN_ARCHIVE' "$logs/$job.log" ||
    fail "the restore's log lacks the library's lines"
  # -v: the same lines and the log's, in one stream; -q: nothing.
  "$agent" --store "$store" --test-skip-pauses backup db.bin --streams 2 --manifest v.json -v 2>v.txt
  grep -q 'DEBUG1 job [0-9]*: local platform: pausing 2000 ms' v.txt || fail "-v did not show the platform's lines"
  grep -q '^pipeline-agent: backup complete: manifest v.json (' v.txt || fail "-v hid the agent's lines"
  mkdir vout qout
  "$agent" -v --store "$store" restore v.json --output vout 2>v.txt
  grep -q -- '-Debug-: ' v.txt || fail "-v did not show the library's lines"
  grep -q 'local platform: ' v.txt || fail "-v did not show the platform's lines"
  "$agent" --store "$store" --test-skip-pauses -q backup db.bin --streams 2 --manifest q.json 2>q.txt
  "$agent" --store "$store" restore q.json --output qout -q 2>>q.txt
  [[ ! -s q.txt ]] || { cat q.txt >&2; fail "-q printed on success"; }
  cmp db.bin qout/db.bin || fail "the quiet restore differs"
  expect_line 2 "--verbose excludes --quiet (see --help)" --store "$store" -q -v list
  # --log-file takes the log instead of the store's file; -v still copies it.
  "$agent" --store "$store" --log-file mine.log -v --test-skip-pauses backup db.bin --streams 2 \
    --manifest l.json 2>l.txt
  job=$(sed -nE '1s/.* as job ([0-9]+) .*/\1/p' l.txt)
  grep -q "job $job: local platform: created archive file" mine.log || fail "--log-file got no lines"
  grep -q "job $job: local platform: created archive file" l.txt || fail "-v with --log-file showed nothing"
  [[ ! -e "$logs/$job.log" ]] || fail "--log-file still wrote the store's log"
  # --log-level sets what the log file gets.
  "$agent" --store "$store" --log-level -1 --test-skip-pauses backup db.bin --streams 2 \
    --manifest e.json 2>e.txt
  job=$(sed -nE '1s/.* as job ([0-9]+) .*/\1/p' e.txt)
  [[ -e "$logs/$job.log" ]] && grep -q DEBUG "$logs/$job.log" &&
    fail "--log-level -1 let debug lines into the log"
  # A failed job ends with one error line that names its log.
  expect 1 "writing stream 1 failed" --store "$store" --test-skip-pauses backup db.bin --streams 2 \
    --manifest f.json --fail-stream 1
  job=$(sed -nE '1s/.* as job ([0-9]+) .*/\1/p' err.txt)
  [[ $(tail -n 1 err.txt) == "pipeline-agent: error: writing stream 1 failed: simulated write failure (log: $logs/$job.log)" ]] ||
    { cat err.txt >&2; fail "the last line does not say what failed and where the log is"; }
  grep -vq '^pipeline-agent: ' err.txt && { cat err.txt >&2; fail "a line not the agent's on stderr"; }
  no_uploads_left "$levels" "the failed job"
  ;;


backup_set)
  store=$(store_url store)
  # Four files over three streams: a big one, one smaller than the streams,
  # an empty one and one with its own mode; restored whole, then file by file.
  make_input data.db $((2 * 1024 * 1024 + 5))
  make_input tiny.bin 2
  : >empty.bin
  make_input wal.log 700001
  chmod 600 wal.log
  "$agent" --store "$store" --test-skip-pauses backup data.db tiny.bin empty.bin wal.log \
    --streams 3 --manifest set.json 2>backup.log
  python3 - set.json <<'PY' || fail "the manifest does not describe the set"
import json, sys
m = json.load(open(sys.argv[1]))
assert m["version"] == 2 and len(m["archiveFiles"]) == 3, m
assert [f["name"] for f in m["files"]] == ["data.db", "tiny.bin", "empty.bin", "wal.log"]
assert m["files"][3]["mode"] == 0o600, m["files"][3]["mode"]
# Files above min(64 MiB, total / 3) are split into three parts, the others
# placed whole on the stream with the fewest bytes so far (the first on a
# tie), the other parts empty: data.db split, tiny.bin on stream 1,
# empty.bin and wal.log on stream 2.
limit = min(64 << 20, sum(f["size"] for f in m["files"]) // 3)
load = [0, 0, 0]
ends = [0, 0, 0]
for f in m["files"]:
    size = f["size"]
    if size > limit:
        want = [size * k // 3 - size * (k - 1) // 3 for k in (1, 2, 3)]
    else:
        want = [0, 0, 0]
        want[load.index(min(load))] = size
    load = [a + b for a, b in zip(load, want)]
    assert [s["size"] for s in f["streams"]] == want, (f["name"], f["streams"])
    for k, s in enumerate(f["streams"]):
        assert s["seekOffset"] == ends[k] and s["afileId"] == m["archiveFiles"][k]["afileId"]
        ends[k] += s["size"]
# The last file's parts lie past the others' in every archive file.
assert all(s["seekOffset"] > 0 for s in m["files"][3]["streams"])
PY
  "$agent" --store "$store" list >list.txt 2>/dev/null
  [[ $(grep -c ' closed ' list.txt) == 3 ]] || { cat list.txt; fail "the set is not 3 closed files"; }
  mkdir whole
  "$agent" --store "$store" -v restore set.json --output whole 2>restore.log
  for f in data.db tiny.bin empty.bin wal.log; do
    cmp "$f" "whole/$f" || fail "whole set: $f differs"
  done
  [[ $(stat -c %a whole/wal.log) == 600 ]] || fail "the mode was not restored"
  # One restore object: the first request opens, the second (and every
  # later one) only seeks each stream once.
  [[ $(grep -c 'Sending FSR_MSG_OPEN_ARCHIVE' restore.log) == 3 ]] || fail "the files were opened more than once"
  second=$(sed -n '/file 2 of 4 (tiny.bin): setting up/,/file 2 of 4 (tiny.bin): read all/p' restore.log)
  [[ -n $second ]] || fail "no second request in the log"
  [[ $(grep -c 'FSR_MSG_SEEK_TO_OFFSET succeeded' <<<"$second") == 3 ]] ||
    fail "the second request did not seek each of the 3 streams once"
  if grep -E 'FSR_MSG_OPEN_ARCHIVE|FSR_MSG_READ_ALL|Closing Archive File' <<<"$second"; then
    fail "the second request did more than seek"
  fi
  last=$(sed -n '/file 4 of 4 (wal.log): setting up/,/file 4 of 4 (wal.log): read all/p' restore.log)
  offset=$(python3 -c 'import json,sys; print(json.load(open("set.json"))["files"][3]["streams"][2]["seekOffset"])')
  grep -q "FSR_MSG_SEEK_TO_OFFSET succeeded for .* Offset \[$offset\]" <<<"$last" ||
    fail "the last file's request did not seek stream 3 to $offset"
  grep -q 'Sending FSR_MSG_READ_ALL' restore.log && fail "a set's restore asked to read all"
  # File by file, each on its own, in any order.
  for f in wal.log empty.bin data.db tiny.bin; do
    "$agent" --store "$store" -v restore set.json --file "$f" --output "one-$f" 2>one.log ||
      { cat one.log >&2; fail "restoring $f alone failed"; }
    cmp "$f" "one-$f" || fail "$f restored alone differs"
    grep -q 'FSR_MSG_READ_ALL NOT sent' one.log || fail "$f alone: read-all was not declined"
  done
  mkdir one
  "$agent" --store "$store" --log-level -1 restore set.json --file wal.log --output one 2>/dev/null
  cmp wal.log one/wal.log || fail "a file alone restored into a directory differs"
  # What a set restore refuses, before anything is written.
  expect 2 "must be an existing directory" --store "$store" restore set.json --output notadir.bin
  expect 2 "holds no file named nope" --store "$store" restore set.json --file nope --output one
  expect 2 "whole/data.db already exists" --store "$store" restore set.json --output whole
  absent 'notadir.bin*'
  expect 2 "two inputs are named data.db" --store "$store" backup data.db ./data.db --manifest x.json
  # A damaged part of one file fails that file and leaves no file of the set.
  mkdir damaged
  damage "$(newest_archive store)" -10
  expect 1 "stream 3, archive file" --store "$store" restore set.json --output damaged
  grep -qF "does not match the manifest's checksum; it is damaged" err.txt || fail "no word of the damage"
  [[ -z $(ls -A damaged) ]] || fail "a damaged set left files: $(ls -A damaged)"
  no_uploads_left store "backup_set"
  ;;

invalidated_job)
  store=$(store_url store)
  make_input db.bin 300000
  expect 1 "writing stream 2 failed" --store "$store" backup db.bin --streams 3 \
    --manifest db.json --fail-stream 2
  grep -qF "invalidating the job's archive files" err.txt || fail "no word of the invalidation"
  absent 'db.json*'
  # The uploads of the invalidated files were completed or dropped.
  no_uploads_left store "the failed job"
  "$agent" --store "$store" list >list.txt 2>/dev/null
  # The failure stops the setup of the streams still to come: every file made
  # so far (streams 1 and 2 at least) is invalidated, none is left otherwise.
  made=$(awk 'NR > 1 && $3 != "-"' list.txt | wc -l)
  (( made >= 2 )) && [[ $(grep -c ' invalidated ' list.txt) == "$made" ]] ||
    { cat list.txt; fail "files not invalidated"; }
  if object_store; then
    # An object store is sent an archive file's bytes in parts (8 MiB
    # unless the URL says otherwise), or at its close: stream 1's 100000 bytes were still held when
    # the job failed, and dropped with it. Nothing of them is stored or listed.
    grep -qE ' 1 +invalidated +0 ' list.txt || { cat list.txt; fail "stream 1 lists bytes the store does not hold"; }
    ! store_ls store/files | grep '\.arch$' || fail "the invalidated files left data objects"
  else
    grep -qE ' 1 +invalidated +100000 ' list.txt || { cat list.txt; fail "stream 1's bytes not listed"; }
  fi
  # A manifest that names the invalidated files must not restore.
  ids=($(awk '$5 == "invalidated" {print $3}' list.txt))
  streams=""
  for ((i = 0; i < made; i++)); do
    IFS=- read -r t g a <<<"${ids[$i]}"
    [[ -n $streams ]] && streams+=","
    streams+="{\"stream\":$((i + 1)),\"trellanId\":$t,\"groupNumber\":$g,\"afileId\":$a,"
    streams+="\"sourceOffset\":$((i * 100000)),\"seekOffset\":0,\"size\":100000,"
    streams+="\"sha256\":\"$(printf '0%.0s' {1..64})\"}"
  done
  printf '{"format":"pipeline-agent-manifest","version":1,"jobId":1,"source":{"name":"db.bin","size":%d,"sha256":"%s"},"streams":[%s]}' \
    $((made * 100000)) "$(printf 'a%.0s' {1..64})" "$streams" >stale.json
  expect 2 "was invalidated" --store "$store" -v restore stale.json --output out.bin
  grep -q 'local platform: .*invalidated' err.txt || fail "the platform did not refuse the file"
  # By default the platform's refusal stays in the log: the error is one line.
  expect 2 "was invalidated" --store "$store" restore stale.json --output out.bin
  [[ $(grep -c 'error' err.txt) == 1 ]] && ! grep -q 'local platform: ' err.txt ||
    { cat err.txt >&2; fail "the refusal is not one line"; }
  absent 'out.bin*'
  # A manifest that cannot be written after the data was (its directory
  # went away during the pauses) fails the job at once; it is not left
  # running for cleanup to find crashed.
  mkdir gone
  "$agent" --store "$store" backup db.bin --streams 2 --manifest gone/m.json 2>gone.txt &
  pid=$!
  for _ in $(seq 100); do grep -q 'setting up' gone.txt && break; sleep 0.1; done
  rmdir gone
  got=0; wait "$pid" || got=$?
  [[ $got == 1 ]] || { cat gone.txt >&2; fail "a manifest that could not be written exited $got"; }
  job=$(sed -nE '1s/.* as job ([0-9]+) .*/\1/p' gone.txt)
  "$agent" --store "$store" list >list.txt 2>/dev/null
  [[ $(awk -v job="$job" '$1 "" == job && $2 == "failed"' list.txt | wc -l) == 2 ]] ||
    { cat gone.txt list.txt >&2; fail "the job without a manifest is not marked failed"; }
  "$agent" --store "$store" cleanup >cleanup.txt 2>/dev/null
  [[ $(grep -c '^removed .*invalidated' cleanup.txt) == "$made" ]] || fail "cleanup did not remove $made files"
  "$agent" --store "$store" list >list.txt 2>/dev/null
  grep -qE ' (invalidated|writing|crashed) ' list.txt && fail "cleanup left files behind"
  no_uploads_left store "cleanup"
  ;;

bad_input)
  store=$(store_url store)
  # --version answers alone, on stdout, before any store is looked at.
  version=$("$agent" --store "$store" --version 2>err.txt) || fail "--version exited non-zero"
  [[ $version =~ ^pipeline-agent\ [0-9]+\.[0-9]+\.[0-9]+$ && ! -s err.txt ]] ||
    { cat err.txt >&2; fail "--version printed: $version"; }
  expect 2 "cannot read input missing.bin" --store "$store" backup missing.bin --manifest m.json
  mkdir adir
  mkfifo afifo
  expect 2 "is not a regular file" --store "$store" backup afifo --manifest m.json
  make_input db.bin 200000
  expect 2 "--streams must be from 1 to 65, not 66" --store "$store" backup db.bin --streams 66 \
    --manifest m.json
  expect 2 "--streams must be from 1 to 65, not 0" --store "$store" backup db.bin --streams 0 \
    --manifest m.json
  # Numbers are decimal and within their range, wherever the option stands.
  expect_line 2 "--streams must be from 1 to 65, not -1" --store "$store" backup db.bin \
    --streams -1 --manifest m.json
  expect_line 2 '--streams must be a decimal number from 1 to 65, not "0x10"' --store "$store" \
    backup db.bin --streams 0x10 --manifest m.json
  expect_line 2 "--streams must be from 1 to 65, not 18446744073709551616" --store "$store" \
    backup db.bin --streams 18446744073709551616 --manifest m.json
  expect_line 2 '--log-level must be a decimal number from -1 to 9, not "1e0"' --store "$store" \
    list --log-level 1e0
  expect_line 2 "--log-level must be from -1 to 9, not -2" --log-level -2 --store "$store" list
  expect_line 2 "--job-id must be from 1 to 18446744073709551615, not -5" --store "$store" \
    backup db.bin --job-id -5 --manifest m.json
  expect_line 2 '--size-mib must be a decimal number from 1 to 1048576, not "010x"' demo \
    --dir d --size-mib 010x
  # A name a manifest cannot record (JSON is UTF-8) is refused before the
  # store is made, not after the data was written.
  make_input $'\xff.bin' 1000
  expect_line 2 $'input \xff.bin: its name is not valid UTF-8, which a manifest cannot record' \
    --store "$store" backup $'\xff.bin' --manifest m.json
  # A stream from a closed standard input is refused before any work; the
  # store's directory must not take descriptor 0 and be read as the stream.
  expect_line 2 "standard input is closed; pipe the stream into the agent (or use --from-command)" \
    --store "$store" backup - --name s.bin --manifest m.json <&-
  ! store_exists store && [[ ! -e d ]] || fail "a refused number left a store or a demo behind"
  # A store that is a file, or that cannot be made, is refused before any
  # work. (A directory's: an object store has no file in a store's place,
  # and its permissions are its credentials'.)
  touch afile
  if ! object_store; then
    expect_line 2 "the store $PWD/afile is not a directory" --store afile backup db.bin \
      --manifest m.json
    for command in list check cleanup; do
      expect_line 2 "the store $PWD/afile is not a directory" --store afile "$command"
    done
  fi
  if [[ $(id -u) != 0 ]] && ! object_store; then
    mkdir locked && chmod 555 locked
    expect_line 2 "cannot create the store locked/store: Permission denied" --store locked/store \
      backup db.bin --manifest m.json
  fi
  absent 'm.json*'

  "$agent" --store "$store" backup db.bin --streams 2 --manifest db.json 2>/dev/null
  expect 2 "already exists" --store "$store" backup db.bin --streams 2 --manifest db.json
  object_store || expect_line 2 "the store $PWD/afile is not a directory" --store afile \
    restore db.json --output out.bin
  # --force onto a directory is refused before any work: no job, no log.
  mkdir -p into/db.bin
  logs=$(ls "$(store_logs store)")
  expect_line 2 "output into/db.bin is a directory" --store "$store" restore db.json --output into \
    --force
  [[ $(ls "$(store_logs store)") == "$logs" && -z $(ls -A into/db.bin) ]] ||
    fail "the refused restore did work"
  # Likewise a stream to a closed standard output, by manifest or --job; a
  # closed stderr takes nothing the agent writes into a file it opened.
  "$agent" --store "$store" --log-level -1 backup - --name s.bin --streams 1 --manifest s.json \
    <db.bin 2>/dev/null
  logs=$(ls "$(store_logs store)")
  for from in "s.json" "--job $(sed -n 's/.*"jobId": *\([0-9]*\).*/\1/p' s.json)"; do
    got=0
    # shellcheck disable=SC2086
    "$agent" --store "$store" restore $from --output - >&- 2>err.txt || got=$?
    [[ $got == 2 && $(cat err.txt) == "pipeline-agent: error: standard output is closed; pipe or redirect --output -" ]] ||
      { cat err.txt >&2; fail "restore $from to a closed stdout exited $got"; }
  done
  [[ $(ls "$(store_logs store)") == "$logs" ]] || fail "a restore to a closed stdout made a log"
  "$agent" --store "$store" --log-file closed.log -v restore s.json --output s.bin 2>&-
  cmp db.bin s.bin || fail "the restore with stderr closed restored other bytes"
  grep -q "local platform: " closed.log || fail "the log file holds no log lines"
  ! grep -q '^pipeline-agent: ' closed.log || fail "the agent's stderr went into its log file"

  printf '{"format": "pipeline-agent-manifest", "streams": [' >corrupt.json
  expect 2 "is corrupt" --store "$store" restore corrupt.json --output out.bin
  echo '{"format": "something-else", "streams": []}' >foreign.json
  expect 2 "is not a pipeline-agent manifest" --store "$store" restore foreign.json --output out.bin
  expect_line 2 "cannot read manifest nowhere.json: No such file or directory" --store "$store" \
    restore nowhere.json --output out.bin
  expect_line 2 "manifest adir is not a regular file" --store "$store" restore adir --output out.bin
  sed 's/"afileId": [0-9]*/"afileId": -4/' db.json >negative.json
  expect 2 '"afileId" is missing or not a valid number' --store "$store" restore negative.json \
    --output out.bin
  {
    printf '{"format":"pipeline-agent-manifest","version":1,"jobId":1,"source":{"name":"x","size":66,"sha256":"%s"},"streams":[' \
      "$(printf 'a%.0s' {1..64})"
    for i in $(seq 1 66); do
      [[ $i == 1 ]] || printf ','
      printf '{"stream":%d,"trellanId":1,"groupNumber":1,"afileId":%d,"sourceOffset":%d,"seekOffset":0,"size":1,"sha256":"%s"}' \
        "$i" "$i" $((i - 1)) "$(printf 'b%.0s' {1..64})"
    done
    printf ']}'
  } >wide.json
  expect 2 "names 66 streams; at most 65 can be restored" --store "$store" restore wide.json \
    --output out.bin

  # Manifests of the current format whose parts do not add up.
  python3 - db.json <<'PY'
import json, sys
m = json.load(open(sys.argv[1]))
def save(name, change):
    d = json.loads(json.dumps(m)); change(d); json.dump(d, open(name, "w"))
save("seek.json", lambda d: d["files"][0]["streams"][1].update(seekOffset=7))
save("elsewhere.json", lambda d: d["files"][0]["streams"][0].update(afileId=99999))
save("twice.json", lambda d: d["files"].append(d["files"][0]))
save("slash.json", lambda d: d["files"][0].update(name="../x"))
save("mode.json", lambda d: d["files"][0].update(mode=4096))
save("sizetext.json", lambda d: d["files"][0].update(size=str(d["files"][0]["size"])))
save("formatnumber.json", lambda d: d.update(format=7))
save("createdat.json", lambda d: d.update(createdAt=5))
save("jobtext.json", lambda d: d.update(jobId="1"))
PY
  # Fields of the wrong JSON type, each named.
  expect_line 2 'manifest sizetext.json file 1: "size" is missing or not a valid number' \
    --store "$store" restore sizetext.json --output out.bin
  expect_line 2 "formatnumber.json is not a pipeline-agent manifest" --store "$store" \
    restore formatnumber.json --output out.bin
  expect_line 2 'manifest createdat.json: "createdAt" is not a string' --store "$store" \
    restore createdat.json --output out.bin
  expect_line 2 'manifest jobtext.json: "jobId" is missing or not a valid number' --store "$store" \
    restore jobtext.json --output out.bin
  expect 2 '"seekOffset" 7 does not follow the previous file' --store "$store" restore seek.json --output out.bin
  expect 2 "names another archive file than the set's" --store "$store" restore elsewhere.json --output out.bin
  expect 2 "is named twice" --store "$store" restore twice.json --output out.bin
  expect 2 '"name" is missing or not a file name' --store "$store" restore slash.json --output out.bin
  expect 2 '"mode" is not a permission mode' --store "$store" restore mode.json --output out.bin
  absent 'out.bin*'

  # A store that does not exist, and one that holds other archive files.
  expect 2 "there is no archive store at $(store_url nostore)" --store "$(store_url nostore)" \
    restore db.json --output out.bin
  ! store_exists nostore || fail "restore created a store"
  make_input other.bin 1000
  "$agent" --store "$(store_url other)" backup other.bin --streams 1 --manifest other.json 2>/dev/null
  expect 2 "is not in the store $(store_url other); is this the store the backup used?" \
    --store "$(store_url other)" restore db.json --output out.bin

  touch taken.bin
  expect 2 "taken.bin already exists" --store "$store" restore db.json --output taken.bin
  [[ ! -s taken.bin ]] || fail "an existing output was overwritten"

  # A damaged archive file fails its checksum and leaves no output.
  damage "store/files/$(store_ls store/files | grep '\.arch$' | head -n 1)" 10
  expect 1 "does not match the manifest's checksum; it is damaged" --store "$store" restore db.json \
    --output out.bin
  absent 'out.bin*'
  no_uploads_left store "bad_input"
  ;;

interrupts)
  store=$(store_url store)
  # SIGINT and SIGTERM end a job cleanly: a backup invalidates its files and
  # writes no manifest; a restore leaves no output, named or hidden.
  make_input db.bin 300000
  "$agent" --store "$store" --log-level -1 backup db.bin --streams 2 --manifest db.json 2>/dev/null
  printf '[MSSQLAgent]\nDelayPipelineSetup = 1\n' >slow.ini
  for sig in INT TERM; do
    "$agent" --store "$store" --log-level -1 backup db.bin --streams 3 --manifest "b$sig.json" \
      2>err.txt &
    pid=$!
    sleep 1
    kill -"$sig" "$pid"
    start=$(date +%s%N)
    got=0; wait "$pid" || got=$?
    elapsed_ms=$((($(date +%s%N) - start) / 1000000))
    (( elapsed_ms < 1500 )) || fail "the backup took $elapsed_ms ms to stop on SIG$sig"
    want=$([[ $sig == INT ]] && echo 130 || echo 143)
    [[ $got == "$want" ]] || { cat err.txt >&2; fail "backup on SIG$sig exited $got, not $want"; }
    grep -qF "invalidating the job's archive files" err.txt || fail "SIG$sig: no invalidation"
    absent "b$sig.json*"
    no_uploads_left store "the backup stopped by SIG$sig"

    "$agent" --store "$store" --settings slow.ini --log-level -1 restore db.json \
      --output "r$sig.bin" 2>err.txt &
    pid=$!
    sleep 1
    kill -"$sig" "$pid"
    got=0; wait "$pid" || got=$?
    [[ $got == "$want" ]] || { cat err.txt >&2; fail "restore on SIG$sig exited $got, not $want"; }
    absent "r$sig.bin*"
    absent ".r$sig.bin*"
  done
  "$agent" --store "$store" list >list.txt 2>/dev/null
  # Both interrupted jobs failed at once, their files all invalidated.
  [[ $(awk '$2 == "failed" && $5 == "invalidated"' list.txt | wc -l) -ge 2 ]] &&
    ! awk 'NR > 1 && $2 != "complete" && $5 != "invalidated"' list.txt | grep -q . ||
    { cat list.txt; fail "interrupted files not invalidated"; }
  # A write to a closed pipe does not kill the agent.
  "$agent" --store "$store" list 2>err.txt | head -c 1 >/dev/null
  [[ ${PIPESTATUS[0]} != 141 ]] || fail "SIGPIPE killed list"
  ;;

outputs)
  store=$(store_url store)
  # A killed restore leaves nothing by name; with a hidden named file, which
  # file systems without unnamed files need, cleanup removes what is left.
  make_input db.bin 300000
  "$agent" --store "$store" --log-level -1 backup db.bin --streams 3 --manifest db.json 2>/dev/null
  printf '[MSSQLAgent]\nDelayPipelineSetup = 1\n' >slow.ini
  for mode in unnamed named; do
    extra=(); [[ $mode == named ]] && extra=(--named-temporary)
    "$agent" --store "$store" --settings slow.ini --log-level -1 restore db.json \
      --output "out-$mode.bin" "${extra[@]}" 2>/dev/null &
    pid=$!
    sleep 1
    kill -KILL "$pid"
    wait "$pid" || true
    absent "out-$mode.bin"
  done
  absent '.out-unnamed.bin*'
  hidden=$(compgen -G '.out-named.bin.partial-*' || true)
  [[ -n $hidden ]] || fail "the named mode wrote no hidden file"
  # Its record lies with what the store keeps on this host (an object
  # store's beside its logs), and cleanup takes both.
  records=$(dirname "$(store_logs store)")/partial
  [[ -n $(ls -A "$records") ]] || fail "the hidden file $hidden was not recorded in $records"
  mkdir elsewhere
  # (Named from elsewhere: a directory's relative path; an object store's URL.)
  if object_store; then elsewhere=$store; else elsewhere=../store; fi
  (cd elsewhere && "$agent" --store "$elsewhere" cleanup >../cleanup.txt 2>/dev/null)
  grep -qF "removed partial output $PWD/$hidden" cleanup.txt || { cat cleanup.txt; fail "cleanup kept $hidden"; }
  absent '.out-named.bin*'
  [[ -z $(ls -A "$records") ]] || fail "cleanup left records: $(ls -A "$records")"
  # Both modes restore whole files, and --force replaces through a rename.
  "$agent" --store "$store" --log-level -1 restore db.json --output out.bin --named-temporary 2>/dev/null
  cmp db.bin out.bin || fail "named mode restored other bytes"
  echo old >old.bin
  "$agent" --store "$store" --log-level -1 restore db.json --output old.bin --force 2>/dev/null
  cmp db.bin old.bin || fail "--force did not replace the file"
  absent '.old.bin*'
  # A directory as --output takes the file by its recorded name; a directory
  # in the way of that name is never replaced.
  mkdir -p outdir/db.bin
  expect 2 "outdir/db.bin is a directory" --store "$store" restore db.json --output outdir --force
  mkdir linkdir linked && ln -s ../linked linkdir/db.bin
  expect_line 2 "output linkdir/db.bin is a directory" --store "$store" restore db.json \
    --output linkdir --force
  expect 2 "does not exist" --store "$store" restore db.json --output nodir/out.bin
  expect 2 "does not exist" --store "$store" backup db.bin --manifest nodir/m.json
  expect 2 "--media-timeout must be a duration" --store "$store" --media-timeout 0 list
  expect 2 "--media-timeout must be a duration" --store "$store" --media-timeout 25h list
  expect 2 "cannot read settings file nope.ini" --store "$store" --settings nope.ini list
  expect 2 "cannot write the log file nodir/log" --store "$store" --log-file nodir/log list
  ;;

stalled_media)
  store=$(store_url store)
  # Media that make no progress end the restore within the timeout, in the
  # reading and in the closing waits after it, with one line naming the
  # stream and exit 1.
  make_input db.bin 3000000
  "$agent" --store "$store" --log-level -1 backup db.bin --streams 3 --manifest db.json 2>/dev/null
  start=$(date +%s%N)
  expect 1 "the media side delivered 0 of 1000000 bytes" --store "$store" -v \
    --log-level -1 --media-timeout 300ms --test-media-chunk-delay 600000 restore db.json \
    --output out.bin
  elapsed_ms=$((($(date +%s%N) - start) / 1000000))
  (( elapsed_ms < 5000 )) || fail "the stalled restore took $elapsed_ms ms"
  grep -qE "error: stream 1, archive file [0-9]+-1-1: the media side" err.txt ||
    fail "the error does not name the stream and its file"
  grep -qF "no progress from the media side in 300 ms while waiting for data; giving up" err.txt ||
    fail "no line names the stalled stream"
  absent 'out.bin'
  absent '.out.bin*'
  # By default the error is one line, the last, naming where the log is;
  # the platform's line about the stalled stream is in that log.
  expect 1 "the media side delivered 0 of 1000000 bytes" --store "$store" \
    --media-timeout 300ms --test-media-chunk-delay 600000 restore db.json --output out.bin
  [[ $(grep -c 'error' err.txt) == 1 && $(tail -n 1 err.txt) == "pipeline-agent: error: "* ]] ||
    { cat err.txt >&2; fail "the stalled restore did not end in one error line"; }
  log=$(tail -n 1 err.txt | sed -n 's/.* (log: \(.*\))$/\1/p')
  [[ $log == "$(store_logs store)/"*.log ]] || { cat err.txt >&2; fail "the error line names no log"; }
  grep -qF "no progress from the media side in 300 ms" "$log" || fail "the log lacks the platform's line"
  grep -q 'local platform: ' err.txt && fail "the platform's lines reached stderr by default"
  # A restore stopped (SIGSTOP, a shell's Ctrl-Z) for three times
  # --media-timeout while its streams wait for slow media goes on when
  # continued: the stop is no stall of the media side. Each stream's 4
  # chunks come 400 ms apart, so the stop lands inside the restore, and a
  # chunk's read from an object store under load has 600 ms to spare.
  "$agent" --store "$store" --log-level -1 --media-timeout 1s --test-media-chunk-delay 400 \
    restore db.json --output cont.bin 2>err.txt &
  pid=$!
  sleep 1
  kill -STOP "$pid"
  sleep 3
  kill -CONT "$pid"
  got=0; wait "$pid" || got=$?
  [[ $got == 0 ]] || { cat err.txt >&2; fail "the restore stopped for 3 s exited $got"; }
  cmp db.bin cont.bin || fail "the restore stopped for 3 s restored other bytes"
  ;;

memory_limit)
  # On an object store a restore under the same limit once ended with
  # SIGSEGV (exit 139; one run of three, not yet found): kept to a directory
  # until that is found.
  directory_only "memory_limit: a segfault on an object store under the limit is still open"
  if [[ -n ${ASAN_OPTIONS:-} ]]; then
    echo "SKIP: AddressSanitizer's shadow memory does not fit in an address-space limit"
    exit 77
  fi
  store=$(store_url store)
  # Running out of memory (65 streams, each with its threads, in a 400 MB
  # address space) ends a restore with one line and exit 1 wherever it
  # happens, in the job's thread or a stream's, and leaves no output: a file
  # and a stream input, a few times over, as where it runs out varies.
  make_input db.bin 13000000
  "$agent" --store "$store" --log-level -1 --test-skip-pauses backup db.bin - --name s.bin \
    --streams 65 --manifest db.json <db.bin 2>/dev/null
  for round in 1 2 3 4; do
    for file in db.bin s.bin; do
      output=out.bin; [[ $file == s.bin ]] && output=-
      got=0
      (ulimit -v 400000; exec "$agent" --store "$store" restore db.json --file "$file" \
        --output "$output") >out.txt 2>err.txt || got=$?
      [[ $got == 1 && $(grep -c error err.txt) == 1 && $(tail -n 1 err.txt) == "pipeline-agent: error: "* ]] ||
        { cat err.txt >&2; fail "round $round: restoring $file under a 400 MB limit exited $got"; }
      absent 'out.bin*'
      absent '.out.bin*'
    done
  done
  ;;

jobs)
  store=$(store_url store)
  # A job id the store knows is refused before anything is made, also when
  # two backups race for it.
  make_input db.bin 200000
  "$agent" --store "$store" --test-skip-pauses backup db.bin --streams 2 --manifest a.json \
    --job-id 4242 2>/dev/null
  expect 2 "4242" --store "$store" --test-skip-pauses backup db.bin --streams 2 --manifest b.json \
    --job-id 4242
  absent 'b.json*'
  for i in 1 2; do
    "$agent" --store "$store" backup db.bin --streams 2 --manifest "race$i.json" --job-id 777 \
      >/dev/null 2>"race$i.err" &
    eval "pid$i=\$!"
  done
  r1=0; wait "$pid1" || r1=$?
  r2=0; wait "$pid2" || r2=$?
  [[ "$r1 $r2" == "0 2" || "$r1 $r2" == "2 0" ]] || fail "racing job ids exited $r1 and $r2"
  [[ $(compgen -G 'race?.json' | wc -l) == 1 ]] || fail "both racers wrote a manifest"

  # A store named by a relative path (or a URL) works from anywhere, moved
  # or copied; cleanup in a copy leaves the original whole.
  mkdir -p sub/deeper
  if object_store; then from_sub=$store; else from_sub=../../store; fi
  (cd sub/deeper && "$agent" --store "$from_sub" --log-level -1 restore ../../a.json \
    --output ../../from-sub.bin 2>/dev/null)
  cmp db.bin from-sub.bin || fail "restore through a relative store path differs"
  store_copy store copy
  "$agent" --store "$(store_url copy)" --test-skip-pauses --log-level -1 backup db.bin --streams 2 \
    --manifest c.json --fail-stream 1 2>/dev/null && fail "the rehearsed failure passed"
  before=$(store_snapshot store)
  "$agent" --store "$(store_url copy)" cleanup >cleanup.txt 2>/dev/null
  grep -q '^removed ' cleanup.txt || { cat cleanup.txt; fail "cleanup in the copy removed nothing"; }
  no_uploads_left copy "cleanup in the copy"
  [[ -n $before && "$(store_snapshot store)" == "$before" ]] ||
    fail "cleanup in the copy changed the original"
  store_copy --move copy moved
  ! store_exists copy || fail "the moved copy is still there"
  "$agent" --store "$(store_url moved)" --log-level -1 restore a.json --output from-moved.bin 2>/dev/null
  cmp db.bin from-moved.bin || fail "the moved copy restores other bytes"
  "$agent" --store "$store" --log-level -1 restore a.json --output from-store.bin 2>/dev/null
  cmp db.bin from-store.bin || fail "the original no longer restores"

  # check finds damage; a lost catalog is rebuilt from the files.
  "$agent" --store "$(store_url moved)" check >check.txt 2>&1 || { cat check.txt; fail "a sound store fails check"; }
  damage "moved/files/$(store_ls moved/files | grep '\.arch$' | head -n 1)" 10
  expect 1 "problem" --store "$(store_url moved)" check
  grep -q '^problem: ' out.txt || fail "check named no problem"
  lose_catalog store
  expect 1 "" --store "$store" check
  "$agent" --store "$store" check --repair >repair.txt 2>&1 || { cat repair.txt; fail "repair failed"; }
  "$agent" --store "$store" --log-level -1 restore a.json --output after-repair.bin 2>/dev/null
  cmp db.bin after-repair.bin || fail "the repaired store restores other bytes"
  ;;

readonly_and_full)
  # restore, list and check work for a user who may only read the store; a
  # full disk fails a backup with one line and leaves cleanup working.
  # Both are a directory's: who may read or write an object store is its
  # credentials' to say, not the host's file modes, and it has no disk of
  # the host's to fill.
  directory_only "readonly_and_full: file modes and a full disk belong to a store in a directory"
  [[ $(id -u) == 0 ]] || { echo "SKIP: needs root to change user and mount"; exit 0; }
  chmod 755 "$work"
  make_input db.bin 300000
  "$agent" --store store --test-skip-pauses --log-level -1 backup db.bin --streams 3 \
    --manifest db.json 2>/dev/null
  chmod -R a+rX,go-w store db.json
  mkdir out && chown 65534:65534 out
  as_nobody=(setpriv --reuid=65534 --regid=65534 --clear-groups)
  logs_before=$(ls store/logs)
  "${as_nobody[@]}" "$agent" --store store restore db.json --output out/r.bin \
    2>err.txt || { cat err.txt >&2; fail "restore as a reader of the store failed"; }
  cmp db.bin out/r.bin || fail "restore as a reader restored other bytes"
  # A reader's store takes no log: its lines stay off stderr unless -v.
  grep -q 'local platform: ' err.txt && { cat err.txt >&2; fail "a reader's restore showed the log"; }
  [[ $(ls store/logs) == "$logs_before" ]] || fail "a reader's restore wrote a log into the store"
  "${as_nobody[@]}" "$agent" --store store -v restore db.json --output out/v.bin 2>err.txt ||
    { cat err.txt >&2; fail "restore -v as a reader of the store failed"; }
  grep -q -- '-Debug-: Sending FSR_MSG_OPEN_ARCHIVE' err.txt || fail "-v as a reader did not show the log"
  # A reader's failure says there is no log file and how to see the lines.
  "$agent" --store other --test-skip-pauses backup db.bin --streams 1 --manifest other.json 2>/dev/null
  chmod a+r other.json
  got=0
  "${as_nobody[@]}" "$agent" --store store restore other.json --output out/o.bin 2>err.txt || got=$?
  [[ $got == 2 && $(grep -c 'error' err.txt) == 1 ]] &&
    [[ $(tail -n 1 err.txt) == *"is not in the store store; is this the store the backup used? (no log file: the store cannot be written; -v shows the log)" ]] ||
    { cat err.txt >&2; fail "a reader's failure did not end in the one line about its log"; }
  "${as_nobody[@]}" "$agent" --store store list >list.txt 2>err.txt ||
    { cat err.txt >&2; fail "list as a reader of the store failed"; }
  [[ $(awk '$5 == "closed"' list.txt | wc -l) == 3 ]] || fail "list as a reader shows other files"
  "${as_nobody[@]}" "$agent" --store store check >out.txt 2>err.txt ||
    { cat err.txt >&2; fail "check as a reader of the store failed"; }
  # It cannot record when it verified the jobs, and says so.
  grep -q "^note: the dates of this check's verification were not kept: no permission to write the store" out.txt ||
    { cat out.txt >&2; fail "check as a reader did not say it kept no dates"; }
  [[ ! -e store/verified.json ]] || fail "check as a reader recorded dates"
  got=0
  "${as_nobody[@]}" "$agent" --store store --test-skip-pauses backup db.bin \
    --manifest out/m.json >/dev/null 2>err.txt || got=$?
  [[ $got == 2 ]] || { cat err.txt >&2; fail "a backup into a store it cannot write exited $got"; }
  [[ $(cat err.txt) == "pipeline-agent: error: no permission to write the store $PWD/store: Permission denied" ]] ||
    { cat err.txt >&2; fail "the refusal is not the one line naming the store"; }
  got=0
  "${as_nobody[@]}" "$agent" --store store/sub --test-skip-pauses backup db.bin \
    --manifest out/m.json >/dev/null 2>err.txt || got=$?
  [[ $got == 2 && $(cat err.txt) == "pipeline-agent: error: cannot create the store store/sub: Permission denied" ]] ||
    { cat err.txt >&2; fail "a store that cannot be made exited $got without the one line"; }

  mkdir small
  if ! mount -t tmpfs -o size=1m tmpfs small 2>/dev/null; then
    echo "SKIP: cannot mount a small file system here"
    echo "PASS: $case_name"; exit 0
  fi
  trap 'umount "$work/small" 2>/dev/null; rm -rf "$work"' EXIT
  make_input big.bin $((3 * 1024 * 1024))
  expect 1 "pipeline-agent: error: " --store small/store --test-skip-pauses \
    backup big.bin --streams 2 --manifest big.json
  [[ $(grep -c 'error' err.txt) == 1 ]] || fail "the full disk gave more than one error"
  # The last line names the log; it or the log says why (where the disk
  # filled decides which: a write names it, a failed setup leaves it to the log).
  log=$(tail -n 1 err.txt | sed -n 's/.* (log: \(.*\))$/\1/p')
  [[ -n $log ]] || { cat err.txt >&2; fail "the error line names no log"; }
  grep -qE "No space left on device|database or disk is full" err.txt "$log" ||
    { cat err.txt "$log" >&2; fail "nothing says the disk is full"; }
  absent 'big.json*'
  "$agent" --store small/store list >list.txt 2>err.txt || { cat err.txt >&2; fail "list on a full disk failed"; }
  "$agent" --store small/store cleanup >cleanup.txt 2>err.txt ||
    { cat err.txt >&2; fail "cleanup on a full disk failed"; }
  "$agent" --store small/store list >list.txt 2>/dev/null
  if awk 'NR > 1 && $3 != "-"' list.txt | grep -q .; then cat list.txt; fail "cleanup left files of the failed job"; fi
  ;;

json_output)
  # --json prints exactly one document on stdout, for success and failure
  # alike; the human lines stay on stderr.
  make_input db.bin 300001
  chmod 640 db.bin
  printf '#!/bin/sh\necho hi\n' >run.sh
  chmod 755 run.sh
  "$agent" --store store --test-skip-pauses --json backup db.bin run.sh --streams 3 \
    --manifest set.json >backup.json 2>backup.err
  grep -q '^pipeline-agent: backup complete' backup.err || fail "--json hid the human lines"
  mkdir out
  "$agent" --store store restore set.json --output out --json >restore.json 2>restore.err
  "$agent" --store store list --json >list.json 2>/dev/null
  "$agent" --store store list >list.txt 2>/dev/null
  "$agent" --store store --json check >check.json 2>/dev/null
  python3 - <<'PY' || fail "the --json documents are not what they should be"
import hashlib, json, os, stat
def doc(name):
    with open(name) as f:
        return json.load(f)  # fails on anything but exactly one document
def sha(path):
    return hashlib.sha256(open(path, "rb").read()).hexdigest()
m = doc("set.json")
b = doc("backup.json")
assert b["ok"] is True and b["command"] == "backup", b
assert b["jobId"] == m["jobId"] and b["manifest"] == "set.json" and b["streams"] == 3, b
assert b["store"] == os.path.realpath("store"), b["store"]
assert b["log"] == os.path.realpath("store/logs/%d.log" % b["jobId"]) and os.path.isfile(b["log"])
assert [(f["name"], f["size"], f["mode"], f["sha256"]) for f in b["files"]] == [
    ("db.bin", 300001, 0o640, sha("db.bin")),
    ("run.sh", os.path.getsize("run.sh"), 0o755, sha("run.sh"))], b["files"]
assert b["bytes"] == 300001 + os.path.getsize("run.sh")
assert isinstance(b["seconds"], (int, float)) and 0 <= b["seconds"] < 60
ids = [{k: a[k] for k in ("stream", "trellanId", "groupNumber", "afileId")} for a in b["archiveFiles"]]
assert ids == m["archiveFiles"], (ids, m["archiveFiles"])
assert sum(a["size"] for a in b["archiveFiles"]) == b["bytes"]

r = doc("restore.json")
assert r["ok"] is True and r["command"] == "restore" and r["jobId"] != b["jobId"], r
assert r["manifest"] == "set.json" and r["streams"] == 3 and r["bytes"] == b["bytes"], r
assert os.path.isfile(r["log"]) and isinstance(r["seconds"], (int, float))
assert [o["name"] for o in r["outputs"]] == ["db.bin", "run.sh"]
for o in r["outputs"]:
    assert o["path"] == "out/" + o["name"] and o["verified"] is True, o
    assert o["size"] == os.path.getsize(o["path"]) and o["sha256"] == sha(o["path"]), o
    assert o["mode"] == stat.S_IMODE(os.stat(o["path"]).st_mode), o

l = doc("list.json")
assert l["ok"] is True and l["command"] == "list" and l["store"] == b["store"], l
[job] = [j for j in l["jobs"] if j["jobId"] == b["jobId"]]
assert job["state"] == "complete" and job["createdAt"] and job["updatedAt"], job
files = job["archiveFiles"]
assert [{k: f[k] for k in ("stream", "trellanId", "groupNumber", "afileId", "size")} for f in files] == b["archiveFiles"]
assert all(f["state"] == "closed" and len(f["sha256"]) == 64 for f in files), files

# The human table: every column starts (numbers: ends) where its heading
# does, and every row ends with a newline.
text = open("list.txt").read()
assert text.endswith("\n"), repr(text[-20:])
rows = text.splitlines()
head = rows[0]
assert len(rows) == 1 + len(files), rows
for name in ("JOB", "STATE", "ARCHIVE FILE", "STREAM", "FILE STATE", "BYTES", "CREATED"):
    start = head.index(name)
    for row in rows[1:]:
        assert row == row.rstrip(), "padded row: %r" % row
        if name in ("STREAM", "BYTES"):
            end = start + len(name)
            assert row[end - 1] != " " and row[end] == " ", (name, row)
        else:
            assert row[start] != " " and (start == 0 or row[start - 1] == " "), (name, row)

c = doc("check.json")
assert c == {"ok": True, "command": "check", "store": b["store"], "repair": False,
             "files": 3, "bytes": b["bytes"], "problems": [], "repaired": [],
             "jobsVerified": [b["jobId"]]}, c
PY

  # A failure: the document says ok false, the error and the exit code, and
  # the error is the one line on stderr, also for bad input (exit 2).
  json_failure() {
    local status=$1 what=$2
    shift 2
    local got=0
    "$agent" "$@" >fail.json 2>fail.err || got=$?
    [[ $got == "$status" ]] || { cat fail.err >&2; fail "'$*' exited $got, not $status"; }
    [[ $(wc -l <fail.err) == 1 ]] || { cat fail.err >&2; fail "'$*': not one line on stderr"; }
    python3 - "$status" "$what" "$@" <<'PY' || { cat fail.json fail.err >&2; fail "'$*': wrong failure document"; }
import json, sys
status, what = int(sys.argv[1]), sys.argv[2]
d = json.load(open("fail.json"))
line = open("fail.err").read()
assert d["ok"] is False and d["exitCode"] == status and what in d["error"], d
assert line.startswith("pipeline-agent: error: " + d["error"]), (line, d)
assert d["command"] in sys.argv[3:], d
PY
  }
  json_failure 2 "already exists" --store store restore set.json --output out --json
  json_failure 2 "--streams must be from 1 to 65, not -1" --store store backup db.bin \
    --streams -1 --manifest x.json --json
  json_failure 2 "is not a directory" --store db.bin --json list
  mkdir adir
  json_failure 2 "manifest adir is not a regular file" --json --store store restore adir \
    --output out
  json_failure 1 "writing stream 2 failed" --store store --test-skip-pauses -q backup db.bin \
    --streams 2 --manifest f.json --fail-stream 2 --json
  [[ $(python3 -c 'import json; print(json.load(open("fail.json"))["log"])') == "$PWD/store/logs/"*.log ]] ||
    fail "a failed job's document names no log"
  file=$(ls store/files/*.arch | head -n 1)
  printf 'XXXX' | dd of="$file" bs=1 seek=10 conv=notrunc status=none
  json_failure 1 "1 problem(s)" --store store check --json
  python3 -c 'import json; d = json.load(open("fail.json")); assert len(d["problems"]) == 1 and "SHA-256" in d["problems"][0], d' ||
    fail "check's failure document does not list the problem"
  # Commands without a document refuse --json; a command line not understood
  # gets its document too.
  json_failure 2 "--json is for list, check, backup, restore and copy, not cleanup" --store store \
    cleanup --json
  json_failure 2 "unknown option --bogus (see --help)" --store store \
    list --json --bogus
  # -q with --json: nothing on stderr, the document on stdout.
  mkdir quiet
  "$agent" --store store -q restore set.json --file run.sh --output quiet --json >q.json 2>q.err
  [[ ! -s q.err ]] || fail "-q --json printed on stderr"
  python3 -c 'import json; d = json.load(open("q.json")); assert d["ok"] and [o["name"] for o in d["outputs"]] == ["run.sh"], d' ||
    fail "the quiet restore's document is wrong"
  # A signal ends a restore with its failure document.
  printf '[MSSQLAgent]\nDelayPipelineSetup = 1\n' >slow.ini
  "$agent" --store store --settings slow.ini -q restore set.json --output sig.bin --file db.bin \
    --json >sig.json 2>sig.err &
  pid=$!
  sleep 1
  kill -INT "$pid"
  got=0; wait "$pid" || got=$?
  [[ $got == 130 ]] || { cat sig.err >&2; fail "the interrupted restore exited $got"; }
  python3 -c 'import json; d = json.load(open("sig.json")); assert not d["ok"] and d["exitCode"] == 130 and "interrupted" in d["error"], d' ||
    { cat sig.json >&2; fail "the interrupted restore's document is wrong"; }
  absent 'sig.bin*'
  ;;

modes)
  # Every output gets the mode its source had, whichever way it is
  # restored; the umask does not change a recorded mode.
  make_input data.db 200001
  make_input run.sh 3000
  make_input secret.key 100
  chmod 640 data.db; chmod 755 run.sh; chmod 600 secret.key
  "$agent" --store store --test-skip-pauses --log-level -1 backup data.db run.sh secret.key \
    --streams 2 --manifest set.json 2>/dev/null
  [[ $(stat -c %a set.json) == $(printf '%o' $((0666 & ~$(umask)))) ]] ||
    fail "the manifest is $(stat -c %a set.json), not 0666 less the umask"
  mode_is() { [[ $(stat -c %a "$1") == "$2" ]] || fail "$1 is $(stat -c %a "$1"), not $2"; }
  mkdir whole named
  (umask 077 && "$agent" --store store -q restore set.json --output whole)
  mode_is whole/data.db 640; mode_is whole/run.sh 755; mode_is whole/secret.key 600
  "$agent" --store store -q restore set.json --output named --named-temporary
  mode_is named/data.db 640; mode_is named/run.sh 755; mode_is named/secret.key 600
  "$agent" --store store -q restore set.json --file run.sh --output one.sh
  mode_is one.sh 755
  "$agent" --store store -q restore set.json --file data.db --output one.db --named-temporary
  mode_is one.db 640
  # A replaced file takes the source's mode, not the old file's.
  echo old >old.db && chmod 666 old.db
  "$agent" --store store -q restore set.json --file data.db --output old.db --force
  mode_is old.db 640
  cmp data.db old.db || fail "--force restored other bytes"
  # A single file's set, restored to a path.
  "$agent" --store store --test-skip-pauses -q backup run.sh --streams 1 --manifest single.json
  "$agent" --store store -q restore single.json --output single.sh
  mode_is single.sh 755
  # The first format recorded no mode: its outputs get 0666 less the umask,
  # as a new file would, named or unnamed.
  python3 - single.json v1.json <<'PY'
import json, sys
m = json.load(open(sys.argv[1]))
f = m["files"][0]
json.dump({"format": m["format"], "version": 1, "jobId": m["jobId"],
           "source": {"name": f["name"], "size": f["size"], "sha256": f["sha256"]},
           "streams": f["streams"]}, open(sys.argv[2], "w"))
PY
  (umask 022 && "$agent" --store store -q restore v1.json --output v1-022)
  mode_is v1-022 644
  (umask 027 && "$agent" --store store -q restore v1.json --output v1-027 --named-temporary)
  mode_is v1-027 640
  (umask 077 && "$agent" --store store -q restore v1.json --output v1-077 --json >v1.json.out)
  mode_is v1-077 600
  python3 -c 'import json; assert json.load(open("v1.json.out"))["outputs"][0]["mode"] == 0o600' ||
    fail "the document does not give the mode the output got"
  ;;

store_places)
  # Nothing the agent writes may land in a store: outputs, manifests, traces
  # and logs named inside it, by any spelling or through a link, with or
  # without --force, are refused before any work and the store is left as
  # it was, byte for byte.
  make_input db.bin 300001
  "$agent" --store store --test-skip-pauses backup db.bin --manifest db.json 2>/dev/null
  mkdir -p other/sub out
  "$agent" --store other/sub --test-skip-pauses backup db.bin --manifest other.json 2>/dev/null
  ln -s store linked
  ln -s ../store/files out/into-files
  snapshot() { (cd store && find . -print0 | sort -z | xargs -0 stat -c '%n %s %Y' && find . -type f ! -path './logs/*' -print0 | sort -z | xargs -0 sha256sum); }
  before=$(snapshot)
  s=$(cd store && pwd -P)
  refused() {  # STATUS-less: every one exits 2 naming the store
    expect 2 "lies in the archive store" "$@"
    [[ $(snapshot) == "$before" ]] || fail "'$*' changed the store"
  }
  refused --store store restore db.json --output store/files/1.arch --force
  refused --store store restore db.json --output "$s/store.ini" --force
  refused --store store restore db.json --output ./store/../store/db.bin
  refused --store store restore db.json --output linked/files --force
  refused --store store restore db.json --output out/into-files/db.bin
  refused --store store restore db.json --output store
  refused --store store restore db.json --output out/db.bin --trace linked/t.json
  refused --store store restore db.json --output other/sub/db.bin
  refused --store store --test-skip-pauses backup db.bin --manifest store/m.json
  refused --store store --test-skip-pauses backup db.bin --manifest linked/logs/m.json
  refused --store store --test-skip-pauses backup db.bin --manifest m2.json --trace "$s/jobs/t.json"
  refused --store store --log-file linked/catalog.db list
  # A store about to be made is a store too.
  mkdir fresh
  expect 2 "lies in the archive store" --store fresh --test-skip-pauses backup db.bin --manifest fresh/m.json
  [[ -z $(ls -A fresh) ]] || fail "a refused backup made a store in fresh"
  "$agent" --store store restore db.json --output out/db.bin 2>/dev/null
  cmp db.bin out/db.bin || fail "a restore outside the store failed"
  ;;
store_modes)
  # A store and all it holds are its owner's alone whatever the umask, or
  # readable by the group it is shared with; check says when others may
  # write it.
  make_input db.bin 100000
  for mask in 000 022 077; do
    (umask "$mask" && "$agent" --store "s$mask" --test-skip-pauses backup db.bin --manifest "m$mask.json" 2>/dev/null)
    (umask "$mask" && "$agent" --store "s$mask" list >/dev/null 2>&1)
    wrong=$(find "s$mask" \( -type d ! -perm 0700 \) -o \( -type f ! -perm 0600 \) -o \( ! -type d ! -type f \))
    [[ -z $wrong ]] || { ls -lR "s$mask" >&2; fail "umask $mask: not owner-only: $wrong"; }
    [[ $(find "s$mask" -type f | wc -l) -ge 6 ]] || fail "umask $mask: the store holds too few files"
  done
  if [[ $(id -u) == 0 ]] && getent group nogroup >/dev/null; then
    (umask 077 && "$agent" --store shared --share-group nogroup --test-skip-pauses backup db.bin --manifest ms.json 2>/dev/null)
    grep -qx 'group=nogroup' shared/store.ini || fail "store.ini does not record the group"
    wrong=$(find shared \( -type d ! -perm 0750 \) -o \( -type f ! -perm 0640 \) -o ! -group nogroup)
    [[ -z $wrong ]] || { ls -lR shared >&2; fail "a shared store: not 0750/0640 of nogroup: $wrong"; }
    expect_line 2 "the store $(cd s022 && pwd -P) is shared with no group; a group can be named only for a new store" \
      --store s022 --share-group nogroup list
  fi
  chmod o+w s022/files
  expect_line 1 "the store $(cd s022 && pwd -P) has 1 problem(s) (log: $(cd s022 && pwd -P)/logs/check.log)" --store s022 check
  grep -qx "problem: $(cd s022 && pwd -P)/files can be written by users other than its owner (mode 0702); chmod go-w $(cd s022 && pwd -P)/files" out.txt ||
    { cat out.txt >&2; fail "check did not name the store's folder that others may write"; }
  ;;
changed_inputs)
  # A file that changes while it is read fails the job: one line naming it
  # and what changed, the job's archive files invalidated, no manifest. The
  # test hook changes it after the reader's first chunk, mid-file.
  export TZ=UTC
  changed() {  # $1: the change, made after the first chunk; $2: how the line tells it
    make_input data.bin $((3 * 1024 * 1024))
    touch -d '2000-01-01 00:00:00.25' data.bin
    expect 1 "changed while it was read" --store store --test-skip-pauses backup data.bin \
      --streams 4 --manifest m.json --test-after-first-chunk "$1"
    local job
    job=$(sed -nE '1s/.* as job ([0-9]+) .*/\1/p' err.txt)
    [[ $(tail -n 1 err.txt) == "pipeline-agent: error: data.bin changed while it was read ($2); nothing was backed up (log: $PWD/store/logs/$job.log)" ]] ||
      { cat err.txt >&2; fail "the change '$1' was not told as: $2"; }
    grep -qF "invalidating the job's archive files" err.txt || fail "'$1': no word of the invalidation"
    absent 'm.json*'
  }
  changed 'echo grown >>"$1"' 'its size went from 3145728 to 3145734 bytes'
  changed 'truncate -s 1000 "$1"' 'its size went from 3145728 to 1000 bytes'
  changed "touch -d '2001-01-01 00:00:00.5' \"\$1\"" \
    'its modification time went from 2000-01-01T00:00:00.250000000Z to 2001-01-01T00:00:00.500000000Z'
  changed 'cp "$1" "$1.new" && mv "$1.new" "$1"' 'its name now names another file'
  changed 'rm "$1"' 'it was removed or renamed'
  # Bytes rewritten in place, the size kept: the modification time tells.
  make_input data.bin $((3 * 1024 * 1024))
  touch -d '2000-01-01 00:00:00.25' data.bin
  expect 1 "data.bin changed while it was read (its modification time went from 2000-01-01T00:00:00.250000000Z to $(date -u +%Y-%m-%d)T" \
    --store store --test-skip-pauses backup data.bin --streams 4 --manifest m.json \
    --test-after-first-chunk 'printf x | dd of="$1" bs=1 seek=3000000 conv=notrunc status=none'
  # The second file of a set, changed: the line names it, not the first.
  make_input a.bin 500000
  make_input b.bin 500000
  expect 1 "error: b.bin changed while it was read (its size went from 500000 to 500001 bytes); nothing was backed up" \
    --store store --test-skip-pauses backup a.bin b.bin --streams 2 --manifest m.json \
    --test-after-first-chunk 'if [ "$1" = b.bin ]; then printf x >>"$1"; fi'
  absent 'm.json*'
  # None of these jobs completed; every archive file they made is invalidated.
  "$agent" --store store list >list.txt 2>/dev/null
  grep -q ' complete ' list.txt && { cat list.txt; fail "a job of a changed input completed"; }
  [[ $(awk 'NR > 1 && $3 != "-" && $5 != "invalidated"' list.txt | wc -l) == 0 ]] ||
    { cat list.txt; fail "a changed input's job left files that are not invalidated"; }
  # The same hook with no change: the job completes, the data restores.
  make_input data.bin $((3 * 1024 * 1024))
  "$agent" --store store --test-skip-pauses -q backup data.bin --streams 4 --manifest ok.json \
    --test-after-first-chunk 'cat "$1" >/dev/null'
  "$agent" --store store -q restore ok.json --output ok.bin
  cmp data.bin ok.bin || fail "an unchanged file restored other bytes"
  # A file whose size says less than it holds is refused before any work:
  # backed up by its size, it would come back empty.
  rm -rf store
  expect_line 2 '/proc/self/status has more bytes than its size (0) says; copy it to a regular file first' \
    --store store backup /proc/self/status --manifest p.json
  [[ ! -e store && ! -e p.json ]] || fail "a refused input left a store or a manifest"
  ;;

sqlite_snapshots)
  # SQLite databases under continuous commits by another process, in both
  # journal modes: each backup restores a sound database holding a
  # committed state from within the backup; with --raw the plain bytes are
  # read, and the change fails the job. A database's copy lies in the
  # store's tmp/, or for an object store in its directory on this host.
  store=$(store_url store)
  tmp=$(store_host store)/tmp
  if object_store; then where="on this host, in $tmp,"; else where="in the store"; fi
  cat >writer.py <<'PY'
import sqlite3, sys, time
path, mode, ready = sys.argv[1:4]
db = sqlite3.connect(path, timeout=60, isolation_level=None)
db.execute("PRAGMA journal_mode=" + mode)
db.execute("CREATE TABLE t(id INTEGER PRIMARY KEY, v BLOB)")
db.execute("BEGIN")
for i in range(3000):
    db.execute("INSERT INTO t(v) VALUES (randomblob(1500))")
db.execute("COMMIT")
open(ready, "w").close()
while True:
    db.execute("BEGIN IMMEDIATE")
    for i in range(5):
        db.execute("INSERT INTO t(v) VALUES (randomblob(1500))")
    db.execute("UPDATE t SET v = randomblob(1500) WHERE id = abs(random()) % 3000 + 1")
    db.execute("COMMIT")
    time.sleep(0.002)
PY
  rows() {
    python3 -c 'import sqlite3, sys; print(sqlite3.connect(sys.argv[1], timeout=60).execute("SELECT count(*) FROM t").fetchone()[0])' "$1"
  }
  writer=
  trap '[[ -n $writer ]] && kill "$writer" 2>/dev/null; rm -rf "$work"' EXIT
  for mode in wal delete; do
    rm -f db.sqlite db.sqlite-* ready
    python3 writer.py db.sqlite "$mode" ready &
    writer=$!
    for _ in $(seq 600); do [[ -e ready ]] && break; sleep 0.05; done
    [[ -e ready ]] || fail "$mode: the writer did not start"
    for run in 1 2 3; do
      before=$(rows db.sqlite)
      "$agent" --store "$store" --test-skip-pauses backup db.sqlite --streams 4 \
        --manifest "$mode-$run.json" --test-after-first-chunk "ls '$tmp' >during.txt 2>/dev/null; exit 0" \
        2>backup.txt || { cat backup.txt >&2; fail "$mode run $run: the backup failed"; }
      after=$(rows db.sqlite)
      # In WAL mode the database is read where it lies, with no copy; in a
      # rollback journal's mode it is copied into tmp/.
      if [[ $mode == wal ]]; then
        grep -qE '^pipeline-agent: db.sqlite: a SQLite database in WAL mode, backed up as one committed state where it lies, under a read transaction held until the job ends: no copy in the store, [0-9]+ bytes of its -wal in memory$' backup.txt ||
          { cat backup.txt >&2; fail "$mode run $run: no word of the database read in place"; }
        [[ ! -s during.txt ]] ||
          fail "$mode run $run: the store held while the job ran: $(cat during.txt)"
      else
        grep -qE "^pipeline-agent: db.sqlite: a SQLite database, backed up as one committed state: its snapshot takes [0-9]+ bytes $where until the job ends; the copy held a read transaction for [0-9]+\.[0-9]{3} s\$" backup.txt ||
          { cat backup.txt >&2; fail "$mode run $run: no word of the snapshot"; }
        [[ $(cat during.txt) =~ ^[0-9]+-1\.sqlite$ ]] || fail "$mode run $run: no copy while the job ran: $(cat during.txt)"
      fi
      mkdir "$mode-$run"
      "$agent" --store "$store" -q restore "$mode-$run.json" --output "$mode-$run"
      python3 - "$mode-$run/db.sqlite" "$before" "$after" "$mode" <<'PY' || fail "$mode run $run: the restored database is not a committed state"
import sqlite3, sys
path, before, after, mode = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
db = sqlite3.connect(path)
check = db.execute("PRAGMA integrity_check").fetchall()
count = db.execute("SELECT count(*) FROM t").fetchone()[0]
journal = db.execute("PRAGMA journal_mode").fetchone()[0]
print(f"{mode}: {before} <= {count} <= {after}, integrity {check}, journal {journal}")
sys.exit(0 if check == [("ok",)] and before <= count <= after and journal == mode else 1)
PY
      absent "$tmp/*"
    done
    # --raw reads the file's bytes; the hook waits (bounded) until the
    # writer has changed the file, which in WAL mode only a checkpoint does.
    expect 1 "error: db.sqlite changed while it was read (" --store "$store" --test-skip-pauses \
      backup db.sqlite --raw --streams 4 --manifest "$mode-raw.json" --test-after-first-chunk \
      'm=$(stat -c %y "$1"); for i in $(seq 400); do [ "$(stat -c %y "$1")" != "$m" ] && exit 0; sleep 0.05; done; exit 1'
    absent "$mode-raw.json"
    kill "$writer"
    wait "$writer" 2>/dev/null || true
    writer=
  done
  # A writer that holds the lock for longer than the snapshot waits fails the
  # job with one line; the job is marked failed and leaves no snapshot.
  python3 - held.sqlite held-ready <<'PY' &
import sqlite3, sys, time
db = sqlite3.connect(sys.argv[1], isolation_level=None)
db.execute("CREATE TABLE t(v)")
db.execute("BEGIN EXCLUSIVE")
db.execute("INSERT INTO t VALUES (1)")
open(sys.argv[2], "w").close()
time.sleep(120)
PY
  writer=$!
  for _ in $(seq 600); do [[ -e held-ready ]] && break; sleep 0.05; done
  expect 1 "error: cannot take a consistent snapshot of the SQLite database held.sqlite: a writer held its lock for longer than 300 ms; nothing was backed up (log: $(store_logs store)/" \
    --store "$store" --test-skip-pauses backup held.sqlite --manifest held.json --test-sqlite-busy-wait 300
  [[ $(wc -l <err.txt) == 1 ]] || { cat err.txt >&2; fail "a held lock was not told in one line"; }
  job=$(sed -nE 's|.*/logs/([0-9]+)\.log\)$|\1|p' err.txt)
  "$agent" --store "$store" list >list.txt 2>/dev/null
  [[ $(awk -v job="$job" '$1 "" == job {print $2, $3}' list.txt) == "failed -" ]] ||
    { cat list.txt; fail "the job that waited in vain is not failed without files"; }
  absent "$tmp/*" && absent 'held.json'
  kill "$writer"; wait "$writer" 2>/dev/null || true; writer=
  # A live job's snapshot is held: a cleanup while it is read leaves it; a
  # killed job's is removed by the next cleanup, and only that.
  python3 - quiet.sqlite <<'PY'
import sqlite3, sys
db = sqlite3.connect(sys.argv[1])
db.execute("CREATE TABLE t(v)")
db.executemany("INSERT INTO t VALUES (?)", [(i,) for i in range(1000)])
db.commit()
PY
  export AGENT=$agent
  "$agent" --store "$store" --test-skip-pauses -q --json backup quiet.sqlite --manifest live.json \
    --test-after-first-chunk "\"\$AGENT\" --store '$store' cleanup >live-cleanup.txt 2>/dev/null; ls '$tmp' >live-tmp.txt" \
    >live.out
  # The document tells the snapshot's size (the file's, as backed up) and
  # the read transaction's time.
  python3 - live.out <<'PY' || fail "the document does not tell the snapshot"
import json, sys
doc = json.load(open(sys.argv[1]))
(snap,) = doc["sqliteSnapshots"]
assert snap["name"] == "quiet.sqlite" and snap["bytes"] == doc["files"][0]["size"] > 0, doc
assert 0 <= snap["readSeconds"] < 60, doc
PY
  [[ $(cat live-tmp.txt) =~ ^[0-9]+-1\.sqlite$ ]] || { cat live-cleanup.txt live-tmp.txt; fail "a live job's snapshot was not held"; }
  grep -q snapshot live-cleanup.txt && fail "a cleanup removed a live job's snapshot"
  absent "$tmp/*"
  echo keep >"$tmp/notes.txt"
  got=0
  "$agent" --store "$store" --test-skip-pauses backup quiet.sqlite --manifest killed.json \
    --test-after-first-chunk 'kill -9 $PPID' 2>/dev/null && got=0 || got=$?
  [[ $got == 137 ]] || fail "the killed backup exited $got"
  left=$(cd "$tmp" && ls -- *.sqlite)
  [[ $left =~ ^[0-9]+-1\.sqlite$ ]] || fail "the killed backup left no snapshot: $left"
  "$agent" --store "$store" cleanup >cleanup.txt 2>/dev/null
  grep -qxF "removed SQLite snapshot tmp/$left of a backup that did not end" cleanup.txt ||
    { cat cleanup.txt; fail "cleanup did not say it removed the snapshot"; }
  [[ $(ls "$tmp") == notes.txt ]] || fail "cleanup left in $tmp: $(ls "$tmp")"
  # A database's own journal or -wal named beside it is refused before any
  # work: restored with the snapshot, from another moment, it would be
  # applied to it.
  mkdir own && cp quiet.sqlite own/app.db && echo x >own/app.db-journal
  expect_line 2 'own/app.db-journal belongs to the SQLite database own/app.db, which is backed up as a consistent snapshot of its own; leave own/app.db-journal out, or give --raw' \
    --store own/store backup own/app.db own/app.db-journal --manifest own.json
  absent own.json && absent own/store
  ;;

rate_limit)
  # --limit-rate paces every stream of a job together, on backup and
  # restore, files and stream inputs alike, and the live line shows it; a
  # failure or a signal ends a job waiting on it at once. --nice lowers the
  # job's CPU and I/O priority.
  make_input db.bin $((3 << 20))
  # What a command took, in ms; whether $1 lies from $2 to $3 ms.
  elapsed() { local started=${EPOCHREALTIME/./}; "$@"; echo $(((${EPOCHREALTIME/./} - started) / 1000)); }
  within() { (($1 >= $2 && $1 < $3)); }
  took=$(elapsed "$agent" --store store --test-skip-pauses -q backup db.bin --streams 3 \
    --manifest m.json --limit-rate 1M)
  within "$took" 2800 15000 || fail "3 MiB over 3 streams at 1M took $took ms"
  mkdir out
  took=$(elapsed "$agent" --store store -q restore m.json --output out --limit-rate 2M --nice)
  within "$took" 1300 15000 || fail "a restore of 3 MiB at 2M took $took ms"
  cmp db.bin out/db.bin || fail "the paced restore differs"
  took=$(elapsed "$agent" --store store --test-skip-pauses -q backup --from-command 'head -c 2097152 /dev/zero' \
    --name zeros --streams 2 --manifest z.json --limit-rate 1M)
  within "$took" 1800 15000 || fail "a stream input of 2 MiB at 1M took $took ms"
  # The live line, on a terminal.
  script -qfec "$agent --store store --test-skip-pauses backup db.bin --manifest tty.json --limit-rate 2M" \
    tty.log >/dev/null
  grep -qF "limit 2.0 MiB/s" tty.log || { cat -A tty.log >&2; fail "the live line does not show the limit"; }
  # A failure, and a signal, end a job whose streams wait on a limit that
  # would take them minutes a chunk: here the reader finds the file changed
  # while a writer waits out its first half.
  make_input half.bin $((1 << 20))
  took=$(elapsed expect 1 "half.bin changed while it was read" --store store --test-skip-pauses \
    backup half.bin --streams 2 --manifest f.json --limit-rate 1K --test-after-first-chunk 'echo more >>"$1"')
  within "$took" 0 15000 || fail "a failed job waited on the limit for $took ms"
  ends_on_sigterm 1 10 "$agent" --store store --test-skip-pauses -q backup db.bin --streams 2 \
    --manifest s.json --limit-rate 1K
  # --nice: what the job's threads run at.
  "$agent" --store store --test-skip-pauses -q backup db.bin --streams 1 --manifest n.json --nice \
    --test-after-first-chunk 'cut -d" " -f19 /proc/$PPID/stat >nice.txt; ionice -p $PPID >ionice.txt'
  [[ $(cat nice.txt) == "$(($(cut -d' ' -f19 /proc/$$/stat) + 10))" ]] ||
    fail "--nice ran at niceness $(cat nice.txt)"
  [[ $(cat ionice.txt) == "best-effort: prio 7" ]] || fail "--nice ran at I/O priority $(cat ionice.txt)"
  expect_line 2 "--limit-rate must be bytes per second from 1K to 1024G (800K, 50M, 1G), not 5X" \
    --store fresh restore m.json --output never --limit-rate 5X
  [[ ! -e fresh && ! -e never ]] || fail "a refused rate left a store or an output"
  ;;

check_rotation)
  # check --max-bytes reads the jobs never verified first, then those
  # verified longest ago, so that nightly runs take every job in turn; a
  # check that passed records when it read each job whole (list --json's
  # lastVerified), one that found a problem records nothing.
  st=$(store_url store)
  printf 'key file content, thirty-two bytes or more, any bytes at all\n' >key
  chmod 600 key
  for i in 1 2 3 4; do make_input "j$i.bin" 300000; done
  "$agent" --store "$st" --test-skip-pauses -q backup j1.bin --manifest m1.json
  "$agent" --store "$st" --test-skip-pauses -q backup j2.bin --manifest m2.json
  "$agent" --store "$st" --test-skip-pauses -q backup j3.bin --manifest m3.json --compress zstd \
    --encrypt --key-file key
  "$agent" --store "$st" --test-skip-pauses -q backup j4.bin --manifest m4.json
  ids=($(for i in 1 2 3 4; do python3 -c 'import json, sys; print(json.load(open(sys.argv[1]))["jobId"])' "m$i.json"; done))
  # The jobs a bounded check read whole, as its --json says; and each job's
  # lastVerified ("null" when never), "JOB DATE" a line.
  checked() {
    "$agent" --store "$st" --json check --max-bytes "$1" --key-file key 2>check.err >check.json ||
      { cat check.json check.err >&2; fail "check --max-bytes $1 failed"; }
    python3 -c 'import json, sys; print(*json.load(sys.stdin)["jobsVerified"])' <check.json
  }
  verified() {
    "$agent" --store "$st" --json list 2>/dev/null |
      python3 -c 'import json, sys; [print(j["jobId"], j["lastVerified"] or "null") for j in json.load(sys.stdin)["jobs"]]'
  }
  [[ $(verified | awk '$2 != "null"') == "" ]] || fail "a job was verified before any check"
  [[ $(checked 650000) == "${ids[0]} ${ids[1]}" ]] || fail "the first check read $(cat check.json)"
  [[ $(verified | awk '$2 != "null" {print $1}' | xargs) == "${ids[0]} ${ids[1]}" ]] ||
    { verified >&2; fail "list does not show the two jobs verified"; }
  [[ $(checked 350000) == "${ids[2]}" ]] || fail "the second check read $(cat check.json)"
  [[ $(checked 350000) == "${ids[3]}" ]] || fail "the third check read $(cat check.json)"
  python3 -c 'import json, sys; sys.exit(not json.load(sys.stdin)["unverified"])' <check.json ||
    fail "the third check did not name what it left unread"
  # Every job verified: the one verified longest ago is read first.
  if ! object_store; then
    python3 - "${ids[@]}" <<'PY'
import json, sys
ids = sys.argv[1:]
record = json.load(open("store/verified.json"))
assert sorted(record["jobs"]) == sorted(ids), record
record["jobs"][ids[1]] = "2020-01-01T00:00:00Z"
record["jobs"][ids[3]] = "2021-01-01T00:00:00Z"
open("store/verified.json", "w").write(json.dumps(record))
PY
    [[ $(checked 350000) == "${ids[1]}" ]] || fail "a check did not read the job verified longest ago first: $(cat check.json)"
    [[ $(checked 350000) == "${ids[3]}" ]] || fail "a check did not read the next oldest: $(cat check.json)"
  fi
  before=$(verified)
  [[ $(echo "$before" | awk '$2 == "null"') == "" ]] || { echo "$before" >&2; fail "a job is left unverified"; }
  # A damaged job fails the check, which then records nothing.
  damage "store/files/$(store_ls store/files | grep '\.arch$' | sort -V | head -n 1)" 100
  "$agent" --store "$st" check >out.txt 2>err.txt && fail "check passed a damaged archive file"
  [[ $(verified) == "$before" ]] || fail "a check that failed recorded dates"
  ;;

many_inputs)
  # A set of 2,000 files backs up and restores under a limit of 1,024 open
  # files: each input and each output is open only while it is read or
  # written.
  mkdir in out
  for i in $(seq 2000); do printf 'file %d\n%s' "$i" "$RANDOM$RANDOM" >"in/f$i"; done
  (
    ulimit -n 1024
    "$agent" --store store --test-skip-pauses -q backup in/f* --streams 4 --manifest many.json
    "$agent" --store store -q restore many.json --output out
  ) 2>many.err || { cat many.err >&2; fail "a set of 2000 files under ulimit -n 1024 failed"; }
  diff -r in out || fail "the 2000 files restored other bytes"
  [[ $(find out -type f | wc -l) == 2000 ]] || fail "the restore made other files than the set's"
  ;;
*)
  fail "unknown case $case_name"
  ;;
esac
# Run on an object store, a case makes every store there: none in a directory.
if object_store; then
  made=$(cd "$work" && find . -name store.ini)
  [[ -z $made ]] || fail "a store was made in a directory, not the object store: $made"
fi
echo "PASS: $case_name"
