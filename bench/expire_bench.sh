#!/usr/bin/env bash
# expire over a store of many complete jobs, each with one archive file of
# 4 KiB: the jobs are entered straight into the catalog (SQLite's, or
# PostgreSQL's when $PIPELINE_CATALOG names a server) with their files,
# descriptions and completion markers, one day apart, since a thousand real
# backups would take minutes. Times a dry run and an expire that keeps the
# last 10. Not part of CI.
# Usage: expire_bench.sh AGENT [JOBS]
set -euo pipefail

agent=$(realpath "$1")
jobs=${2:-1000}
work=$(mktemp -d "${TMPDIR:-/tmp}/expire-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

run() { "$agent" --store store --test-skip-pauses --log-level -1 -q "$@"; }
head -c 4096 /dev/urandom >seed.bin
run backup seed.bin --manifest seed.json
trellan=$(sed -n 's/^trellan_id=//p' store/store.ini)
first_job=5000000000
first_file=1000000
if [[ -n ${PIPELINE_CATALOG:-} ]]; then
  psql -X -q -d "$PIPELINE_CATALOG" -c "SET client_min_messages = warning" \
    -c "SET search_path TO pipelinesetup_store_$trellan" -c "
INSERT INTO jobs SELECT $first_job + i, 'complete',
  to_char(timestamp '2020-01-01' + i * interval '1 day', 'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"'),
  to_char(timestamp '2020-01-01' + i * interval '1 day', 'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"')
  FROM generate_series(1, $jobs) AS i;
INSERT INTO archive_files(afile_id, trellan_id, group_number, job_id, stream, state, size, path,
  created_at, updated_at) SELECT $first_file + i, $trellan, 1, $first_job + i, 1, 'closed', 4096,
  'files/' || ($first_file + i) || '.arch', '2020-01-01T00:00:00.000Z', '2020-01-01T00:00:00.000Z'
  FROM generate_series(1, $jobs) AS i;"
else
  sqlite3 store/catalog.db "
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < $jobs)
INSERT INTO jobs SELECT $first_job + i, 'complete',
  strftime('%Y-%m-%dT%H:%M:%fZ', '2020-01-01', '+' || i || ' days'),
  strftime('%Y-%m-%dT%H:%M:%fZ', '2020-01-01', '+' || i || ' days') FROM n;
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < $jobs)
INSERT INTO archive_files(afile_id, trellan_id, group_number, job_id, stream, state, size, path,
  created_at, updated_at) SELECT $first_file + i, $trellan, 1, $first_job + i, 1, 'closed', 4096,
  'files/' || ($first_file + i) || '.arch', '2020-01-01T00:00:00.000Z', '2020-01-01T00:00:00.000Z'
  FROM n;"
fi
for ((i = 1; i <= jobs; i++)); do
  cp seed.bin "store/files/$((first_file + i)).arch"
  : >"store/files/$((first_file + i)).meta"
  : >"store/jobs/$((first_job + i)).complete"
done

seconds() { local start=$EPOCHREALTIME; "$@" >/dev/null; echo "$EPOCHREALTIME - $start" | bc; }
dry=$(seconds run expire --keep-last 10 --dry-run)
real=$(seconds run expire --keep-last 10)
left=$(run list 2>/dev/null | awk 'NR > 1 {print $1}' | sort -u | wc -l)
files=$(find store/files -name '*.arch' | wc -l)
kind=SQLite
[[ -n ${PIPELINE_CATALOG:-} ]] && kind=PostgreSQL
echo "catalog: $kind; $((jobs + 1)) complete jobs"
echo "expire --keep-last 10 --dry-run: $dry s"
echo "expire --keep-last 10: $real s; jobs left: $left, archive files left: $files"
