#!/usr/bin/env bash
# End-to-end runs of the maintenance commands on backup chains (a full, an
# incr on it, an incr on that, a diff on the full): delete refusing a job
# that a kept job refers to and deleting a chain in either order, a backup
# completed between delete's plan and its deletion, expire keeping what a
# kept job needs with the same line in a dry run and a real one, check
# finding a broken reference, a damaged held share and a damaged held
# piece, a damaged incr restoring what other jobs hold, list showing each
# job's type, and kills at every step of a delete and an expire.
# Usage: chain_maintenance_e2e.sh AGENT CASE
set -euo pipefail

agent=$1
case_name=$2
# shellcheck source=lib.sh
source "$(dirname "$0")/lib.sh" chain-maintenance-e2e

run() { "$agent" --store store --test-skip-pauses --log-level -1 "$@"; }
# The job of manifest $1: its first "jobId", the manifest's own (its
# references' come after it).
job_of() { sed -n 's/.*"jobId": *\([0-9]*\).*/\1/p' "$1" | head -n 1; }

# Runs the agent on the store, expecting exit status $1 and stderr to be the
# one error line $2 (with the log's place after it).
refused() {
  local status=$1 line=$2
  shift 2
  local got=0
  run -q "$@" >out.txt 2>err.txt || got=$?
  [[ $got == "$status" ]] || { cat err.txt >&2; fail "'$*' exited $got, expected $status"; }
  [[ $(wc -l <err.txt) == 1 ]] || { cat err.txt >&2; fail "'$*' said more than one line"; }
  [[ $(cat err.txt) == "pipeline-agent: error: $line (log: "*")" ]] ||
    { cat err.txt >&2; fail "'$*' did not say: $line"; }
}

# The store's files and job files by name, and its list: what a refusal
# must leave as it was.
store_view() { run list 2>/dev/null | tr -s ' '; (cd store && find files jobs -type f ! -name '*.lock' | sort); }

# Restores job $1 into a fresh directory and compares each file with the
# copy of the inputs that job backed up, in inputs-$1/.
restores_whole() {
  local job=$1 file
  rm -rf "out-$job"
  mkdir "out-$job"
  run -q restore --job "$job" --output "out-$job" 2>err.txt || { cat err.txt >&2; fail "job $job does not restore"; }
  for file in a.bin b.bin c.bin; do
    cmp -s "out-$job/$file" "inputs-$job/$file" || fail "job $job restored other bytes for $file"
  done
}

# Backs the inputs up as job type $1 of the set "nightly" (more options
# after it), keeps a copy of what it backed up, and prints its id.
backup() {
  local type=$1 job
  shift
  rm -f m.json
  run -q backup a.bin b.bin c.bin --streams 2 --set nightly --type "$type" --manifest m.json "$@" \
    2>err.txt || { cat err.txt >&2; fail "the $type backup failed"; }
  job=$(job_of m.json)
  mkdir "inputs-$job"
  cp -p a.bin b.bin c.bin "inputs-$job/"
  echo "$job"
}

# The chain: full F; incr I1 (c.bin changed); incr I2 on I1 (b.bin
# changed); diff D on F (b.bin and c.bin changed since F). I1 refers to F
# for a.bin and b.bin, I2 to F for a.bin and to I1 for c.bin, D to F for
# a.bin.
make_chain() {
  head -c 120000 /dev/urandom >a.bin
  head -c 50000 /dev/urandom >b.bin
  head -c 3000 /dev/urandom >c.bin
  F=$(backup full)
  head -c 100 /dev/urandom >>c.bin
  I1=$(backup incr)
  head -c 100 /dev/urandom >>b.bin
  I2=$(backup incr)
  D=$(backup diff)
}

# The rows of list for job $1, squeezed: its TYPE and REFERENCE.
type_of() { run list 2>/dev/null | awk -v j="$1" '$1 "" == j {print $(NF - 1), $NF}' | sort -u; }

# The data file of job $1's archive file of stream $2.
data_of() {
  echo "store/files/$(sqlite3 store/catalog.db "SELECT afile_id FROM archive_files WHERE job_id = $1 AND stream = $2").arch"
}

# Turns over every bit of the byte at offset $2 of file $1.
damage() {
  local byte
  byte=$(od -An -tu1 -j "$2" -N1 "$1" | tr -d ' ')
  printf '%b' "\\$(printf '%03o' $((byte ^ 255)))" | dd of="$1" bs=1 seek="$2" conv=notrunc 2>/dev/null
}

