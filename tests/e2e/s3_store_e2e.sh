#!/usr/bin/env bash
# pipeline-agent on a store in object storage (s3://), its catalog on the
# test PostgreSQL server: the object store is the ctest fixture's (Swift with
# s3api, tests/objectstore/s3_server.sh) or the one PIPELINESETUP_TEST_S3
# names. Exits 77 (skipped) without either server.
# Usage: s3_store_e2e.sh AGENT S3_TOOL CASE
set -euo pipefail

agent=$1
s3tool=$2
case_name=$3
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=s3_env.sh
source "$(dirname "$0")/s3_env.sh"
# shellcheck source=lib.sh
source "$here/lib.sh" s3-store-e2e
export HOME=$work  # the store's logs stay under $HOME/.local/state
export PIPELINE_CATALOG=$PIPELINESETUP_TEST_PG
# A store of this run's own in the bucket.
prefix=e2e-$case_name-$$-$RANDOM
store=$PIPELINESETUP_TEST_S3/$prefix

make_input() { head -c "$2" /dev/urandom >"$1"; }

uploads_left() { "$s3tool" uploads "$1" | grep -c . || true; }

case $case_name in
round_trip)
  # A set of two files and a tree, restored whole, by file (streams sought
  # to the file's parts) and from the store's copy of the manifest; list
  # and check see what the objects hold.
  make_input a.bin $((2 * 1024 * 1024 + 5))
  make_input b.bin 700001
  "$agent" --store "$store" --test-skip-pauses -q backup a.bin b.bin --streams 3 --manifest set.json
  mkdir out
  "$agent" --store "$store" -q restore set.json --output out
  cmp a.bin out/a.bin || fail "a.bin restored other bytes"
  cmp b.bin out/b.bin || fail "b.bin restored other bytes"
  "$agent" --store "$store" -q restore set.json --file b.bin --output b.only
  cmp b.bin b.only || fail "b.bin restored by itself differs"
  mkdir -p tree/sub && make_input tree/sub/c.bin 300000 && make_input tree/d.bin 12345
  mkdir tree.out
  "$agent" --store "$store" --test-skip-pauses -q backup tree --streams 2 --manifest tree.json
  "$agent" --store "$store" -q restore tree.json --output tree.out --file tree/sub
  cmp tree/sub/c.bin tree.out/tree/sub/c.bin || fail "a subtree restored other bytes"
  [[ ! -e tree.out/tree/d.bin ]] || fail "restoring a subtree restored more"
  job=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["jobId"])' set.json)
  mkdir by-job
  "$agent" --store "$store" -q restore --job "$job" --output by-job
  cmp a.bin by-job/a.bin || fail "a restore by job id differs"
  "$agent" --store "$store" list >list.txt 2>list.err
  [[ $(grep -c ' closed ' list.txt) == 5 ]] || { cat list.txt >&2; fail "list does not show 5 closed files"; }
  grep -qF "2 jobs, 5 archive files in $store" list.err || { cat list.err >&2; fail "list's count"; }
  "$agent" --store "$store" check 2>check.err || { cat check.err >&2; fail "check failed"; }
  grep -qF "the store $store is sound: 5 archive files" check.err || { cat check.err >&2; fail "check's line"; }
  # The archive data are objects of exactly the bytes written, beside their
  # descriptions; nothing is left half-uploaded.
  "$s3tool" keys "$store/files/" >keys.txt
  [[ $(grep -c '\.arch ' keys.txt) == 5 && $(grep -c '\.meta ' keys.txt) == 5 ]] ||
    { cat keys.txt >&2; fail "files/ does not hold 5 data objects and 5 descriptions"; }
  [[ $(uploads_left "$store/") == 0 ]] || fail "a finished backup left an upload"
  # The secret is in no object of the store and no log.
  for key in $("$s3tool" keys "$store/" | cut -d' ' -f1); do
    "$s3tool" cat "$PIPELINESETUP_TEST_S3/$key" >object.bin
    ! grep -qF "$AWS_SECRET_ACCESS_KEY" object.bin || fail "the secret is in $key"
  done
  ! grep -rqF "$AWS_SECRET_ACCESS_KEY" "$HOME/.local/state" || fail "the secret is in a log"
  # A file split over the streams is read a chunk to each stream in turn,
  # its digest and its blocks' by a second read in order: the manifest
  # records them as a store in a directory does, and a change while it is
  # read still fails the job.
  make_input c.bin $((7 * 1024 * 1024 + 3))
  "$agent" --store "$store" --test-skip-pauses -q backup c.bin --streams 3 --manifest c.json
  "$agent" --store "$store" -q restore c.json --output c.out
  cmp c.bin c.out || fail "a file read side by side restored other bytes"
  python3 - c.bin c.json <<'PY' || fail "the digests of a file read side by side are not its own"
