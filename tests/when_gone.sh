#!/usr/bin/env bash
# Runs COMMAND once the process PID has ended: how a test run's fixture
# makes the server it started end with the run however the run ends (ctest
# runs no fixture cleanup when it is killed). Start it detached, in a
# session of its own and holding none of the caller's output:
#   setsid tests/when_gone.sh PID COMMAND... </dev/null >/dev/null 2>&1 &
# and kill it when the server is stopped the ordinary way.
set -u
pid=${1:?usage: when_gone.sh PID COMMAND...}
shift
tail --pid="$pid" -f /dev/null
exec "$@"