case $case_name in
delete)
  make_chain
  before=$(store_view)
  refused 2 "job $F holds data that jobs $I1, $I2, $D refer to; delete them first, or with it in the same command" \
    delete "$F" --yes
  refused 2 "job $F holds data that jobs $I1, $I2, $D refer to; delete them first, or with it in the same command" \
    delete "$F" --dry-run
  refused 2 "job $I1 holds data that job $I2 refers to; delete job $I2 first, or with it in the same command" \
    delete "$D" "$I1" --yes
  [[ $(store_view) == "$before" ]] || fail "a refused delete changed the store"

  # Both in one command, the referred job named first: the job referring
  # to it goes first.
  run delete "$I1" "$I2" --yes >del.txt 2>/dev/null || fail "delete of an incr and the incr on it failed"
  [[ $(sed 's/:.*//' del.txt) == "deleted job $I2"$'\n'"deleted job $I1" ]] ||
    { cat del.txt >&2; fail "delete did not take the job referring first"; }
  restores_whole "$D"
  restores_whole "$F"
  # The referring job first, in a command of its own, then its full.
  run -q delete "$D" --yes >/dev/null 2>&1 || fail "delete of the diff failed"
  run -q delete "$F" --yes >/dev/null 2>&1 || fail "delete of a full no kept job refers to failed"
  [[ -z $(sqlite3 store/catalog.db "SELECT job_id FROM jobs") ]] || fail "jobs are left after the chain was deleted"

  # A backup that completes between delete's plan and its deletion, taking
  # the job to delete for its reference: the deletion, which looks again
  # under its locks, is refused, and both jobs stay whole.
  make_chain
  race="$agent --store store --test-skip-pauses --log-level -1 -q backup a.bin b.bin c.bin --streams 2 --set nightly --type incr --manifest race.json"
  got=0
  run -q delete "$D" --yes --test-before-deleting "$race" >out.txt 2>err.txt || got=$?
  [[ -f race.json ]] || { cat err.txt >&2; fail "the backup during the delete did not complete"; }
  late=$(job_of race.json)
  mkdir "inputs-$late"
  cp -p a.bin b.bin c.bin "inputs-$late/"
  [[ $got == 2 && $(cat err.txt) == "pipeline-agent: error: job $D holds data that job $late refers to; delete job $late first, or with it in the same command (log: "*")" ]] ||
    { cat err.txt >&2; fail "a delete racing the backup that refers to its job exited $got"; }
  [[ $(type_of "$late") == "incr $D" ]] || fail "the racing backup was not an incr on job $D"
  restores_whole "$late"
  restores_whole "$D"
  run -q check >/dev/null 2>&1 || fail "check finds the store damaged after the refused delete"
  ;;

expire)
  make_chain
  # keep-last 1 keeps D, which keeps F; the incrs go.
  run expire --keep-last 1 --dry-run >dry.txt 2>/dev/null
  run expire --keep-last 1 >real.txt 2>/dev/null
  line="keeping job $F: job $D, which is kept, refers to it"
  grep -qxF "$line" dry.txt || { cat dry.txt >&2; fail "the dry run does not say why job F is kept"; }
  [[ $(grep '^keeping ' dry.txt) == "$(grep '^keeping ' real.txt)" ]] ||
    { diff dry.txt real.txt >&2; fail "the dry run and the real one say other lines"; }
  [[ $(awk -v j="$F" '$1 "" == j {print $3, $4}' real.txt) == "keep reference" ]] ||
    { cat real.txt >&2; fail "the table does not keep job F by reference"; }
  grep -qx "deleted job $I2: .*" real.txt && grep -qx "deleted job $I1: .*" real.txt ||
    { cat real.txt >&2; fail "expire did not delete the incrs"; }
  [[ $(run list 2>/dev/null | awk 'NR > 1 {print $1}' | sort -u) == "$(printf '%s\n' "$F" "$D" | sort)" ]] ||
    fail "expire left other jobs than F and D"
  restores_whole "$D"
  restores_whole "$F"

  # A new full: nothing kept needs the old chain any more, and it goes whole.
  head -c 10 /dev/urandom >>a.bin
  F2=$(backup full)
  run expire --keep-last 1 >real.txt 2>/dev/null
  ! grep -q '^keeping ' real.txt || { cat real.txt >&2; fail "expire kept a job nothing kept needs"; }
  [[ $(run list 2>/dev/null | awk 'NR > 1 {print $1}' | sort -u) == "$F2" ]] || fail "the old chain did not go whole"

  # An incr kept alone keeps the incr it was taken on and the full, each
  # named with every job kept that refers to it.
  rm -rf store
  make_chain
  run -q delete "$D" --yes >/dev/null 2>&1
  run expire --keep-last 1 --dry-run >dry.txt 2>/dev/null
  [[ $(grep '^keeping ' dry.txt) == "keeping job $I1: job $I2, which is kept, refers to it"$'\n'"keeping job $F: jobs $I1, $I2, which are kept, refer to it" ]] ||
    { cat dry.txt >&2; fail "expire does not keep the chain under the incr kept"; }
  run -q expire --keep-last 1 >/dev/null 2>&1
  [[ $(run list 2>/dev/null | awk 'NR > 1 {print $1}' | sort -u | wc -l) == 3 ]] || fail "expire removed a job of the chain kept"
  restores_whole "$I2"
  run -q check >/dev/null 2>&1 || fail "check finds the store damaged after expire"
  ;;

