#!/usr/bin/env bash
# End-to-end runs of directory trees: `backup DIR ...` and the restore of
# the tree into an output directory. Usage: tree_e2e.sh AGENT CASE
set -euo pipefail

agent=$1
case_name=$2
# shellcheck source=lib.sh
source "$(dirname "$0")/lib.sh" tree-e2e

run() { "$agent" --store store --test-skip-pauses "$@"; }

# What a tree holds, one line per entry, its own root left out: path,
# permission bits, size, modification time, a link's target. Sorted bytewise.
# Entries named $2, if given, are left out.
listing() {
  (cd "$1" && find . -mindepth 1 ! -name "${2:-.}" -printf '%P %m %s %T@ %l\n' | LC_ALL=C sort)
}

# The tree $1 restored as $2: the same entries, bytes, modes, times and
# links; entries named $3 (skipped by the backup) aside.
same_tree() {
  diff -r --no-dereference ${3:+-x "$3"} "$1" "$2" >diff.txt ||
    { cat diff.txt >&2; fail "$2 differs from $1"; }
  listing "$1" "${3:-}" >want.txt
  listing "$2" "${3:-}" >got.txt
  diff want.txt got.txt >&2 || fail "the listing of $2 differs from that of $1"
}

# Nothing but what was there before in directory $1 ($2: its listing then).
unchanged() {
  [[ $(ls -A "$1") == "$2" ]] || { ls -lA "$1" >&2; fail "$1 changed"; }
}

# The run's stderr ($1) is exactly one line: the error $2, then where the
# log is, when there is one.
only_error() {
  local lines
  lines=$(wc -l <"$1")
  [[ $lines == 1 ]] || { cat "$1" >&2; fail "stderr has $lines lines, not one"; }
  grep -qF -- "pipeline-agent: error: $2" "$1" || { cat "$1" >&2; fail "the error is not: $2"; }
}

# Rewrites manifest $1 with the python expression $2 applied to its files
# (m["files"]) into $3.
edit_manifest() {
  python3 - "$1" "$2" "$3" <<'PY'
import json, sys
m = json.load(open(sys.argv[1]))
files = m["files"]
exec(sys.argv[2])
json.dump(m, open(sys.argv[3], "w"), indent=2)
PY
}

case $case_name in
round_trip)
  # Nested and empty directories, links of every kind, names with spaces,
  # newlines and non-ASCII (UTF-8) bytes, an empty file, a read-only
  # directory, a large file split over the streams, a FIFO skipped.
  mkdir -p src/a/b/c "src/with space" src/empty src/ro
  printf 'hello\n' >src/a/f
  head -c 3000000 /dev/urandom >src/a/b/big
  head -c 777 /dev/urandom >"src/with space/x y"
  printf 'nl' >"src/a/new
line"
  printf 'utf8' >"src/a/caf$(printf '\xc3\xa9') $(printf '\xe2\x82\xac')"
  : >src/a/b/c/zero
  printf 'ro' >src/ro/inside
  chmod 0640 src/a/f
  chmod 0500 src/ro
  chmod 0750 src/a/b
  ln -s ../f src/a/b/relative
  ln -s /etc/hostname src/absolute
  ln -s does/not/exist src/dangling
  ln -s . src/a/self
  mkfifo src/a/pipe
  touch -h -d '2001-02-03 04:05:06.123456789' src/dangling src/a/f
  touch -d '1999-12-31 23:59:59.5' src/empty
  run backup src --manifest m.json --streams 3 2>backup.log || { cat backup.log; fail "backup failed"; }
  grep -qxF 'pipeline-agent: skipping src/a/pipe: a FIFO' backup.log || { cat backup.log; fail "no line for the FIFO"; }
  python3 - m.json <<'PY'
import json, sys
m = json.load(open(sys.argv[1]))
assert m["version"] == 3, m["version"]
kinds = {f["name"]: f for f in m["files"]}
assert kinds["src"]["kind"] == "directory" and kinds["src/empty"]["kind"] == "directory"
assert kinds["src/dangling"] == {"name": "src/dangling", "kind": "symlink",
                                 "target": "does/not/exist", "mtime": kinds["src/dangling"]["mtime"]}
assert kinds["src/ro"]["mode"] == 0o500 and kinds["src/a/f"]["mode"] == 0o640
assert "src/a/pipe" not in kinds
assert kinds["src/a/b/c/zero"]["streams"] == [], "an empty file has no shares"
# Small files whole on one stream, the large one split over all three.
for name, f in kinds.items():
    if f["kind"] != "file" or f["size"] == 0:
        continue
    want = 3 if f["size"] > 1000000 else 1
    assert len(f["streams"]) == want, (name, f["streams"])
