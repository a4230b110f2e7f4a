#!/usr/bin/env bash
# A store that an attacker with write access to it has tampered with: links,
# FIFOs and forged records in the store's place. Every command must keep to
# the store (a sentinel tree beside it is checksummed before and after),
# never hang (each run has a time limit), refuse with one clear line and a
# non-zero exit, and leave the complete job restorable byte for byte.
# Usage: hostile_store.sh AGENT CASE
set -euo pipefail

agent=$1
case_name=$2
source "$(dirname "$0")/lib.sh" agent-hostile

store=$work/store
limit=20
quiet=

# Runs the agent on the store under a time limit; $rc is its exit status.
# A run that outlives the limit has hung, and fails the test.
run() {
  rc=0
  timeout -k 5 "$limit" "$agent" --store "$store" --test-skip-pauses $quiet "$@" >out.txt 2>err.txt || rc=$?
  if [[ $rc == 124 || $rc == 137 ]]; then
    cat err.txt >&2
    fail "'$*' hung"
  fi
}

# Runs the agent, expecting a refusal: a non-zero exit and one line on
# stderr, the error line, that says $1.
refused() {
  local text=$1
  shift
  quiet=-q
  run "$@"
  quiet=
  [[ $rc != 0 ]] || { cat out.txt err.txt >&2; fail "'$*' succeeded"; }
  [[ $(wc -l <err.txt) == 1 ]] || { cat err.txt >&2; fail "'$*' printed more than one line"; }
  grep -q "^pipeline-agent: error: .*$text" err.txt || { cat err.txt >&2; fail "'$*' did not say: $text"; }
}

# The sentinel tree beside the store, as names, kinds, sizes, times and
# checksums: nothing any command does may change it.
sentinel() {
  find outside -printf '%p %y %s %T@ %l\n' | sort
  find outside -type f -print0 | sort -z | xargs -0 -r sha256sum
}
unchanged() {
  sentinel >sentinel.after
  diff sentinel.before sentinel.after >&2 || fail "$1 changed something outside the store"
}

# The complete job restores byte for byte.
restores() {
  rm -f restored.bin
  run restore job.json --output restored.bin
  [[ $rc == 0 ]] || { cat err.txt >&2; fail "$1: the complete job does not restore"; }
  cmp -s restored.bin input.bin || fail "$1: the complete job restores other bytes"
}

# A store with one complete job, and the sentinel tree.
head -c 300000 /dev/urandom >input.bin
mkdir -p outside/logs
head -c 1000 /dev/urandom >outside/victim.bin
"$agent" --store "$store" --test-skip-pauses -q backup input.bin --streams 2 --manifest job.json \
  || fail "the first backup failed"
cp "$store/catalog.db" outside/catalog.db
printf 'x\n' >outside/list.log
sentinel >sentinel.before

case $case_name in
catalog_link)
  # catalog.db (then its journal) leads outside: no command may open it.
  mv "$store/catalog.db" catalog.saved
  ln -s "$work/outside/catalog.db" "$store/catalog.db"
  refused "catalog's file $store/catalog.db is a symbolic link" list
  refused "catalog's file $store/catalog.db is a symbolic link" check
  refused "catalog's file $store/catalog.db is a symbolic link" cleanup
  refused "catalog's file $store/catalog.db is a symbolic link" restore job.json --output r.bin
  refused "catalog's file $store/catalog.db is a symbolic link" backup input.bin --manifest b.json
  [[ ! -e r.bin && ! -e b.json ]] || fail "a refused command left an output"
  unchanged "a command on a linked catalog"
  rm "$store/catalog.db"
  mv catalog.saved "$store/catalog.db"
  ln -s "$work/outside/victim.bin" "$store/catalog.db-journal"
  refused "catalog.db-journal is a symbolic link" list
  refused "catalog.db-journal is a symbolic link" backup input.bin --manifest b.json
  unchanged "a command on a linked journal"
  rm "$store/catalog.db-journal"
  # A link that repair finds is replaced by a catalog of the store's own.
  ln -s "$work/outside/catalog.db" "$store/catalog.db-wal"
  run check --repair
  unchanged "check --repair on a linked write-ahead log"
  [[ ! -L $store/catalog.db-wal ]] || [[ $rc != 0 ]] || fail "repair said it mended a store it left linked"
  rm -f "$store/catalog.db-wal"
  restores "after the linked catalog"
  ;;
