#!/usr/bin/env bash
# What the agent documents against what it does.
#
#   reference  docs/reference.md has a section for every command that --help
#              lists, each command's options in its section, the options
#              for tests among them, the shared options, the exit codes and
#              a JSON document for each command that prints one.
#   page       the manual page made from it renders without a warning from
#              groff (as lintian checks it), has a manual page's sections,
#              every command and option, the agent's version, a whatis entry,
#              and its .gz is gzip -9n of it; skipped (77) when the build made
#              no page (no go-md2man).
#
# Usage: manual_e2e.sh AGENT REFERENCE CASE [MANPAGE]
set -eo pipefail

agent=$(realpath "$1")
reference=$(realpath "$2")
case=$3
page=${4:+$(realpath "$4")}
work=$(mktemp -d "${TMPDIR:-/tmp}/agent-manual.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

fail() { echo "FAIL: $*" >&2; exit 1; }

# Every option of --help-all as "GROUP OPTION": GROUP is shared or a
# command's name, with "-testing" for the options for tests.
"$agent" --help-all | awk '
  /^Subcommands:/ { command = ""; in_commands = 1; next }
  in_commands && /^[a-z][a-z-]*$/ { command = $1; group = command; next }
  /^ *Testing:/ { group = (command == "" ? "shared" : command) "-testing"; next }
  /^ *Options:/ { group = (command == "" ? "shared" : command); next }
  !in_commands && group == "" { next }
  match($0, /^ +(-[a-z],)?--[a-z][a-z0-9-]*/) {
    option = substr($0, RSTART, RLENGTH); sub(/^ +(-[a-z],)?/, "", option)
    if (option != "--help") print group, option
  }' >options.txt
commands=$("$agent" --help | sed -n '/^Subcommands:/,$p' | awk 'NR > 1 && NF { print $1 }')
[[ $(wc -l <options.txt) -gt 40 && $(wc -w <<<"$commands") == 13 ]] ||
  fail "could not read the options and commands of --help-all: $(wc -l <options.txt) options"

# The part of file $1 under the heading $2 (a whole line), up to the next
# heading of the same or a higher level.
section() {
  awk -v heading="$2" '
    $0 == heading { level = index($0, " "); found = 1; print; next }
    found && /^#+ / && index($0, " ") <= level { exit }
    found { print }' "$1"
}

check_reference() {
  for command in $commands; do
    section "$reference" "### $command" >"$command.md"
    [[ -s $command.md ]] || fail "docs/reference.md has no section ### $command"
  done
  section "$reference" "## Shared options" >shared.md
  section "$reference" "## Options for tests" >testing.md
  section "$reference" "## Exit codes" >exit.md
  section "$reference" "## JSON documents" >json.md
  while read -r group option; do
    case $group in
      shared) where=shared.md ;;
      *-testing) where=testing.md ;;
      *) where=$group.md ;;
    esac
    grep -qF -- "\`$option" "$where" ||
      fail "docs/reference.md does not describe $option ($group) where it belongs ($where)"
  done <options.txt
  for code in 0 1 2 3; do
    grep -q "^| $code | " exit.md || fail "docs/reference.md has no exit code $code"
  done
  # The commands whose --json --help says print a document.
  for command in $("$agent" --help | sed -n 's/^ *--json *\([a-z, ]*\):.*/\1/p' | tr ',' ' '); do
    grep -qF "\"command\": \"$command\"" json.md || fail "docs/reference.md shows no $command document"
  done
  grep -qF -- '`--completion bash`' shared.md || fail "docs/reference.md does not describe --completion"
  echo "reference: every command, option, exit code and document described"
}

check_page() {
  [[ -n $page && -f $page ]] || { echo "no manual page was built (go-md2man missing): skipped"; exit 77; }
  LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" \
    >/dev/null 2>groff.txt
  [[ ! -s groff.txt ]] || { cat groff.txt >&2; fail "groff warns about the manual page"; }
  LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$page" 2>/dev/null | col -bx >page.txt
  # The sections, in this order.
  grep -E '^[A-Z][A-Z ]+$' page.txt >sections.txt
  expected=0
  for name in NAME SYNOPSIS DESCRIPTION OPTIONS COMMANDS "EXIT STATUS" ENVIRONMENT FILES \
      EXAMPLES "SEE ALSO"; do
    at=$(grep -nxF "$name" sections.txt | cut -d: -f1)
    [[ -n $at ]] || fail "the manual page has no section $name"
    ((at > expected)) || fail "the manual page has $name out of order"
    expected=$at
  done
  version=$("$agent" --version)
  head -n 1 page.txt | grep -q '^PIPELINE-AGENT(1) ' || fail "the page is not pipeline-agent(1)"
  tail -n 1 page.txt | grep -qF "$version" || fail "the page's footer does not say $version"
  [[ $(lexgrog "$page") == *'"pipeline-agent - back up '* ]] || fail "no whatis entry: $(lexgrog "$page")"
  for command in $commands; do
    grep -qxE "   $command" page.txt || fail "the manual page has no subsection for $command"
  done
  while read -r _ option; do
    grep -qF -- "$option" page.txt || fail "the manual page does not mention $option"
  done <options.txt
  for code in 0 1 2 3; do
    sed -n '/^EXIT STATUS$/,/^[A-Z]/p' page.txt | grep -qE "^       $code +[a-z]" ||
      fail "the manual page's EXIT STATUS has no code $code"
  done
  # gzip -9n: no name or time in the header (FLG, MTIME), best compression (XFL 2).
  gzip -dc "$page.gz" | cmp - "$page" || fail "$page.gz is not $page"
  header=$(od -An -tx1 -N10 "$page.gz" | tr -d ' \n')
  [[ $header == 1f8b0800000000000203 ]] || fail "$page.gz is not gzip -9n (header $header)"
  echo "page: renders, with every section, command and option"
}

case $case in
  reference) check_reference ;;
  page) check_page ;;
  *) fail "unknown case $case" ;;
esac
