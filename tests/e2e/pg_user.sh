# shellcheck shell=bash
# The user a test's own PostgreSQL server runs as (postgres will not run as
# root): server_user, and as_server CMD... to run a command as that user.
server_user=$(id -un)
if ((EUID == 0)); then
  server_user=postgres
  id "$server_user" >/dev/null 2>&1 || server_user=nobody
fi
as_server() {
  if ((EUID == 0)); then
    setpriv --reuid="$server_user" --regid="$(id -g "$server_user")" --clear-groups -- "$@"
  else
    "$@"
  fi
}
