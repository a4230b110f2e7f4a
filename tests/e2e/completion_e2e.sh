#!/usr/bin/env bash
# The bash completion the build wrote (pipeline-agent --completion bash),
# sourced in bash and driven as readline drives it (COMP_WORDS, COMP_CWORD):
# commands, each command's options and the shared ones, option values by
# kind, and every option that `COMMAND --help` shows offered after it.
#
# Usage: completion_e2e.sh COMPLETION_SCRIPT AGENT
set -eo pipefail

script=$(realpath "$1")
agent=$(realpath "$2")
[[ -s $script ]] || { echo "FAIL: no completion script at $1" >&2; exit 1; }
work=$(mktemp -d "${TMPDIR:-/tmp}/agent-completion.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

fail() { echo "FAIL: $*" >&2; exit 1; }

# shellcheck source=/dev/null
source "$script"
[[ $(complete -p pipeline-agent) == "complete -F _pipeline_agent pipeline-agent" ]] ||
  fail "the script does not register _pipeline_agent for pipeline-agent"

# Completes the command line "$@", whose last word is the one under the
# cursor; the candidates go to $got, one a line, sorted.
offer() {
  COMP_WORDS=("$@")
  COMP_CWORD=$(($# - 1))
  COMPREPLY=()
  # As an interactive shell runs it: without errexit (compopt, which only
  # works inside a completion that readline started, fails here).
  set +e
  _pipeline_agent
  set -e
  got=$(printf '%s\n' "${COMPREPLY[@]}" | sed '/^$/d' | sort)
}

# offer "$@", and $got must be exactly the lines of $expected.
expect_offer() {
  offer "$@"
  [[ $got == "$expected" ]] ||
    fail "'$*<TAB>' offered [$(tr '\n' ' ' <<<"$got")], expected [$(tr '\n' ' ' <<<"$expected")]"
}

# Whether $got has the line $1.
offered() { grep -qxF -- "$1" <<<"$got"; }

# Commands: by prefix, and only before the command.
expected=restore expect_offer pipeline-agent res
expected=$'check\ncleanup\ncopy' expect_offer pipeline-agent c
expected=mark-damaged expect_offer pipeline-agent mark
expected="" expect_offer pipeline-agent nosuch
offer pipeline-agent ""
[[ $(wc -l <<<"$got") == 13 ]] && offered backup && offered demo && offered wal-push ||
  fail "an empty word did not offer the thirteen commands: $got"
# An option's value is not the command: the command after it still completes.
expected=restore expect_offer pipeline-agent --store /tmp/s res
expected=restore expect_offer pipeline-agent --store=/tmp/s res
expected=restore expect_offer pipeline-agent -v --log-level 3 res

# A command's options, with the shared ones; no option for tests.
expected=--streams expect_offer pipeline-agent backup --str
expected=$'--keep-daily\n--keep-last\n--keep-monthly\n--keep-weekly\n--keep-within' \
  expect_offer pipeline-agent --store s expire --ke
offer pipeline-agent backup --
for option in --manifest --compress --encrypt --from-command --store --json --quiet; do
  offered "$option" || fail "'backup --' did not offer $option"
done
for option in --fail-stream --test-lowest-kdf --test-after-first-chunk --test-kill-at \
    --test-storage-fault --output --keep-last; do
  ! offered "$option" || fail "'backup --' offered $option"
done
offer pipeline-agent --
offered --store && offered --version && ! offered --manifest ||
  fail "'--' before a command did not offer the shared options alone: $got"
# The options of the command named, not of a command that is an option's value.
offer pipeline-agent --log-file restore backup --
offered --manifest && ! offered --output || fail "the command was taken from an option's value"

# Values: files, groups, commands, or nothing for numbers.
mkdir -p stores/one && touch manifest.json
expected=stores expect_offer pipeline-agent --store st
expected=stores expect_offer pipeline-agent --store = st
expected=manifest.json expect_offer pipeline-agent backup x --manifest man
expected=manifest.json expect_offer pipeline-agent restore man
expected="" expect_offer pipeline-agent backup --streams ""
expected="" expect_offer pipeline-agent restore --job 1
offer pipeline-agent --share-group ro
offered root || fail "--share-group did not offer the group root: $got"
offer pipeline-agent backup --from-command bas
offered bash || fail "--from-command did not offer the command bash: $got"
# A word that is no option, after the command, is a file (an input).
expected=manifest.json expect_offer pipeline-agent backup man

# Every option `COMMAND --help` shows is offered after COMMAND.
commands=$("$agent" --help | sed -n '/^Subcommands:/,$p' | awk 'NR > 1 && NF { print $1 }')
[[ -n $commands ]] || fail "no command in pipeline-agent --help"
for command in $commands; do
  offer pipeline-agent "$command" --
  for option in $("$agent" "$command" --help | grep -oE -- '^  (-[a-z],)?--[a-z][a-z0-9-]*' |
      sed 's/.*,//; s/^ *//'); do
    offered "$option" || fail "'$command --' did not offer $option, which '$command --help' shows"
  done
done
echo "completion: all passed"
