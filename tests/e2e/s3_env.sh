# Sourced by the tests of stores in object storage: names in
# PIPELINESETUP_TEST_PG and PIPELINESETUP_TEST_S3 (with the AWS_* variables)
# the servers this test run started (tests/pg_server.sh,
# tests/objectstore/s3_server.sh) when none are named, and exits 77 (ctest's
# skip) without either.
# shellcheck source=pg_env.sh
source "$(dirname "${BASH_SOURCE[0]}")/pg_env.sh"
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