import hashlib, json, sys
data = open(sys.argv[1], "rb").read()
(entry,) = json.load(open(sys.argv[2]))["files"]
blocks = "".join(hashlib.sha256(data[i:i + 32768]).hexdigest() for i in range(0, len(data), 32768))
assert entry["sha256"] == hashlib.sha256(data).hexdigest(), entry["sha256"]
assert entry["blockSize"] == 32768 and entry["blocks"] == blocks
PY
  expect 1 "error: c.bin changed while it was read (" --store "$store" --test-skip-pauses \
    backup c.bin --streams 3 --manifest c2.json --test-after-first-chunk 'echo x >>"$1"'
  [[ ! -e c2.json ]] || fail "a file that changed while it was read left a manifest"
  # Files placed whole on their streams are read side by side as well, each
  # stream's files in order: every one restores, and records its own blocks.
  mkdir many
  for i in 1 2 3 4 5 6; do make_input "many/f$i.bin" $((2 * 1024 * 1024 + i * 4099)); done
  : >many/empty.bin
  "$agent" --store "$store" --test-skip-pauses -q backup many --streams 3 --manifest many.json
  mkdir many.out
  "$agent" --store "$store" -q restore many.json --output many.out
  diff -r many many.out/many || fail "files read side by side restored other bytes"
  python3 - many.json <<'PY' || fail "the blocks of files read side by side are not their own"
import hashlib, json, sys
files = [f for f in json.load(open(sys.argv[1]))["files"] if f["name"].endswith(".bin")]
assert len(files) == 7, files
for entry in files:
    data = open(entry["name"], "rb").read()
    assert entry["sha256"] == hashlib.sha256(data).hexdigest(), entry["name"]
    if len(data) > 32768:
        blocks = "".join(hashlib.sha256(data[i:i + 32768]).hexdigest() for i in range(0, len(data), 32768))
        assert entry["blocks"] == blocks, entry["name"]
PY
  ;;

stdin)
  # A stream from standard input, restored to standard output; cleanup
  # finds nothing to do.
  make_input in.bin $((6 * 1024 * 1024 + 3))
  "$agent" --store "$store" --test-skip-pauses -q backup --streams 2 --manifest s.json --name s - <in.bin
  "$agent" --store "$store" -q restore s.json --output - | cmp - in.bin || fail "the stream restored other bytes"
  "$agent" --store "$store" cleanup >cleanup.txt 2>&1
  grep -qx 'nothing to remove' cleanup.txt || { cat cleanup.txt >&2; fail "cleanup of a sound store"; }
  ;;

killed_upload)
  # An agent killed mid-upload leaves its upload (a first part sent, the
  # producer stalled); cleanup drops it and marks the job failed, and a
  # second cleanup has nothing left to do.
  setsid "$agent" --store "$store?part_size=5MiB" --test-skip-pauses -q backup --streams 1 --manifest k.json \
    --name k --from-command "head -c $((6 * 1024 * 1024)) /dev/urandom; sleep 60" &
  pid=$!
  for _ in $(seq 100); do
    [[ $(uploads_left "$store/") == 1 ]] && break
    sleep 0.2
  done
  [[ $(uploads_left "$store/") == 1 ]] || { kill -KILL -- -"$pid"; fail "no upload began"; }
  # While its writer lives, the upload is left alone.
  "$agent" --store "$store" cleanup >live.txt 2>&1 || { kill -KILL -- -"$pid"; cat live.txt >&2; fail "cleanup beside a live job failed"; }
  grep -q 'dropped' live.txt && { kill -KILL -- -"$pid"; fail "cleanup dropped a live job's upload"; }
  [[ $(uploads_left "$store/") == 1 ]] || { kill -KILL -- -"$pid"; fail "a live job's upload is gone"; }
  kill -KILL -- -"$pid"
  wait "$pid" 2>/dev/null || true
  "$agent" --store "$store" cleanup >cleanup.txt 2>&1 || { cat cleanup.txt >&2; fail "cleanup failed"; }
  grep -qE "^dropped the unfinished upload of $store/files/[0-9]+\.arch$" cleanup.txt ||
    { cat cleanup.txt >&2; fail "cleanup did not drop the upload"; }
  grep -qE '^job [0-9]+ did not complete; marked failed$' cleanup.txt ||
    { cat cleanup.txt >&2; fail "cleanup did not fail the job"; }
  [[ $(uploads_left "$store/") == 0 ]] || fail "an upload is left after cleanup"
  "$agent" --store "$store" cleanup >again.txt 2>&1
  grep -qx 'nothing to remove' again.txt || { cat again.txt >&2; fail "a second cleanup did more"; }
  ;;

