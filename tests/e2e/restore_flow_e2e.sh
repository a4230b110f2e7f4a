#!/usr/bin/env bash
# End-to-end runs of what every restore target shares: the files of a set by
# name, a tree (or a set too large to hold open) and standard output refuse
# the same damage with the same line and leave nothing behind; the trace
# never lands on an output's place. Usage: restore_flow_e2e.sh AGENT CASE
set -euo pipefail

agent=$1
case_name=$2
# shellcheck source=lib.sh
source "$(dirname "$0")/lib.sh" restore-flow-e2e

run() { "$agent" --store store --test-skip-pauses "$@"; }

# The error line of the last run (err.txt), without where its log is.
error_line() {
  grep '^pipeline-agent: error: ' err.txt | sed 's/ (log: [^)]*)$//'
}

# Where file $2's share on stream $3 lies in manifest $1: "ARCHIVE OFFSET",
# the store's archive file of the share and the share's first byte in it.
share_at() {
  python3 - "$@" <<'PY'
import json, sys
m = json.load(open(sys.argv[1]))
f = [f for f in m["files"] if f["name"] == sys.argv[2]][0]
s = [s for s in f["streams"] if s["stream"] == int(sys.argv[3])][0]
print("store/files/%d.arch %d" % (s["afileId"], s["seekOffset"]))
PY
}

# Swaps 4 bytes at offset $2 of file $1 with those kept in $3 (the first
# swap keeps the original bytes there; the second puts them back).
swap_bytes() {
  local path=$1 at=$2 keep=$3
  if [[ -e $keep ]]; then
    dd if="$keep" of="$path" bs=1 seek="$at" conv=notrunc status=none
    rm "$keep"
  else
    dd if="$path" of="$keep" bs=1 skip="$at" count=4 status=none
    printf 'XXXX' | dd of="$path" bs=1 seek="$at" conv=notrunc status=none
  fi
}

# Nothing in directory $1 but what its listing $2 was, and no record of a
# hidden partial output left in the store.
left_as_it_was() {
  [[ $(ls -A "$1") == "$2" ]] || { ls -lA "$1" >&2; fail "$3 left something in $1"; }
  [[ -z $(ls -A store/partial 2>/dev/null) ]] ||
    { ls -lA store/partial >&2; fail "$3 left a partial output's record"; }
}

# Fails when a file matching any of the globs exists.
none_named() {
  local glob
  for glob in "$@"; do
    if compgen -G "$glob" >/dev/null; then fail "left behind: $(compgen -G "$glob")"; fi
  done
}

# Runs a restore expected to fail on damage (exit 1) with the error line $1;
# $2 names the target.
refused_alike() {
  local want=$1 what=$2 got=0
  shift 2
  run restore "$@" >out.bin 2>err.txt || got=$?
  [[ $got == 1 ]] || { cat err.txt >&2; fail "$what exited $got, not 1"; }
  [[ $(error_line) == "$want" ]] ||
    { cat err.txt >&2; fail "$what did not say: $want"; }
}