PY
  mkdir out
  run restore m.json --output out 2>restore.log || { cat restore.log; fail "restore failed"; }
  same_tree src out/src pipe
  [[ $(ls -A out) == src ]] || fail "the restore left more than the tree in out"
  # The same through --json, and the subtree and a file alone.
  mkdir out2
  run restore m.json --output out2 --file src/a/b --json >restore.json 2>/dev/null
  python3 - restore.json <<'PY'
import json, sys
d = json.load(open(sys.argv[1]))
assert d["ok"], d
names = sorted(o["name"] for o in d["outputs"])
assert names == ["src", "src/a", "src/a/b", "src/a/b/big", "src/a/b/c", "src/a/b/c/zero",
                 "src/a/b/relative"], names
PY
  cmp src/a/b/big out2/src/a/b/big || fail "the subtree's file differs"
  [[ ! -e out2/src/a/f && ! -e out2/src/empty ]] || fail "the subtree restore wrote more than it"
  # One more file into the restored tree: its directories are there already.
  run restore m.json --output out2 --file src/a/f 2>/dev/null
  cmp src/a/f out2/src/a/f || fail "the file added to the tree differs"
  # A file there already is refused, and replaced with --force.
  set +e
  run restore m.json --output out2 --file src/a/f >/dev/null 2>err.txt
  status=$?
  set -e
  [[ $status == 2 ]] || fail "restoring over an existing file exited $status"
  only_error err.txt "out2/src/a/f already exists; not overwriting it"
  echo changed >out2/src/a/f
  run restore m.json --output out2 --file src/a/f --force 2>/dev/null
  cmp src/a/f out2/src/a/f || fail "--force did not replace the file"
  chmod -R u+w out out2 src
  ;;