six_agents)
  # Six agents on three hosts (two each) back up into one store at once,
  # one catalog; host2's second agent is killed mid-upload (a first part
  # sent, its producer stalled). Cleanup from host3 drops its upload and
  # removes its objects and nothing else; every other job restores byte for
  # byte on another host.
  on() { local host=$1; shift; "$agent" --test-host-name "$host" --store "$store" "$@"; }
  for a in 1 2 3 4 5; do make_input "in$a.bin" $((300000 + a * 7919)); done
  setsid "$agent" --test-host-name host2 --store "$store?part_size=5MiB" --test-skip-pauses -q \
    backup --streams 1 --manifest doomed.json --name doomed \
    --from-command "head -c $((6 * 1024 * 1024)) /dev/urandom; sleep 60" 2>doomed.err &
  doomed=$!
  for a in 1 2 3 4 5; do
    on "host$(((a + 1) / 2))" -q backup "in$a.bin" --streams 2 --manifest "m$a.json" 2>"b$a.err" &
    eval "pid$a=\$!"
  done
  for a in 1 2 3 4 5; do
    eval "wait \$pid$a" || { kill -KILL -- -"$doomed"; cat "b$a.err" >&2; fail "agent $a failed its backup"; }
  done
  for _ in $(seq 100); do
    [[ $(uploads_left "$store/") == 1 ]] && break
    sleep 0.2
  done
  [[ $(uploads_left "$store/") == 1 ]] || { kill -KILL -- -"$doomed"; fail "the doomed agent began no upload"; }
  kill -KILL -- -"$doomed"
  wait "$doomed" 2>/dev/null || true
  [[ ! -e doomed.json ]] || fail "the killed agent wrote its manifest"
  job_of() { python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["jobId"])' "$1"; }
  "$agent" --store "$store" list >list.txt 2>/dev/null
  doomed_job=$(awk 'NR > 1 && $2 != "complete" {print $1}' list.txt | sort -u)
  [[ -n $doomed_job && $(wc -w <<<"$doomed_job") == 1 ]] || { cat list.txt >&2; fail "not one job is unfinished"; }
  doomed_file=$(awk -v job="$doomed_job" 'NR > 1 && $1 "" == job {print $3}' list.txt | sed 's/.*-//')
  "$s3tool" keys "$store/" | cut -d' ' -f1 | sort >before.txt
  on host3 cleanup >cleanup.txt 2>&1 || { cat cleanup.txt >&2; fail "cleanup on host3 failed"; }
  grep -qx "dropped the unfinished upload of $store/files/$doomed_file.arch" cleanup.txt ||
    { cat list.txt cleanup.txt >&2; fail "cleanup did not drop the killed agent's upload (files/$doomed_file.arch)"; }
  grep -qx "job $doomed_job did not complete; marked failed" cleanup.txt ||
    { cat cleanup.txt >&2; fail "cleanup did not fail the killed job"; }
  [[ $(uploads_left "$store/") == 0 ]] || fail "an upload is left after cleanup"
  "$s3tool" keys "$store/" | cut -d' ' -f1 | sort >after.txt
  prefix_key=${store#s3://*/}
  [[ $(comm -23 before.txt after.txt) == "$prefix_key/files/$doomed_file.meta" ]] ||
    { comm -3 before.txt after.txt >&2; fail "cleanup removed other than the killed job's description"; }
  [[ -z $(comm -13 before.txt after.txt) ]] || fail "cleanup made objects"
  for a in 1 2 3 4 5; do
    on "host$((a % 3 + 1))" -q restore "m$a.json" --output "r$a.bin" || fail "job $a does not restore"
    cmp "in$a.bin" "r$a.bin" || fail "job $a restored other bytes"
  done
  on host1 check 2>check.err || { cat check.err >&2; fail "check after cleanup failed"; }
  ;;

repair)
  # The catalog lost, check says so and --repair rebuilds it from the
  # objects' descriptions; the backup then restores again.
  make_input r.bin 1500000
  "$agent" --store "$store" --test-skip-pauses -q backup r.bin --streams 2 --manifest r.json
  trellan=$("$s3tool" cat "$store/store.ini" | sed -n 's/^trellan_id=//p')
  [[ -n $trellan ]] || fail "store.ini names no Trellan id"
  ! "$s3tool" cat "$store/store.ini" | grep -qF "$AWS_ACCESS_KEY_ID" || fail "store.ini holds the key id"
  psql -X -q -d "$PIPELINE_CATALOG" -c "SET client_min_messages = warning" \
    -c "DROP SCHEMA pipelinesetup_store_$trellan CASCADE"
  expect 1 "" --store "$store" check
  "$agent" --store "$store" check --repair >repair.txt 2>&1 || { cat repair.txt >&2; fail "check --repair failed"; }
  "$agent" --store "$store" check 2>check.err || { cat check.err >&2; fail "the repaired store is not sound"; }
  "$agent" --store "$store" -q restore r.json --output r.out
  cmp r.bin r.out || fail "restore after a repair differs"
  ;;