case $case_name in
damaged_part)
  # More files than a set's restore holds open at once, a larger file and a
  # stream input of three stripes: the whole set goes through a tree's
  # hidden directory, a file or the stream named by --file through a file
  # of its own, and the stream also to standard output.
  mkdir in
  for i in $(seq -w 1 300); do head -c 100 /dev/urandom >"in/f$i"; done
  head -c 300000 /dev/urandom >big.bin
  head -c $((3 * 1024 * 1024)) /dev/urandom >dump.src
  run backup in/f* big.bin --from-command 'cat dump.src' --name dump.sql --streams 3 \
    --manifest m.json 2>backup.log || { cat backup.log >&2; fail "backup failed"; }

  # A damaged part of big.bin (stream 2): every target reads it and stops.
  read -r archive offset < <(share_at m.json big.bin 2)
  afile=$(basename "$archive" .arch)
  swap_bytes "$archive" $((offset + 10)) kept.bin
  mkdir all one
  run restore m.json --output all >/dev/null 2>err.txt && fail "the damaged set restored"
  want=$(error_line)
  [[ $want == "pipeline-agent: error: stream 2, archive file "*"-$afile does not match the manifest's checksum; it is damaged" ]] ||
    { cat err.txt >&2; fail "the set's restore did not name stream 2 and archive file $afile"; }
  left_as_it_was all "" "the whole set (a tree's hidden directory)"
  refused_alike "$want" "big.bin into a directory" m.json --file big.bin --output one
  left_as_it_was one "" "big.bin into a directory"
  refused_alike "$want" "big.bin to a path" m.json --file big.bin --output big.out
  refused_alike "$want" "big.bin to a hidden named file" m.json --file big.bin --output big.out \
    --named-temporary
  none_named 'big.out*' '.big.out*'
  echo old >keep.bin
  refused_alike "$want" "big.bin over a file" m.json --file big.bin --output keep.bin --force
  [[ $(cat keep.bin) == old ]] || fail "a damaged restore with --force replaced keep.bin"
  none_named '.keep.bin*'
  left_as_it_was one "" "big.bin to a path"
  swap_bytes "$archive" $((offset + 10)) kept.bin

  # A damaged second stripe of the stream input (stream 2 holds it): the
  # same line for each target; standard output got the first stripe, whole,
  # and nothing after it.
  read -r archive offset < <(share_at m.json dump.sql 2)
  afile=$(basename "$archive" .arch)
  swap_bytes "$archive" $((offset + 10)) kept.bin
  run restore m.json --file dump.sql --output - >got.bin 2>err.txt && fail "the damaged stream restored"
  want=$(error_line)
  [[ $want == "pipeline-agent: error: stripe 2 of dump.sql (stream 2, archive file "*"-$afile) does not match the manifest's checksum; it is damaged" ]] ||
    { cat err.txt >&2; fail "standard output's restore did not name stripe 2 and archive file $afile"; }
  cmp got.bin <(head -c $((1024 * 1024)) dump.src) ||
    fail "standard output did not get exactly the first stripe"
  refused_alike "$want" "dump.sql to a path" m.json --file dump.sql --output dump.out
  none_named 'dump.out*' '.dump.out*'
  refused_alike "$want" "the whole set with its stream" m.json --output all
  left_as_it_was all "" "the whole set with its stream"
  swap_bytes "$archive" $((offset + 10)) kept.bin

  # Undamaged, every target restores it.
  run restore m.json --output all 2>/dev/null
  cmp big.bin all/big.bin && cmp dump.src all/dump.sql && cmp in/f150 all/f150 ||
    fail "the whole set, undamaged, differs"
  run restore m.json --file big.bin --output big.out 2>/dev/null
  cmp big.bin big.out || fail "big.bin, undamaged, differs"
  ;;

trace_places)
  # A tree's restore checks the trace against every place it writes, the
  # stream input's and each entry's, however the trace is spelt: refused at
  # once (exit 2, one line), nothing made; elsewhere in the output the trace
  # is written.
  mkdir -p src/d
  head -c 5000 /dev/urandom >src/d/a
  head -c 3000 /dev/urandom >dump.src
  run backup src --from-command 'cat dump.src' --name dump.sql --manifest m.json 2>/dev/null
  mkdir out
  expect_line 2 "the trace and an output cannot both be out/dump.sql" \
    --store store restore m.json --output out --trace out/dump.sql
  expect_line 2 "the trace and an output cannot both be ./out/dump.sql" \
    --store store restore m.json --output out --trace ./out/dump.sql
  expect_line 2 "the trace and an output cannot both be ./out/src" \
    --store store restore m.json --output out --trace ./out/src
  [[ -z $(ls -A out) ]] || fail "a refused restore wrote into out: $(ls -A out)"
  # Into a tree whose directory src is there already.
  mkdir -p pre/src
  expect_line 2 "the trace and an output cannot both be $PWD/pre/src/d" \
    --store store restore m.json --output pre --trace "$PWD/pre/src/d"
  ln -s pre alias
  expect_line 2 "the trace and an output cannot both be alias/src/d" \
    --store store restore m.json --output pre --trace alias/src/d
  [[ $(ls -A pre) == src && -z $(ls -A pre/src) ]] || fail "a refused restore wrote into pre"
  [[ -z $(ls -A store/partial 2>/dev/null) ]] || fail "a refused restore recorded a partial output"
  run restore m.json --output out --trace ./out/trace.json 2>err.txt ||
    { cat err.txt >&2; fail "a trace beside the tree was refused"; }
  cmp src/d/a out/src/d/a && cmp dump.src out/dump.sql || fail "the tree restored with a trace differs"
  python3 -c 'import json,sys; json.load(open(sys.argv[1]))["traceEvents"]' out/trace.json ||
    fail "the trace beside the tree is no trace"
  ;;

*)
  fail "unknown case $case_name"
  ;;
esac
