#!/usr/bin/env bash
# Runs a test command with every store it makes keeping its catalog on the
# test PostgreSQL server that PIPELINESETUP_TEST_PG names (.ci/postgres
# starts one); exits 77, which ctest counts as skipped, when none is named.
# Usage: on_postgres.sh COMMAND [ARGS...]
set -euo pipefail
# shellcheck source=pg_env.sh
source "$(dirname "$0")/pg_env.sh"
if [[ -z ${PIPELINESETUP_TEST_PG:-} ]]; then
  echo "SKIP: PIPELINESETUP_TEST_PG names no PostgreSQL server"
  exit 77
fi
export PIPELINE_CATALOG=$PIPELINESETUP_TEST_PG
exec "$@"