check)
  make_chain
  run check >check.txt 2>&1 || { cat check.txt >&2; fail "check finds a sound chain damaged"; }
  grep -q "bytes checked ([0-9]* of them the data that jobs refer to in other jobs' archive files, read again)$" check.txt ||
    { cat check.txt >&2; fail "check does not say it read the data held for other jobs"; }
  cp -a store sound

  # A byte of a.bin's share in the full's archive file: every job that
  # refers to it is named, with the file and the full.
  damage "$(data_of "$F" 1)" 10
  got=0
  run check >check.txt 2>&1 || got=$?
  [[ $got == 1 ]] || { cat check.txt >&2; fail "check of a damaged held share exited $got"; }
  for job in "$I1" "$I2" "$D"; do
    grep -qx "problem: job $job: a.bin, held by job $F, stream 1, archive file [0-9]*-1-[0-9]*: its stored bytes do not match the manifest's checksum" check.txt ||
      { cat check.txt >&2; fail "check does not name job $job's damaged held share"; }
  done

  # A byte of b.bin's first block in the full (its share follows a.bin's
  # first half on stream 1): I1 holds b.bin's share there, I2 and D changed
  # b.bin's second block only and keep the first as a piece of the full,
  # which is read and checked block by block.
  rm -rf store
  cp -a sound store
  damage "$(data_of "$F" 1)" 60010
  got=0
  run check >check.txt 2>&1 || got=$?
  [[ $got == 1 ]] || { cat check.txt >&2; fail "check of a damaged held piece exited $got"; }
  grep -qx "problem: job $I1: b.bin, held by job $F, stream 1, archive file [0-9]*-1-[0-9]*: its stored bytes do not match the manifest's checksum" check.txt ||
    { cat check.txt >&2; fail "check does not name I1's damaged held share"; }
  for job in "$I2" "$D"; do
    grep -qx "problem: job $job: b.bin, held by job $F, stream 1, archive file [0-9]*-1-[0-9]*: the piece at bytes 0 to 32768: block 0 does not match the manifest's checksum; it is damaged" check.txt ||
      { cat check.txt >&2; fail "check does not name job $job's damaged held piece"; }
  done

  # I2's own piece of b.bin cut short and I2 marked damaged: I2 still
  # restores the files other jobs hold for it, but not b.bin.
  rm -rf store
  cp -a sound store
  read -r trellan group afile < <(python3 - "store/jobs/$I2.manifest.json" <<'PY'
import json, sys
b = [f for f in json.load(open(sys.argv[1]))["files"] if f["name"] == "b.bin"][0]
own = [p for p in b["pieces"] if "heldBy" not in p]
assert len(own) == 1 and own[0]["sourceOffset"] == 32768 and own[0]["seekOffset"] == 0, own
print(own[0]["trellanId"], own[0]["groupNumber"], own[0]["afileId"])
PY
)
  truncate -s -10 "store/files/$afile.arch"
  run -q mark-damaged "$I2" >/dev/null
  rm -rf out
  mkdir out
  run -q restore --job "$I2" --file a.bin --output out 2>err.txt || { cat err.txt >&2; fail "a file the full holds for a damaged incr does not restore"; }
  cmp -s out/a.bin "inputs-$I2/a.bin" || fail "a file the full holds for a damaged incr restored other bytes"
  refused 1 "archive file $trellan-$group-$afile of stream $group of job $I2, which is marked damaged, holds 17322 bytes; b.bin's part lies at bytes 0 to 17332; b.bin cannot be restored" \
    restore --job "$I2" --file b.bin --output out
  [[ ! -e out/b.bin ]] || fail "a refused restore of a damaged incr left an output"

  # A compressed job marked damaged, its one archive file cut short in the
  # second file: the first, whose stored bytes are fewer than its own, is
  # checked by its stored range and restores.
  rm -rf store out
  mkdir out
  seq 1 30000 >text.txt
  head -c 60000 /dev/urandom >noise.bin
  run -q backup text.txt noise.bin --streams 1 --compress zstd --manifest z.json
  job=$(job_of z.json)
  truncate -s -10 "$(data_of "$job" 1)"
  run -q mark-damaged "$job" >/dev/null
  run -q restore --job "$job" --file text.txt --output out 2>err.txt ||
    { cat err.txt >&2; fail "the whole compressed file of a damaged job does not restore"; }
  cmp -s out/text.txt text.txt || fail "the whole compressed file of a damaged job restored other bytes"
  got=0
  run -q restore --job "$job" --file noise.bin --output out 2>err.txt || got=$?
  [[ $got == 1 ]] && grep -q "which is marked damaged, holds .*; noise.bin cannot be restored" err.txt ||
    { cat err.txt >&2; fail "the cut compressed file of a damaged job was not refused (exit $got)"; }

  # The full's files removed behind the agent's back.
  rm -rf store
  cp -a sound store
  rm -f "$(data_of "$F" 1)" "$(data_of "$F" 2)"
  got=0
  run check >check.txt 2>&1 || got=$?
  [[ $got == 1 ]] || { cat check.txt >&2; fail "check of a store without the full's files exited $got"; }
  grep -qx "problem: job $I1: a.bin (and 1 more file) held by job $F: archive file [0-9]*-1-[0-9]* (stream 1): cannot read $PWD/store/files/[0-9]*.arch: .*" check.txt ||
    { cat check.txt >&2; fail "check does not name the reference to the full whose files are gone"; }
  # And the full gone from the catalog too.
  sqlite3 store/catalog.db "DELETE FROM archive_files WHERE job_id = $F; DELETE FROM jobs WHERE job_id = $F"
  rm -f "store/jobs/$F."*
  got=0
  run check >check.txt 2>&1 || got=$?
  [[ $got == 1 ]] || { cat check.txt >&2; fail "check of a store without the full exited $got"; }
  for job in "$I1" "$D"; do
    grep -qx "problem: job $job: a.bin\( (and 1 more file)\)\? held by job $F: the store has no job $F" check.txt ||
      { cat check.txt >&2; fail "check does not name job $job's reference to the full gone"; }
  done
  grep -qx "problem: job $I2: a.bin held by job $F: the store has no job $F" check.txt ||
    { cat check.txt >&2; fail "check does not name job I2's reference to the full gone"; }
  if grep -q "^problem: job $I2: c.bin" check.txt; then
    cat check.txt >&2
    fail "check names I2's sound reference to I1"
  fi

  # Held shares are opened with their holder's stages: a full compressed
  # with zstd, an incr with lz4 (a.bin changed) and an incr without stages
  # (b.bin changed) on it, which holds c.bin in the full and a.bin in the
  # first incr, check sound; so they do when the full's own copy of its
  # manifest is gone, and its frames are read for the jobs that refer to
  # them alone, with the stages their references record. A byte of the
  # full's frames of c.bin is found through both jobs that refer to it.
  rm -rf store sound
  F=$(backup full --compress zstd)
  head -c 100 /dev/urandom >>a.bin
  I1=$(backup incr --compress lz4)
  head -c 100 /dev/urandom >>b.bin
  I2=$(backup incr)
  [[ $(type_of "$I2") == "incr $I1" ]] || fail "the chain of other stages is not one"
  run check >check.txt 2>&1 || { cat check.txt >&2; fail "check finds a chain of other stages damaged"; }
  cp -a store sound
  rm "store/jobs/$F.manifest.json"
  got=0
  run check >check.txt 2>&1 || got=$?
  [[ $got == 1 && $(grep -c '^problem: ' check.txt) == 1 ]] &&
    grep -q "^problem: job $F is complete but the store keeps no manifest of it" check.txt ||
    { cat check.txt >&2; fail "check without the full's manifest found other problems (exit $got)"; }
  rm -rf store
  cp -a sound store
  data=$(data_of "$F" 2)  # a.bin's second half, then c.bin whole
  damage "$data" $(($(stat -c %s "$data") - 10))
  got=0
  run check >check.txt 2>&1 || got=$?
  [[ $got == 1 ]] || { cat check.txt >&2; fail "check of damaged frames held for others exited $got"; }
  for job in "$I1" "$I2"; do
    grep -qx "problem: job $job: c.bin, held by job $F, stream 2, archive file [0-9]*-2-[0-9]*: .*" check.txt ||
      { cat check.txt >&2; fail "check does not name job $job's damaged held frames"; }
  done
  ;;