logs_link)
  # logs/ leads outside.
  rm -rf "$store/logs"
  ln -s "$work/outside/logs" "$store/logs"
  for command in cleanup "check --repair"; do
    # shellcheck disable=SC2086
    refused "the log directory $store/logs is a symbolic link, not a directory; refused" $command
  done
  refused "the log directory $store/logs is a symbolic link" backup input.bin --manifest b.json
  # Reading commands go on without a log file of the store.
  run list
  [[ $rc == 0 ]] || { cat err.txt >&2; fail "list without a log failed"; }
  run check
  [[ $rc == 1 ]] || { cat out.txt err.txt >&2; fail "check of a store with logs/ linked exited $rc"; }
  grep -q "^problem: $store/logs is a symbolic link" out.txt || { cat out.txt >&2; fail "check did not name the link"; }
  unchanged "a command with logs/ linked outside"
  rm "$store/logs"
  restores "after the linked logs/"
  ;;
log_file_link)
  # Each command's own log file leads outside.
  for name in list check cleanup 4242; do ln -sf "$work/outside/list.log" "$store/logs/$name.log"; done
  refused "the log file $store/logs/cleanup.log is a symbolic link, not a regular file" cleanup
  refused "the log file $store/logs/check.log is a symbolic link" check --repair
  refused "the log file $store/logs/4242.log is a symbolic link" backup input.bin --job-id 4242 --manifest b.json
  run list
  run check
  unchanged "a command with its log file linked outside"
  restores "after the linked log files"
  ;;
store_ini_fifo)
  # A FIFO in the place of the settings: a restore, which reads them, logs
  # that and goes on.
  mkfifo "$store/settings.ini"
  restores "beside a FIFO settings.ini"
  grep -q "settings file $store/settings.ini is a FIFO; its settings are not used" "$store"/logs/*.log ||
    fail "the restore did not log the FIFO settings file"
  rm "$store/settings.ini"
  rm "$store/store.ini"
  mkfifo "$store/store.ini"
  for command in list check cleanup "check --repair"; do
    # shellcheck disable=SC2086
    refused "$store/store.ini is a FIFO, not a regular file; refused" $command
  done
  refused "$store/store.ini is a FIFO" restore job.json --output r.bin
  refused "$store/store.ini is a FIFO" backup input.bin --manifest b.json
  unchanged "a command on a FIFO store.ini"
  ;;
archive_fifo)
  # A second job whose first archive file is then a FIFO.
  head -c 5000 /dev/urandom >second.bin
  run backup second.bin --streams 1 --manifest second.json
  [[ $rc == 0 ]] || fail "the second backup failed"
  fifo=$(ls "$store"/files/*.arch | sort -V | tail -1)
  rm "$fifo"
  mkfifo "$fifo"
  run list
  run check
  [[ $rc == 1 ]] || { cat out.txt err.txt >&2; fail "check of a FIFO archive file exited $rc"; }
  grep -q "is not a regular file" out.txt || { cat out.txt >&2; fail "check did not name the FIFO"; }
  run cleanup
  refused "" restore second.json --output r2.bin
  run check --repair
  [[ $rc != 0 ]] || fail "repair said a FIFO archive file was mended"
  [[ -p $fifo ]] || fail "the FIFO was removed"
  unchanged "a command on a FIFO archive file"
  restores "beside a FIFO archive file"
  ;;
forged_partial)
  # Records under partial/ naming files outside that look like partial
  # outputs: one with no identity, one with another file's identity, one
  # with the very file's device and inode but without its token.
  mkdir -p "$store/partial" outside/tmp
  for n in 1 2 3; do head -c 100 /dev/urandom >"outside/.victim$n.bin.partial-abc12$n"; done
  # And tmp/, where backups keep their SQLite snapshots, leads outside to a
  # file named as one.
  head -c 100 /dev/urandom >outside/tmp/1-1.sqlite
  rm -rf "$store/tmp"
  ln -s "$work/outside/tmp" "$store/tmp"
  sentinel >sentinel.before
  printf '%s\n' "$work/outside/.victim1.bin.partial-abc121" >"$store/partial/1-1.partial-output"
  printf '%s\ntoken 00\nidentity 1 2 0\n' "$work/outside/.victim2.bin.partial-abc122" \
    >"$store/partial/1-2.partial-output"
  printf '%s\ntoken 00\nidentity %s %s 1\n' "$work/outside/.victim3.bin.partial-abc123" \
    "$(stat -c %d outside/.victim3.bin.partial-abc123)" "$(stat -c %i outside/.victim3.bin.partial-abc123)" \
    >"$store/partial/1-3.partial-output"
  run cleanup
  unchanged "cleanup with forged partial records"
  for n in 1 2 3; do
    grep -q "1-$n.partial-output: .*left alone" err.txt || { cat err.txt >&2; fail "cleanup did not say why record $n was left"; }
  done
  grep -q "removed partial output" out.txt && fail "cleanup claims it removed a partial output"
  restores "after forged partial records"
  ;;
forged_row)
  # A catalog row of a crashed job that names the complete job's file.
  victim=$(ls "$store"/files/*.arch | sort -V | head -1)
  sqlite3 "$store/catalog.db" "
    INSERT INTO jobs(job_id, state, created_at, updated_at) VALUES (9999, 'running', '2026-01-01T00:00:00Z', '');
    INSERT INTO archive_files(afile_id, trellan_id, group_number, job_id, stream, path, state, size, created_at, updated_at)
      SELECT 900, trellan_id, group_number, 9999, 1, path, 'writing', 0, created_at, updated_at
      FROM archive_files ORDER BY afile_id LIMIT 1;"
  # And one that names a file of its own id, whose description (a copy of
  # the complete job's) says it is another job's.
  cp "$victim" "$store/files/901.arch"
  sed "s/^afile_id=.*/afile_id=901/" "${victim%.arch}.meta" >"$store/files/901.meta"
  sqlite3 "$store/catalog.db" "
    INSERT INTO archive_files(afile_id, trellan_id, group_number, job_id, stream, path, state, size, created_at, updated_at)
      SELECT 901, trellan_id, group_number, 9999, 1, 'files/901.arch', 'writing', 0, created_at, updated_at
      FROM archive_files ORDER BY afile_id LIMIT 1;"
  run cleanup
  unchanged "cleanup of a forged row"
  [[ -f $victim ]] || fail "cleanup removed the complete job's $victim"
  [[ -f $store/files/901.arch ]] || fail "cleanup removed a file its description gives to another job"
  grep -q "catalog entry names files/.*not its own files/900.arch; left alone" err.txt ||
    { cat err.txt >&2; fail "cleanup did not say why it left the file"; }
  grep -q "its description $store/files/901.meta is of .* of job [0-9]*, not of this entry; left alone" err.txt ||
    { cat err.txt >&2; fail "cleanup did not say why it left files/901.arch"; }
  restores "after a forged catalog row"
  ;;
