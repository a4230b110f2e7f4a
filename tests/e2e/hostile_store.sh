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
  # check opens it no more, and names what puts it right.
  run check
  [[ $rc == 1 ]] || { cat out.txt err.txt >&2; fail "check of a linked catalog exited $rc"; }
  grep -qx "problem: the catalog cannot be read: the catalog's file $store/catalog.db is a symbolic link, not a regular file; refused" out.txt &&
    grep -qxF 'advice: `check --repair` rebuilds the catalog from the files' out.txt ||
    { cat out.txt err.txt >&2; fail "check did not name the linked catalog and its remedy"; }
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
  refused "the log file $store/logs/4242.log is a symbolic link" backup input.bin --job-id 4242 --manifest b.json
  run list
  # check names each link and what mends it; the repair removes the links
  # themselves, never what they lead to.
  run check
  [[ $rc == 1 ]] || { cat out.txt err.txt >&2; fail "check of linked log files exited $rc"; }
  for name in 4242 check cleanup list; do
    grep -qx "problem: $store/logs/$name.log is a symbolic link, not a log file: the command that writes it refuses to run; remove the link (never what it leads to)" out.txt ||
      { cat out.txt >&2; fail "check did not name the linked $name.log"; }
  done
  grep -qF 'advice: `check --repair` removes such links (never what they lead to)' out.txt ||
    { cat out.txt >&2; fail "check did not name the repair for the links"; }
  run check --repair
  [[ $rc == 0 ]] || { cat out.txt err.txt >&2; fail "check --repair of linked log files exited $rc"; }
  for name in 4242 check cleanup list; do
    grep -qx "repaired: removed the symbolic link $store/logs/$name.log (what it leads to is untouched)" out.txt ||
      { cat out.txt >&2; fail "the repair did not remove the linked $name.log"; }
    [[ ! -L $store/logs/$name.log ]] || fail "$name.log is still a link"
  done
  unchanged "a command with its log file linked outside"
  run cleanup
  [[ $rc == 0 ]] || { cat err.txt >&2; fail "cleanup after the repair exited $rc"; }
  restores "after the linked log files"
  ;;
jobs_link)
  # jobs/ (the locks, completion markers and manifests) leads outside: no
  # command follows it; check says what mends it, and the repair removes
  # the link, makes the folder anew and remakes the complete job's marker
  # from the catalog.
  mv "$store/jobs" outside/jobs
  ln -s "$work/outside/jobs" "$store/jobs"
  sentinel >sentinel.before
  refused "$store/jobs is not a directory" cleanup
  refused "$store/jobs is not a directory" backup input.bin --manifest b.json
  run check
  [[ $rc == 1 ]] || { cat out.txt err.txt >&2; fail "check of a linked jobs/ exited $rc"; }
  grep -qx "problem: $store/jobs is a symbolic link; the store follows none: remove it" out.txt ||
    { cat out.txt >&2; fail "check did not name the link"; }
  grep -qF 'advice: `check --repair` removes such links (never what they lead to) and moves aside what else stands where jobs/, a lock or a log belongs' out.txt ||
    { cat out.txt >&2; fail "check did not name the repair"; }
  run check --repair
  [[ $rc == 0 ]] || { cat out.txt err.txt >&2; fail "check --repair of a linked jobs/ exited $rc"; }
  grep -qx "repaired: removed the symbolic link $store/jobs (what it leads to is untouched)" out.txt ||
    { cat out.txt >&2; fail "the repair did not say it removed the link"; }
  grep -q "^repaired: job [0-9]*: its completion marker was missing; remade from the catalog, which has the job complete" out.txt ||
    { cat out.txt >&2; fail "the repair did not remake the marker"; }
  [[ -d $store/jobs && ! -L $store/jobs ]] || fail "jobs/ is not a folder after the repair"
  unchanged "a command with jobs/ linked outside"
  run check
  [[ $rc == 0 ]] || { cat out.txt err.txt >&2; fail "check after the repair exited $rc"; }
  run list
  grep -q " complete " out.txt || { cat out.txt >&2; fail "the complete job is no longer complete"; }
  restores "after the linked jobs/"
  ;;