list)
  # A store of full backups lists as it always did.
  head -c 1000 /dev/urandom >a.bin
  head -c 1000 /dev/urandom >b.bin
  head -c 1000 /dev/urandom >c.bin
  backup full >/dev/null
  [[ $(run list 2>/dev/null | head -n 1 | tr -s ' ') == "JOB STATE ARCHIVE FILE STREAM FILE STATE BYTES CREATED" ]] ||
    fail "list of fulls has other columns"
  run list --json 2>/dev/null | python3 -c 'import json, sys; assert all("backup" not in j for j in json.load(sys.stdin)["jobs"])' ||
    fail "list --json of fulls tells the chain"
  rm -rf store inputs-*
  make_chain
  [[ $(run list 2>/dev/null | head -n 1 | tr -s ' ') == "JOB STATE ARCHIVE FILE STREAM FILE STATE BYTES CREATED TYPE REFERENCE" ]] ||
    fail "list of a chain has not TYPE and REFERENCE last"
  [[ $(type_of "$F") == "full -" && $(type_of "$I1") == "incr $F" && $(type_of "$I2") == "incr $I1" &&
     $(type_of "$D") == "diff $F" ]] || { run list >&2; fail "list does not show each job's type and reference"; }
  run list --json 2>/dev/null >list.json
  python3 - "$F" "$I1" "$I2" "$D" <<'EOF' || fail "list --json does not tell each job's chain"