part_limit)
  # A stream of unknown length from standard input in 1 KiB first parts
  # under Swift's limit of 1,000 parts: 2,930 parts of that size would be
  # needed, so the parts must grow, and Swift refuses part 1,001 if they do
  # not. A Swift of its own, which takes parts under 5 MiB.
  command -v swift-proxy-server >/dev/null || { echo "SKIP: Swift is not installed"; exit 77; }
  # A directory of its own, as the fixture's: the servers may run as
  # another user, who cannot enter $work.
  swift=$(mktemp -d "${TMPDIR:-/tmp}/pipelinesetup-s3.XXXXXX")
  trap '"$here/../../.ci/objectstore" stop "$swift" >/dev/null 2>&1 || true; rm -rf "$work" "$swift"' EXIT
  assignments=$(OBJECTSTORE_MIN_PART_SIZE=1 "$here/../../.ci/objectstore" start "$swift")
  set -a
  eval "$assignments"
  set +a
  store="$PIPELINESETUP_TEST_S3/$prefix"
  make_input in.bin 3000000
  "$agent" --store "$store?part_size=1KiB&part_limit=1000" --test-skip-pauses -q backup --streams 1 \
    --manifest p.json --name p - <in.bin
  "$agent" --store "$store" -q restore p.json --output - | cmp - in.bin || fail "the stream restored other bytes"
  [[ $(uploads_left "$store/") == 0 ]] || fail "an upload is left"
  ;;

faults)
  # Through a proxy that spoils chosen requests: what is worth a retry is
  # retried and the bytes come back whole; a stalled server ends a restore
  # at the media timeout; a completion that keeps failing fails the backup
  # and leaves no upload.
  proxy_pid=
  start_proxy() {
    [[ -z $proxy_pid ]] || { kill "$proxy_pid"; wait "$proxy_pid" 2>/dev/null || true; }
    rm -f port
    python3 "$here/s3_fault_proxy.py" "$AWS_ENDPOINT_URL" port "$@" 2>>proxy.log &
    proxy_pid=$!
    for _ in $(seq 100); do [[ -s port ]] && break; sleep 0.05; done
    [[ -s port ]] || fail "the proxy did not start"
    via="$store?endpoint=http://127.0.0.1:$(cat port)&part_size=5MiB"
  }
  trap '[[ -z $proxy_pid ]] || kill "$proxy_pid" 2>/dev/null; rm -rf "$work"' EXIT
  make_input f.bin $((11 * 1024 * 1024))
  start_proxy PUT:partNumber=1:1:503 PUT:partNumber=2:1:reset POST:uploadId=:1:reset
  "$agent" --store "$via" --test-skip-pauses -q backup f.bin --streams 1 --manifest f.json ||
    { cat proxy.log >&2; fail "a backup with retried faults failed"; }
  grep -q 'partNumber=1.* -> 503' proxy.log || fail "no 503 was injected"
  grep -q 'uploadId=.* -> reset' proxy.log || fail "no completion was cut off"
  "$agent" --store "$store" -q restore f.json --output f.out
  cmp f.bin f.out || fail "the backup through faults restored other bytes"

  start_proxy GET:.arch:1:reset GET:.arch:2:truncate GET:.arch:3:503
  "$agent" --store "${via}&read_ahead=1MiB" -q restore f.json --output f.again ||
    { cat proxy.log >&2; fail "a restore with retried faults failed"; }
  cmp f.bin f.again || fail "the restore through faults differs"
  grep -q '\.arch -> truncate' proxy.log || fail "no body was truncated"

  start_proxy 'GET:.arch:*:stall'
  started=$SECONDS
  expect 1 "the media side delivered 0 of" --store "$via" --media-timeout 3s restore f.json --output f.stalled
  ((SECONDS - started < 60)) || fail "a stalled restore took $((SECONDS - started)) s"
  [[ ! -e f.stalled ]] || fail "a stalled restore left its output"

  start_proxy 'POST:uploadId=:*:503'
  expect 1 "" --store "$via" --test-skip-pauses backup f.bin --streams 1 --manifest g.json
  [[ ! -e g.json ]] || fail "a failed backup wrote its manifest"
  [[ $(uploads_left "$store/") == 0 ]] || fail "a failed completion left its upload"
  ;;

