#!/usr/bin/env bash
# The throwaway object store of one test run, as a ctest fixture:
#   s3_server.sh start FILE   starts one (.ci/objectstore: Swift with s3api on
#                             127.0.0.1) in a directory of its own and records
#                             its AWS_* and PIPELINESETUP_TEST_S3 assignments
#                             and that directory in FILE (mode 600: it holds
#                             the test secret)
#   s3_server.sh stop FILE    stops it and removes both
# The servers are stopped, and both removed, when the process that started
# the fixture (ctest) ends without stopping them: killed, say.
# With $PIPELINESETUP_TEST_S3 naming a bucket it does nothing, and the tests
# use that one; without Swift installed it says so, and they skip.
set -euo pipefail
command=${1:?usage: s3_server.sh start|stop FILE}
file=${2:?usage: s3_server.sh start|stop FILE}
root=$(cd "$(dirname "$0")/../.." && pwd)

case $command in
start)
  rm -f "$file"
  if [[ -n ${PIPELINESETUP_TEST_S3:-} ]]; then
    echo "using the bucket that PIPELINESETUP_TEST_S3 names"
    exit 0
  fi
  if ! command -v swift-proxy-server >/dev/null || ! command -v memcached >/dev/null; then
    echo "Swift (swift-proxy) or memcached is not installed: the object-store integration tests skip"
    exit 0
  fi
  dir=$(mktemp -d "${TMPDIR:-/tmp}/pipelinesetup-s3.XXXXXX")
  assignments=$("$root/.ci/objectstore" start "$dir") || { "$root/.ci/objectstore" stop "$dir" || true; rm -rf "$dir"; exit 1; }
  setsid "$root/tests/when_gone.sh" "$PPID" "$0" stop "$file" </dev/null >/dev/null 2>&1 &
  (umask 077 && printf '%s\nOBJECTSTORE_DIR=%s\nOBJECTSTORE_WATCHER=%s\n' "$assignments" "$dir" "$!" >"$file")
  echo "started a test object store: $(grep '^AWS_ENDPOINT_URL=' <<<"$assignments")"
  ;;
stop)
  [[ -f $file ]] || exit 0
  dir=$(sed -n 's/^OBJECTSTORE_DIR=//p' "$file")
  watcher=$(sed -n 's/^OBJECTSTORE_WATCHER=//p' "$file")
  [[ -n $watcher && $watcher != "$$" ]] && kill -- "-$watcher" 2>/dev/null || true
  if [[ -n $dir ]]; then
    "$root/.ci/objectstore" stop "$dir" || true
    rm -rf "$dir"
  fi
  rm -f "$file"
  ;;
*)
  echo "usage: s3_server.sh start|stop FILE" >&2
  exit 2
  ;;
esac