import json, sys
f, i1, i2, d = map(int, sys.argv[1:])
jobs = {j["jobId"]: j for j in json.load(open("list.json"))["jobs"]}
assert jobs[f]["backup"] == {"set": "nightly", "type": "full"}, jobs[f]
assert jobs[i1]["backup"] == {"set": "nightly", "type": "incr", "reference": f, "full": f, "depth": 1}
assert jobs[i2]["backup"] == {"set": "nightly", "type": "incr", "reference": i1, "full": f, "depth": 2}
assert jobs[d]["backup"] == {"set": "nightly", "type": "diff", "reference": f, "full": f, "depth": 1}
assert list(jobs[d])[:6] == ["jobId", "state", "createdAt", "updatedAt", "lastVerified", "archiveFiles"]
EOF
  # A job that is not complete lists with dashes.
  sqlite3 store/catalog.db "UPDATE jobs SET state = 'failed' WHERE job_id = $I2"
  [[ $(type_of "$I2") == "- -" ]] || fail "a failed job lists a type"
  ;;

crash)
  # Kills at every step of a delete of two incrs (the job referred to named
  # first) and of an expire that keeps the diff: right after each kill the
  # job kept restores, and after a cleanup check finds the store sound.
  make_chain
  cp -a store chain
  for command in delete expire; do
    for ((n = 1; ; n++)); do
      rm -rf store
      cp -a chain store
      got=0
      if [[ $command == delete ]]; then
        run --test-kill-at "$n" delete "$I1" "$I2" --yes >/dev/null 2>err.txt || got=$?
      else
        run --test-kill-at "$n" expire --keep-last 1 >/dev/null 2>err.txt || got=$?
      fi
      [[ $got == 0 || $got == 137 ]] || { cat err.txt >&2; fail "$command killed at step $n exited $got"; }
      # The diff kept restores at once, reading the full it refers to too;
      # after a cleanup check verifies every job left complete, references
      # and held shares included.
      restores_whole "$D"
      run -q cleanup >/dev/null 2>&1 || fail "cleanup after $command killed at step $n failed"
      run check >check.txt 2>&1 || { cat check.txt >&2; fail "$command killed at step $n: check finds the store damaged"; }
      [[ $got == 0 ]] && break
      (( n < 200 )) || fail "the $command never completed"
    done
    echo "$command killed at $((n - 1)) steps"
  done
  ;;

*)
  fail "unknown case $case_name"
  ;;
esac
echo "PASS: $case_name"