bad_input)
  # Without a PostgreSQL catalog, a store in object storage is refused
  # before anything is made.
  make_input x.bin 1000
  unset PIPELINE_CATALOG
  expect_line 2 "a store in object storage keeps its catalog in PostgreSQL: name one with --catalog or \$PIPELINE_CATALOG" \
    --store "$store" backup x.bin --manifest x.json
  [[ -z $("$s3tool" keys "$store/") ]] || fail "a refused backup made objects"
  expect_line 2 "the store $PIPELINESETUP_TEST_S3/$prefix has an unusable option \"part_limit=5\" (endpoint=, region=, path_style=0|1, part_limit=10..10000, part_size=, read_ahead=)" \
    --store "$store?part_limit=5" list
  # A database in a rollback journal's mode is copied on this host, and an
  # encrypted job's key check is kept in the store: both come back whole.
  export PIPELINE_CATALOG=$PIPELINESETUP_TEST_PG
  python3 -c 'import sqlite3, sys; db = sqlite3.connect(sys.argv[1]); db.execute("CREATE TABLE t(x)"); db.execute("INSERT INTO t VALUES (41)"); db.commit()' db.sqlite
  printf '%040d' 0 >key && chmod 600 key
  "$agent" --store "$store" --test-skip-pauses backup db.sqlite --streams 2 --manifest db.json \
    --encrypt --key-file key 2>db.txt || { cat db.txt >&2; fail "an encrypted backup of a database failed"; }
  tmp=$HOME/.local/state/pipelinesetup/s3/${store#s3://}/tmp
  grep -qE "^pipeline-agent: db.sqlite: a SQLite database, backed up as one committed state: its snapshot takes [0-9]+ bytes on this host, in $tmp, until the job ends; " db.txt ||
    { cat db.txt >&2; fail "the copy of a database was not said to lie on this host"; }
  [[ -z $(ls -A "$tmp") ]] || fail "the copy was left in $tmp"
  "$s3tool" keys "$store/" | grep -q "/encryption-check " || fail "no key check in the store"
  printf '%040d' 1 >other.key && chmod 600 other.key
  expect 2 "error: the key does not open this store's key check $store/encryption-check: wrong key file or passphrase (log: " \
    --store "$store" backup x.bin --manifest x.json --encrypt --key-file other.key
  [[ $(wc -l <err.txt) == 1 ]] || { cat err.txt >&2; fail "a wrong key was not told in one line"; }
  [[ ! -e x.json ]] || fail "a refused backup wrote a manifest"
  "$agent" --store "$store" -q restore db.json --output db-restored.sqlite --key-file key
  [[ $(python3 -c 'import sqlite3, sys; db = sqlite3.connect(sys.argv[1]); print(db.execute("PRAGMA integrity_check").fetchone()[0], db.execute("SELECT x FROM t").fetchone()[0])' db-restored.sqlite) == "ok 41" ]] ||
    fail "an encrypted database did not come back from the object store"
  # In WAL mode it is read where it lies, and comes back whole.
  python3 -c 'import sqlite3, sys; db = sqlite3.connect(sys.argv[1]); db.execute("PRAGMA journal_mode=WAL"); db.execute("DELETE FROM t"); db.execute("INSERT INTO t VALUES (42)"); db.commit()' db.sqlite
  "$agent" --store "$store" --test-skip-pauses -q backup db.sqlite --streams 1 --manifest wal.json
  "$agent" --store "$store" -q restore wal.json --output wal-restored.sqlite
  [[ $(python3 -c 'import sqlite3, sys; db = sqlite3.connect(sys.argv[1]); print(db.execute("PRAGMA integrity_check").fetchone()[0], db.execute("SELECT x FROM t").fetchone()[0], db.execute("PRAGMA journal_mode").fetchone()[0])' wal-restored.sqlite) == "ok 42 wal" ]] ||
    fail "a database in WAL mode did not come back from the object store"
  unset PIPELINE_CATALOG
  (
    unset AWS_ACCESS_KEY_ID AWS_SECRET_ACCESS_KEY
    export AWS_SHARED_CREDENTIALS_FILE=$work/none
    expect 2 "no credentials for the store $store: " --store "$store" list
  )
  ;;

*)
  echo "unknown case $case_name" >&2
  exit 2
  ;;
esac
echo "PASS: $case_name"
