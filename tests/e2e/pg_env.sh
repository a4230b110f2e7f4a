# Sourced by the PostgreSQL tests: names in PIPELINESETUP_TEST_PG the
# server this test run started (tests/pg_server.sh) when none is named.
if [[ -z ${PIPELINESETUP_TEST_PG:-} && -s ${PIPELINESETUP_TEST_PG_FILE:-} ]]; then
  PIPELINESETUP_TEST_PG=$(head -n 1 "$PIPELINESETUP_TEST_PG_FILE")
  export PIPELINESETUP_TEST_PG
fi
