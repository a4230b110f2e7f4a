# Shared by the end-to-end scripts: a work directory of their own, removed at
# exit, and the checks of what a run of the agent printed. Sourced after
# `agent` is set; $1 names the work directory's prefix.

work=$(mktemp -d "${TMPDIR:-/tmp}/$1.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

fail() { echo "FAIL: $*" >&2; exit 1; }

# Runs the agent, expecting exit status $1 and stderr containing $2.
expect() {
  local status=$1 text=$2
  shift 2
  local got=0
  "$agent" "$@" >out.txt 2>err.txt || got=$?
  [[ $got == "$status" ]] || { cat err.txt >&2; fail "'$*' exited $got, expected $status"; }
  grep -qF -- "$text" err.txt || { cat err.txt >&2; fail "'$*' did not say: $text"; }
}

# Runs the agent, expecting exit status $1 and stderr to be exactly the one
# line "pipeline-agent: error: $2".
expect_line() {
  local status=$1 line=$2
  shift 2
  expect "$status" "$line" "$@"
  [[ $(cat err.txt) == "pipeline-agent: error: $line" ]] ||
    { cat err.txt >&2; fail "'$*' did not say only: $line"; }
}