names)
  # A name that is not UTF-8 cannot be recorded in JSON: refused, before
  # any work, naming it.
  mkdir -p tree/sub
  printf 'x' >"tree/sub/bad$(printf '\xff')name"
  set +e
  run backup tree --manifest m.json 2>err.txt
  status=$?
  set -e
  [[ $status == 2 ]] || fail "a name that is not UTF-8 exited $status"
  only_error err.txt 'input tree/sub/bad\xffname: its name is not valid UTF-8'
  [[ ! -e m.json && ! -e store ]] || fail "a refused backup left something"
  rm tree/sub/*
  # Two trees, or a tree and a file, of one base name.
  mkdir -p one/tree two/tree
  printf 'x' >one/tree/f
  printf 'y' >two/tree/f
  printf 'z' >two/f
  set +e
  run backup one/tree two/tree --manifest m.json 2>err.txt
  status=$?
  set -e
  [[ $status == 2 ]] || fail "two trees of one name exited $status"
  only_error err.txt "two inputs are named tree"
  set +e
  run backup one/tree/f two/f --manifest m.json 2>err.txt
  status=$?
  set -e
  [[ $status == 2 ]] || fail "two files of one name exited $status"
  set +e
  run backup one/tree two/tree/f tree --manifest m.json 2>err.txt
  status=$?
  set -e
  [[ $status == 2 ]] || fail "a file and a tree of one name exited $status"
  only_error err.txt "two inputs are named "
  # A tree and a file named directly in one set, and a trailing slash.
  run backup one/tree/ two/f --manifest both.json --streams 2 2>/dev/null
  mkdir out
  run restore both.json --output out 2>/dev/null
  cmp one/tree/f out/tree/f && cmp two/f out/f || fail "a tree with a file did not round-trip"
  ;;

many_files)
  # 10,000 files (and 100 directories) under `ulimit -n 1024`: backup and
  # restore open each file as its turn comes.
  python3 - <<'PY'
import os, random
random.seed(5)
for d in range(100):
    os.makedirs(f"big/d{d:03}", exist_ok=True)
    for f in range(100):
        with open(f"big/d{d:03}/f{f:03}", "wb") as out:
            out.write(random.randbytes(random.randint(0, 4096)))
PY
  (
    ulimit -n 1024
    run backup big --manifest m.json --streams 4 2>backup.log || { cat backup.log; fail "backup failed"; }
    mkdir out
    run restore m.json --output out 2>restore.log || { cat restore.log; fail "restore failed"; }
  )
  same_tree big out/big
  # One request for the whole set, not one a file.
  [[ $(grep -c 'setting up 4 streams' restore.log) == 1 ]] ||
    { cat restore.log; fail "the restore made more than one request"; }
  ;;

hostile)
  # Manifests edited to write where they must not: refused before any work
  # (exit 2, one line), nothing written in the output or elsewhere.
  mkdir -p d
  printf 'secret' >d/f
  run backup d --manifest m.json --streams 2 2>/dev/null
  mkdir out elsewhere
  # A link planted in the output directory, where the tree's root goes.
  ln -s "$PWD/elsewhere" out/d
  set +e
  run restore m.json --output out 2>err.txt
  status=$?
  set -e
  [[ $status == 2 ]] || fail "a restore through a planted link exited $status"
  only_error err.txt "out/d is a symbolic link; the restore would pass through it"
  unchanged out d
  unchanged elsewhere ""
  rm out/d
  # Deeper down: out/x/y a link, the manifest's paths renamed under it.
  mkdir -p out/x
  ln -s "$PWD/elsewhere" out/x/y
  edit_manifest m.json '
for f in files:
    f["name"] = "x/y/" + f["name"]
files[0:0] = [{"name": "x", "kind": "directory", "mode": 493},
              {"name": "x/y", "kind": "directory", "mode": 493}]' deep.json
  set +e
  run restore deep.json --output out 2>err.txt
  status=$?
  set -e
  [[ $status == 2 ]] || fail "a restore through a deeper link exited $status"
  only_error err.txt "out/x/y is a symbolic link"
  unchanged out/x y
  unchanged elsewhere ""
  rm -r out/x
  # Paths that are absolute or climb out.
  target=$PWD/elsewhere/abs
  edit_manifest m.json "
files[1]['name'] = '$target'" absolute.json
  edit_manifest m.json '
files[1]["name"] = "../x"' climbs.json
  edit_manifest m.json '
files[1]["name"] = "d/../../x"' climbs2.json
  edit_manifest m.json '
files[1]["name"] = "d//f"' empty_part.json
  edit_manifest m.json '
files[0]["name"] = ".."
files[1]["name"] = "../f"' dotdot_root.json
  # The tree itself records a link and a file under it.
  edit_manifest m.json '
files.insert(1, {"name": "d/l", "kind": "symlink", "target": "'"$PWD"'/elsewhere"})
files[2]["name"] = "d/l/f"' through_link.json
  for manifest in absolute climbs climbs2 empty_part dotdot_root through_link; do
    set +e
    run restore $manifest.json --output out 2>err.txt
    status=$?
    set -e
    [[ $status == 2 ]] || { cat err.txt; fail "$manifest.json exited $status"; }
    [[ $(wc -l <err.txt) == 1 ]] || { cat err.txt; fail "$manifest.json: not one line"; }
    unchanged out ""
    unchanged elsewhere ""
    [[ ! -e x && ! -e f ]] || fail "$manifest.json wrote outside the output"
  done
  grep -qF 'is absolute' <(run restore absolute.json --output out 2>&1) || fail "absolute: no reason given"
  ;;

changed)
  # A file of a tree that changes while it is read fails the job.
  mkdir -p t
  head -c $((3 * 1024 * 1024)) /dev/urandom >t/grows
  set +e
  run backup t --manifest m.json --test-after-first-chunk 'echo x >>"$1"' 2>err.txt
  status=$?
  set -e
  [[ $status == 1 ]] || { cat err.txt; fail "a file changed while read exited $status"; }
  grep -qF 'pipeline-agent: error: t/grows changed while it was read (its size went from' err.txt ||
    { cat err.txt; fail "no line for the change"; }
  [[ ! -e m.json ]] || fail "a failed backup wrote its manifest"
  ;;

interrupted)
  # A restore stopped by SIGKILL leaves only its hidden directory, which
  # cleanup removes; SIGTERM leaves nothing.
  mkdir -p t/sub
  for i in 1 2 3 4; do head -c $((2 * 1024 * 1024)) /dev/urandom >t/sub/f$i; done
  run backup t --manifest m.json --streams 2 2>/dev/null
  mkdir out
  "$agent" --store store --test-media-chunk-delay 200000 restore m.json --output out 2>err.txt &
  pid=$!
  for _ in $(seq 100); do
    compgen -G 'out/.restore.partial-*' >/dev/null && break
    sleep 0.05
  done
  sleep 0.3
  kill -KILL $pid
  wait $pid || true
  hidden=$(ls -A out)
  [[ $hidden == .restore.partial-* ]] || { ls -lA out; fail "a killed restore left: $hidden"; }
  run cleanup >cleanup.txt 2>/dev/null
  grep -qF "removed partial output $PWD/out/$hidden" cleanup.txt || { cat cleanup.txt; fail "cleanup kept $hidden"; }
  unchanged out ""
  "$agent" --store store --test-media-chunk-delay 200000 --json restore m.json --output out \
    >term.json 2>err.txt &
  pid=$!
  for _ in $(seq 100); do
    compgen -G 'out/.restore.partial-*' >/dev/null && break
    sleep 0.05
  done
  sleep 0.3
  kill -TERM $pid
  set +e
  wait $pid
  status=$?
  set -e
  [[ $status == 143 ]] || { cat err.txt; fail "SIGTERM: exit $status"; }
  unchanged out ""
  python3 - term.json <<'PY' || fail "SIGTERM: the document does not say what stopped the restore"
import json, sys
d = json.load(open(sys.argv[1]))
assert d["ok"] is False and d["exitCode"] == 143, d
assert d["error"] == "interrupted by SIGTERM; nothing was restored", d["error"]
PY
  ;;

*)
  fail "no case $case_name"
  ;;
esac
echo "PASS: $case_name"
