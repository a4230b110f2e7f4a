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

# Runs $3... in the background (stdin from /dev/null, stderr to term.txt),
# sends it SIGTERM after $1 seconds and fails unless it ends with status
# 143 within $2 seconds more.
ends_on_sigterm() {
  local after=$1 bound=$2 pid started got=0
  shift 2
  "$@" </dev/null >/dev/null 2>term.txt &
  pid=$!
  sleep "$after"
  started=$SECONDS
  kill -TERM "$pid"
  wait "$pid" || got=$?
  [[ $got == 143 ]] || { cat term.txt >&2; fail "'$*' ended $got on SIGTERM"; }
  ((SECONDS - started < bound)) || fail "'$*' took $((SECONDS - started)) s to end on SIGTERM"
}

# The stores a test makes: directories in its work directory, or, when
# on_object_store.sh runs it, stores of the same names in the test object
# store (below $PIPELINESETUP_TEST_STORE_BASE, looked at with the s3_tool in
# $PIPELINESETUP_TEST_S3_TOOL). Each takes a store's name and a path in it.
if [[ -n ${PIPELINESETUP_TEST_STORE_BASE:-} ]]; then
  export XDG_STATE_HOME=$work/state  # an object store's logs stay on this host
fi
object_store() { [[ -n ${PIPELINESETUP_TEST_STORE_BASE:-} ]]; }
# What --store takes for store $1.
store_url() {
  if object_store; then echo "$PIPELINESETUP_TEST_STORE_BASE/$1"; else echo "$1"; fi
}
# How the agent names store $1 in what it prints: the directory's absolute
# path, or the store's URL.
store_shown() {
  if object_store; then store_url "$1"; else echo "$PWD/$1"; fi
}
# The names in folder $1 of a store ("store/files"), one a line, sorted.
store_ls() {
  if object_store; then
    "$PIPELINESETUP_TEST_S3_TOOL" keys "$PIPELINESETUP_TEST_STORE_BASE/$1/" |
      cut -d' ' -f1 | sed 's|.*/||' | sort
  else
    (cd "$1" && find . -maxdepth 1 -type f -printf '%f\n' | sort)
  fi
}
store_cat() {
  if object_store; then "$PIPELINESETUP_TEST_S3_TOOL" cat "$PIPELINESETUP_TEST_STORE_BASE/$1"; else cat "$1"; fi
}
# Writes stdin's bytes to $1, as a hand in the store would.
store_put() {
  if object_store; then "$PIPELINESETUP_TEST_S3_TOOL" put "$PIPELINESETUP_TEST_STORE_BASE/$1"; else cat >"$1"; fi
}
store_rm() {
  if object_store; then "$PIPELINESETUP_TEST_S3_TOOL" rm "$PIPELINESETUP_TEST_STORE_BASE/$1"; else rm -f "$1"; fi
}
# Where store $1 keeps what stays on this host: the store's directory, or
# for an object store its directory under $XDG_STATE_HOME.
store_host() {
  if object_store; then
    local base=${PIPELINESETUP_TEST_STORE_BASE#s3://}
    echo "$XDG_STATE_HOME/pipelinesetup/s3/$base/$1"
  else
    echo "$PWD/$1"
  fi
}
# The directory of store $1's logs (on this host, for an object store).
store_logs() { echo "$(store_host "$1")/logs"; }
# Exits 77 (skipped) on an object store: for what only a directory has.
directory_only() {
  if object_store; then echo "SKIP: $*"; exit 77; fi
}
# True when the store holds $1 ("store/jobs/7.complete"): an entry of any
# kind in a directory, an object in an object store.
store_has() {
  if object_store; then
    store_ls "$(dirname "$1")" | grep -xF -- "$(basename "$1")" >/dev/null
  else
    [[ -e $1 ]]
  fi
}