lock_link)
  # The complete job's lock leads outside: a restore cannot take it.
  lock=$(ls "$store"/jobs/*.lock | head -1)
  rm "$lock"
  ln -s "$work/outside/victim.bin" "$lock"
  refused "cannot lock $lock" restore job.json --output r.bin
  run check
  [[ $rc == 1 ]] || { cat out.txt err.txt >&2; fail "check of a linked lock exited $rc"; }
  grep -q "^problem: $lock is a symbolic link, not a lock file: no backup, restore or deletion of job [0-9]* can take it; remove the link (never what it leads to)$" out.txt ||
    { cat out.txt >&2; fail "check did not name the linked lock"; }
  run check --repair
  [[ $rc == 0 ]] || { cat out.txt err.txt >&2; fail "check --repair of a linked lock exited $rc"; }
  grep -qx "repaired: removed the symbolic link $lock (what it leads to is untouched)" out.txt ||
    { cat out.txt >&2; fail "the repair did not remove the link"; }
  unchanged "a command with a lock linked outside"
  restores "after the linked lock"
  ;;
store_ini_big)
  # store.ini grown to 3 GiB (sparse): never read whole; every command
  # refuses, saying what puts it right, at once.
  cp "$store/store.ini" store.ini.saved
  truncate -s 3G "$store/store.ini"
  start=$SECONDS
  for command in list check "check --repair" cleanup; do
    # shellcheck disable=SC2086
    refused "cannot read $store/store.ini: File too large (over 65536 bytes); move it aside and put the store's store.ini back, or write one by hand: a few short lines, format=1 and trellan_id= as its descriptions files/N.meta record it" $command
  done
  refused "File too large" restore job.json --output r.bin
  (( SECONDS - start < 10 )) || fail "the refusals took $((SECONDS - start)) s"
  unchanged "a command on a 3 GiB store.ini"
  mv store.ini.saved "$store/store.ini"
  restores "after store.ini was put back"
  ;;
log_link_lost_catalog)
  # check's log leads outside and the catalog is lost: check names both
  # and what mends them, and the repair clears the link before it opens its
  # log, then rebuilds the catalog.
  rm "$store/catalog.db"
  ln -s "$work/outside/list.log" "$store/logs/check.log"
  run check
  [[ $rc == 1 ]] || { cat out.txt err.txt >&2; fail "check of a lost catalog exited $rc"; }
  grep -qx "problem: the catalog cannot be read: the catalog $store/catalog.db is missing" out.txt &&
    grep -qx "problem: $store/logs/check.log is a symbolic link, not a log file: the command that writes it refuses to run; remove the link (never what it leads to)" out.txt &&
    grep -qxF 'advice: `check --repair` rebuilds the catalog from the files' out.txt ||
    { cat out.txt err.txt >&2; fail "check did not name the lost catalog, the link and the repair"; }
  run check --repair
  [[ $rc == 0 ]] || { cat out.txt err.txt >&2; fail "check --repair exited $rc"; }
  grep -qx "repaired: removed the symbolic link $store/logs/check.log (what it leads to is untouched)" out.txt &&
    grep -q "^repaired: rebuilt the catalog from 2 archive files of 1 jobs (1 complete)" out.txt ||
    { cat out.txt >&2; fail "the repair did not clear the link and rebuild the catalog"; }
  [[ -f $store/logs/check.log && ! -L $store/logs/check.log ]] || fail "check.log is not a file of the store"
  unchanged "a repair beside a linked log"
  restores "after the lost catalog was rebuilt"
  ;;
jobs_names)
  # Names of the store's form whose numbers are past every id: said
  # plainly, left alone.
  touch "$store/jobs/99999999999999999999.complete" "$store/files/9999999999.arch"
  for command in check "check --repair"; do
    # shellcheck disable=SC2086
    run $command
    [[ $rc == 1 ]] || { cat out.txt err.txt >&2; fail "$command exited $rc"; }
    grep -q stoull out.txt err.txt && { cat err.txt >&2; fail "$command said stoull"; }
    grep -qx "problem: $store/jobs/99999999999999999999.complete is none of the store's: its number is no job id (at most 18446744073709551615); remove it by hand" out.txt &&
      grep -qx "problem: $store/files/9999999999.arch is neither an archive file nor a description" out.txt ||
      { cat out.txt err.txt >&2; fail "$command did not name the foreign names"; }
  done
  run cleanup
  [[ $rc == 0 ]] || { cat err.txt >&2; fail "cleanup exited $rc"; }
  [[ -e $store/jobs/99999999999999999999.complete && -e $store/files/9999999999.arch ]] ||
    fail "a foreign name was removed"
  restores "beside foreign names"
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
