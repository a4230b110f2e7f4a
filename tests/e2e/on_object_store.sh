#!/usr/bin/env bash
# Runs a test command with the stores it makes in the test object store
# (a prefix of this run's own in the bucket PIPELINESETUP_TEST_S3 names, or
# the ctest fixture's Swift) and their catalogs on the test PostgreSQL
# server; exits 77, which ctest counts as skipped, without either. The
# objects it made are removed afterwards.
# Usage: on_object_store.sh S3_TOOL COMMAND [ARGS...]
set -euo pipefail
s3tool=$(realpath "$1")
shift
# shellcheck source=pg_env.sh
source "$(dirname "$0")/pg_env.sh"
if [[ -z ${PIPELINESETUP_TEST_S3:-} && -s ${PIPELINESETUP_TEST_S3_FILE:-} ]]; then
  set -a
  # shellcheck disable=SC1090
  source <(grep -E '^(AWS_[A-Z_]+|PIPELINESETUP_TEST_S3)=' "$PIPELINESETUP_TEST_S3_FILE")
  set +a
fi
if [[ -z ${PIPELINESETUP_TEST_PG:-} ]]; then
  echo "SKIP: PIPELINESETUP_TEST_PG names no PostgreSQL server"
  exit 77
fi
if [[ -z ${PIPELINESETUP_TEST_S3:-} ]]; then
  echo "SKIP: no object store (Swift is not installed and PIPELINESETUP_TEST_S3 is unset)"
  exit 77
fi
export PIPELINE_CATALOG=$PIPELINESETUP_TEST_PG
export PIPELINESETUP_TEST_S3_TOOL=$s3tool
export PIPELINESETUP_TEST_STORE_BASE=$PIPELINESETUP_TEST_S3/e2e-$$-$RANDOM
status=0
"$@" || status=$?
bucket=${PIPELINESETUP_TEST_S3#s3://}
bucket=${bucket%%/*}
for key in $("$s3tool" keys "$PIPELINESETUP_TEST_STORE_BASE/" | cut -d' ' -f1); do
  "$s3tool" rm "s3://$bucket/$key" || true
done
exit "$status"
