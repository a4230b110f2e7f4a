#!/usr/bin/env bash
# Runs a test command with every store it makes keeping its catalog on the
# test PostgreSQL server that PIPELINESETUP_TEST_PG names (.ci/postgres
# starts one); exits 77, which ctest counts as skipped, when none is named.
# Usage: on_postgres.sh COMMAND [ARGS...]
set -euo pipefail
# The server this test run started when none is named (tests/pg_server.sh).
if [[ -z ${PIPELINESETUP_TEST_PG:-} && -s ${PIPELINESETUP_TEST_PG_FILE:-} ]]; then
  PIPELINESETUP_TEST_PG=$(head -n 1 "$PIPELINESETUP_TEST_PG_FILE")
  export PIPELINESETUP_TEST_PG
fi
if [[ -z ${PIPELINESETUP_TEST_PG:-} ]]; then
  echo "SKIP: PIPELINESETUP_TEST_PG names no PostgreSQL server"
  exit 77
fi
export PIPELINE_CATALOG=$PIPELINESETUP_TEST_PG
exec "$@"