sparse_archive)
  # A sparse archive file of 1 TiB described as closed.
  sidecar=$(ls "$store"/files/*.meta | sort -V | head -1)
  id=950
  sed -e "s/^afile_id=.*/afile_id=$id/" -e "s/^job_id=.*/job_id=9950/" "$sidecar" |
    grep -v '^closed_at=' >"$store/files/$id.meta"
  printf 'closed_at=2026-01-01T00:00:00.000Z size=%s sha256=%s\n' 1099511627776 \
    "$(printf '0%.0s' {1..64})" >>"$store/files/$id.meta"
  truncate -s 1T "$store/files/$id.arch"
  # Bounded: repair reads none of it past the bound, and says so.
  start=$SECONDS
  run check --repair --max-bytes 1048576
  grep -q "entered as closed: its size matches its description, its data was not read (1099511627776 bytes, past --max-bytes 1048576)" out.txt ||
    { cat out.txt err.txt >&2; fail "repair did not say what it left unread"; }
  run check --max-bytes 1048576
  grep -q "^not verified: .*1099511627776 bytes, past --max-bytes 1048576" out.txt ||
    { cat out.txt err.txt >&2; fail "check --max-bytes did not name the unread file"; }
  run check --sizes-only
  grep -q "^not verified: .*1099511627776 bytes, sizes only" out.txt ||
    { cat out.txt err.txt >&2; fail "check --sizes-only did not name the unread file"; }
  (( SECONDS - start < 15 )) || fail "the bounded scans took $((SECONDS - start)) s"
  # Unbounded, and stopped by SIGTERM: it ends promptly, saying so.
  rc=0
  timeout -k 5 "$limit" "$agent" --store "$store" check >out.txt 2>err.txt &
  pid=$!
  sleep 2
  kill -TERM "$pid" 2>/dev/null || true
  wait "$pid" || rc=$?
  [[ $rc != 124 && $rc != 137 ]] || fail "check of a 1 TiB file did not stop on SIGTERM"
  [[ $rc != 0 ]] || fail "an interrupted check exited 0"
  unchanged "a scan of a sparse archive file"
  restores "beside a sparse archive file"
  ;;
manifest_fifo)
  mkfifo fifo.json
  refused "manifest fifo.json is not a regular file" restore fifo.json --output r.bin
  [[ $rc == 2 ]] || fail "a FIFO manifest exited $rc, not 2"
  unchanged "a restore from a FIFO manifest"
  ;;
*)
  fail "unknown case $case_name"
  ;;
esac
echo "PASS: $case_name"
