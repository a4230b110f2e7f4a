#!/usr/bin/env bash
# The throwaway PostgreSQL server of one test run, as a ctest fixture:
#   pg_server.sh start FILE   starts one (.ci/postgres) in a directory of its
#                             own and records its connection string and that
#                             directory in FILE
#   pg_server.sh stop FILE    stops it and removes both
# The server is stopped, and both removed, when the process that started
# the fixture (ctest) ends without stopping it: killed, say.
# With $PIPELINESETUP_TEST_PG naming a server it does nothing, and the
# PostgreSQL tests use that one; without a PostgreSQL server installed it
# says so, and they skip.
set -euo pipefail
command=${1:?usage: pg_server.sh start|stop FILE}
file=${2:?usage: pg_server.sh start|stop FILE}
root=$(cd "$(dirname "$0")/.." && pwd)

case $command in
start)
  rm -f "$file"
  if [[ -n ${PIPELINESETUP_TEST_PG:-} ]]; then
    echo "using the server that PIPELINESETUP_TEST_PG names"
    exit 0
  fi
  if ! compgen -G '/usr/lib/postgresql/*/bin/pg_ctl' >/dev/null; then
    echo "no PostgreSQL server is installed: the PostgreSQL tests skip"
    exit 0
  fi
  dir=$(mktemp -d "${TMPDIR:-/tmp}/pipelinesetup-pg.XXXXXX")
  conninfo=$("$root/.ci/postgres" start "$dir") || { rm -rf "$dir"; exit 1; }
  setsid "$root/tests/when_gone.sh" "$PPID" "$0" stop "$file" </dev/null >/dev/null 2>&1 &
  printf '%s\n%s\n%s\n' "$conninfo" "$dir" "$!" >"$file"
  echo "started a test server: $conninfo"
  ;;
stop)
  [[ -f $file ]] || exit 0
  dir=$(sed -n 2p "$file")
  watcher=$(sed -n 3p "$file")
  [[ -n $watcher && $watcher != "$$" ]] && kill -- "-$watcher" 2>/dev/null || true
  "$root/.ci/postgres" stop "$dir" || true
  rm -rf "$dir" "$file"
  ;;
*)
  echo "usage: pg_server.sh start|stop FILE" >&2
  exit 2
  ;;
esac
