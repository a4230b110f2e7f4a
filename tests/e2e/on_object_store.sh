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
# shellcheck source=s3_env.sh
source "$(dirname "$0")/s3_env.sh"
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
