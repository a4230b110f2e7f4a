#!/usr/bin/env bash
# End-to-end runs of what every restore target shares: the trace never lands
# on an output's place. Usage: restore_flow_e2e.sh AGENT CASE
set -euo pipefail

agent=$1
case_name=$2
# shellcheck source=lib.sh
source "$(dirname "$0")/lib.sh" restore-flow-e2e

run() { "$agent" --store store --test-skip-pauses "$@"; }

case $case_name in
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
