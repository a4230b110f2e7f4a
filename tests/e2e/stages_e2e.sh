#!/usr/bin/env bash
# End-to-end runs of the byte stages: `backup --compress CODEC` and
# `--encrypt`, restored whole, by seek (one file) and to standard output;
# stored frames tampered with; keys refused. Usage: stages_e2e.sh AGENT CASE
set -euo pipefail

agent=$1
case_name=$2
# shellcheck source=lib.sh
source "$(dirname "$0")/lib.sh" stages-e2e

# What --store takes: the directory "store", or the store of that name in the
# object store when on_object_store.sh runs this.
store_arg=$(store_url store)
run() { "$agent" --store "$store_arg" --test-skip-pauses -q "$@" </dev/null; }

# Puts file $1 in the place of $2: a file here, or an object of the store
# ("store/...") when the store is in object storage.
put_back() {
  if object_store && [[ $2 == store/* ]]; then
    store_put "$2" <"$1"
  else
    chmod u+w "$2"
    cp "$1" "$2"
  fi
}

# The run's stderr ($1) is one line, the error $2 (and where the log is).
only_error() {
  local lines
  lines=$(wc -l <"$1")
  [[ $lines == 1 ]] || { cat "$1" >&2; fail "stderr has $lines lines, not one"; }
  grep -qF -- "pipeline-agent: error: $2" "$1" || { cat "$1" >&2; fail "the error line does not say: $2"; }
}

# Runs the agent expecting exit status $1; stderr in err.txt.
expect_status() {
  local status=$1 got=0
  shift
  "$agent" --store "$store_arg" --test-skip-pauses -q "$@" </dev/null >out.txt 2>err.txt || got=$?
  [[ $got == "$status" ]] || { cat err.txt >&2; fail "'$*' exited $got, expected $status"; }
}

make_inputs() {
  mkdir -p in
  # Highly compressible, incompressible (not a whole number of frames), empty.
  python3 -c 'import sys; sys.stdout.write("".join("line %08d of the compressible input\n" % i for i in range(90000)))' >in/text
  head -c $((2 * 1024 * 1024 + 4321)) /dev/urandom >in/noise
  : >in/empty
  mkdir -p tree/sub
  cp in/text tree/a
  head -c 70000 /dev/urandom >tree/sub/b
  : >tree/sub/c
  printf 'key file content, thirty-two bytes or more, any bytes at all\n' >key
  chmod 600 key
}

# Field $2 of manifest $1 (a python expression over m).
manifest_field() { python3 -c "import json,sys; m=json.load(open(sys.argv[1])); print($2)" "$1"; }

round_trips() {
  make_inputs
  local encs=(off on)
  for codec in none zstd:3 lz4; do
    for enc in "${encs[@]}"; do
      local tag="${codec%%:*}-$enc" opts=(--compress "$codec")
      [[ $enc == on ]] && opts+=(--encrypt --key-file key)
      local key=()
      [[ $enc == on ]] && key=(--key-file key)
      # A set of files over 3 streams: whole, then one file by seek.
      run backup in/text in/noise in/empty --streams 3 --manifest "set-$tag.json" "${opts[@]}"
      local version
      version=$(manifest_field "set-$tag.json" 'm["version"]')
      if [[ $tag == none-off ]]; then
        [[ $version == 2 ]] || fail "$tag: manifest version $version, not 2"
      else
        [[ $version == 4 ]] || fail "$tag: manifest version $version, not 4"
      fi
      mkdir "out-$tag"
      run restore "set-$tag.json" --output "out-$tag" "${key[@]}"
      for f in text noise empty; do cmp "in/$f" "out-$tag/$f" || fail "$tag: $f differs"; done
      run restore "set-$tag.json" --file noise --output "seek-$tag" "${key[@]}"
      cmp in/noise "seek-$tag" || fail "$tag: noise restored by seek differs"
      # A tree.
      run backup tree --streams 2 --manifest "tree-$tag.json" "${opts[@]}"
      mkdir "tree-out-$tag"
      run restore "tree-$tag.json" --output "tree-out-$tag" "${key[@]}"
      diff -r tree "tree-out-$tag/tree" || fail "$tag: the tree differs"
      # A stream input, 3.5 stripes over 2 streams, to standard output.
      run backup --from-command "head -c 3670016 in/text" --name dump --streams 2 \
        --manifest "stream-$tag.json" "${opts[@]}"
      run restore "stream-$tag.json" --file dump --output - "${key[@]}" >"dump-$tag"
      head -c 3670016 in/text | cmp - "dump-$tag" || fail "$tag: the stream input differs"
    done
  done
  # Stored sizes: the compressible input shrinks; the incompressible one is
  # kept raw, its frames' headers (and tags) the only cost.
  python3 - "${encs[@]}" <<'PY'
import json, sys
for tag in ("zstd-off", "lz4-off", "zstd-on"):
    if tag.split("-")[1] not in sys.argv[1:]:
        continue
    m = json.load(open(f"set-{tag}.json"))
    files = {f["name"]: f for f in m["files"]}
    text = sum(s["storedSize"] for s in files["text"]["streams"])
    assert text * 5 < files["text"]["size"], (tag, text)
    noise = files["noise"]
    stored = sum(s["storedSize"] for s in noise["streams"])
    frames = sum(-(-s["size"] // (32 << 10)) for s in noise["streams"])  # of 32 KiB a part
    per = 18 if tag.endswith("off") else 34 + 16
    assert stored == noise["size"] + frames * per, (tag, stored, noise["size"])
    assert files["empty"]["size"] == 0 and all(s["storedSize"] == 0 for s in files["empty"]["streams"])
    assert ("wrappedKey" in m["stages"]) == tag.endswith("on"), tag
PY
  # list shows each file's bytes and its stored bytes.
  local id
  id=$(manifest_field set-zstd-off.json 'm["jobId"]')
  "$agent" --store "$store_arg" list --job "$id" 2>/dev/null | sed -n '/^JOB  *FILE/,$p' | tr -s ' ' >files.txt
  python3 - "$id" <<'PY' || { cat files.txt >&2; fail "list --job does not show the stored bytes"; }
import json, sys
m = json.load(open("set-zstd-off.json"))
lines = open("files.txt").read().splitlines()
assert lines[0] == "JOB FILE BYTES STORED MODE SHA-256", lines[0]
for f, line in zip(m["files"], lines[1:]):
    stored = sum(s["storedSize"] for s in f["streams"])
    assert line.split()[:4] == [sys.argv[1], f["name"], str(f["size"]), str(stored)], line
total = lines[len(m["files"]) + 1].split()
assert total[-2:] == [str(sum(f["size"] for f in m["files"])), str(sum(s["storedSize"] for f in m["files"] for s in f["streams"]))], total
PY
  "$agent" --store "$store_arg" list --job "$id" --json 2>/dev/null >list.json
  manifest_field list.json 'm["contents"][0]["compress"], m["contents"][0]["encrypted"], m["contents"][0]["storedBytes"] < m["contents"][0]["bytes"]' |
    grep -qx 'zstd False True' || fail "list --json does not show the stored bytes"
  # None and not encrypted: the archive files hold the input's bytes.
  local afile
  afile=$(manifest_field set-none-off.json '[a["afileId"] for a in m["archiveFiles"]][0]')
  store_cat "store/files/$afile.arch" >stored.arch || fail "no archive file $afile"
  [[ -s stored.arch ]] || fail "no archive file $afile"
  python3 <<'PY'
import json
m = json.load(open("set-none-off.json"))
data = open("stored.arch", "rb").read()
for f in m["files"]:
    src = open("in/" + f["name"], "rb").read()
    for s in f["streams"]:
        if s["stream"] == 1 and s["size"]:
            assert data[s["seekOffset"]:s["seekOffset"] + s["size"]] == src[s["sourceOffset"]:s["sourceOffset"] + s["size"]], f["name"]
PY
}

# Overwrites $3 bytes at offset $2 of file $1 with those at offset $4 of file
# $5 (default: flips the byte at $2).
patch_bytes() {
  python3 - "$@" <<'PY'
import os, sys
path, at = sys.argv[1], int(sys.argv[2])
os.chmod(path, 0o600)
data = bytearray(open(path, "rb").read())
if len(sys.argv) > 3:
    n, src_at, src = int(sys.argv[3]), int(sys.argv[4]), sys.argv[5]
    other = open(src, "rb").read()
    data[at:at + n] = other[src_at:src_at + n]
else:
    data[at] ^= 0x40
open(path, "wb").write(data)
PY
}

# patch_bytes on a file of the store ("store/files/7.arch"); an object is
# read, patched here and put back whole.
patch_stored() {
  local path=$1
  shift
  if object_store; then
    store_cat "$path" >patched.arch
    patch_bytes patched.arch "$@"
    store_put "$path" <patched.arch
  else
    patch_bytes "$path" "$@"
  fi
}

# The archive file and stored offset of file $2's share on stream 1 in
# manifest $1.
share_place() {
  python3 - "$1" "$2" <<'PY'
import json, sys
m = json.load(open(sys.argv[1]))
f = [f for f in m["files"] if f["name"] == sys.argv[2]][0]
s = [s for s in f["streams"] if s["stream"] == 1][0]
print(f"store/files/{s['afileId']}.arch {s['seekOffset']} {s['storedSize']}")
PY
}

# A restore of job manifest $1 that fails with exit 1 and the one line $2,
# leaving nothing in the output directory.
expect_damage() {
  rm -rf out && mkdir out
  expect_status 1 restore "$1" --output out --key-file key
  only_error err.txt "$2"
  [[ -z $(ls -A out) ]] || fail "the failed restore left $(ls -A out)"
}

tampering() {
  make_inputs
  head -c $((2 * 1024 * 1024)) /dev/urandom >in/noise2
  local frame=$((34 + 32 * 1024 + 16)) # an encrypted raw frame of 32 KiB
  local job=(--streams 1 --compress zstd --encrypt --key-file key)
  local place afile offset
  fresh() {
    rm -rf store ./*.json
    run backup in/noise in/noise2 in/text --manifest a.json "${job[@]}"
    run backup in/noise in/noise2 in/text --manifest b.json "${job[@]}"
  }
  fresh
  read -r afile offset _ < <(share_place a.json noise)
  # A byte of a frame's body.
  patch_bytes "$afile" $((offset + frame + 500))
  expect_damage a.json "file noise, stream 1, frame 1: the frame does not open"
  # A frame's header: its logical length.
  fresh
  read -r afile offset _ < <(share_place a.json noise)
  patch_bytes "$afile" $((offset + 3))
  expect_damage a.json "file noise, stream 1, frame 0: "
  # Two frames of the same file swapped.
  fresh
  read -r afile offset _ < <(share_place a.json noise)
  cp "$afile" copy.arch
  patch_bytes "$afile" "$offset" "$frame" $((offset + frame)) copy.arch
  patch_bytes "$afile" $((offset + frame)) "$frame" "$offset" copy.arch
  expect_damage a.json "file noise, stream 1, frame 0: the frame does not open"
  # A frame of another file of the job put in its place.
  fresh
  local other
  read -r afile offset _ < <(share_place a.json noise)
  read -r _ other _ < <(share_place a.json noise2)
  cp "$afile" copy.arch
  patch_bytes "$afile" "$offset" "$frame" "$other" copy.arch
  expect_damage a.json "file noise, stream 1, frame 0: the frame does not open"
  # The same frame of the same file from another job.
  local bfile
  fresh
  read -r afile offset _ < <(share_place a.json noise)
  read -r bfile other _ < <(share_place b.json noise)
  patch_bytes "$afile" "$offset" "$frame" "$other" "$bfile"
  expect_damage a.json "file noise, stream 1, frame 0: the frame does not open"
  # The manifest's part entry (and the store's copy alike): a stored size
  # that cuts the part short.
  fresh
  local id
  id=$(manifest_field a.json 'm["jobId"]')
  for m in a.json "store/jobs/$id.manifest.json"; do
    chmod u+w "$m"
    python3 - "$m" <<'PY'
import json, sys
m = json.load(open(sys.argv[1]))
f = [f for f in m["files"] if f["name"] == "text"][0]
s = f["streams"][0]
s["sha256"] = "0" * 64
json.dump(m, open(sys.argv[1], "w"), indent=2)
PY
  done
  expect_damage a.json "text, stream 1, archive file"
  grep -qF "does not match the manifest's checksum" err.txt || fail "not said: checksum"
  # Not encrypted: the frames' checks catch a flipped byte all the same.
  rm -rf store
  run backup in/text --streams 1 --compress lz4 --manifest plain.json
  read -r afile offset _ < <(share_place plain.json text)
  patch_bytes "$afile" $((offset + 40))
  rm -rf out && mkdir out
  expect_status 1 restore plain.json --output out
  only_error err.txt "file text, stream 1, frame 0: the frame does not match its check"
  [[ -z $(ls -A out) ]] || fail "the failed restore left $(ls -A out)"
}

keys() {
  make_inputs
  # A key file open to others is refused before any work.
  cp key loose && chmod 644 loose
  expect_status 2 backup in/text --manifest k.json --encrypt --key-file loose
  only_error err.txt "key file loose has mode 0644, open to group or others"
  [[ ! -e k.json ]] || fail "a refused backup wrote its manifest"
  # Options that cannot be met, refused before any work.
  expect_status 2 backup in/text --manifest k.json --compress zstd:20
  only_error err.txt "--compress"
  expect_status 2 backup in/text --manifest k.json --key-file key
  only_error err.txt "--key-file is for --encrypt"
  [[ ! -e k.json && ! -e store/encryption-check ]] || fail "a refused backup left something"
  # --encrypt without a key.
  expect_status 2 backup in/text --manifest k.json --encrypt
  only_error err.txt "an encrypted backup needs its key: give --key-file FILE or set PIPELINE_PASSPHRASE"
  run backup in/text in/noise --streams 2 --manifest k.json --encrypt --key-file key
  local id
  id=$(manifest_field k.json 'm["jobId"]')
  # Another key file: refused by the store's key check, and by the job.
  head -c 48 /dev/urandom >other && chmod 600 other
  expect_status 2 backup in/text --manifest k2.json --encrypt --key-file other
  only_error err.txt "the key does not open this store's key check"
  mkdir out
  expect_status 2 restore k.json --output out --key-file other
  only_error err.txt "the key does not open job $id"
  expect_status 2 restore k.json --output out
  only_error err.txt "job $id is encrypted and needs its key: give --key-file FILE or set PIPELINE_PASSPHRASE"
  [[ -z $(ls -A out) ]] || fail "a refused restore left $(ls -A out)"
  # The store's key is a key file's: a passphrase does not open it.
  PIPELINE_PASSPHRASE=secret expect_status 2 restore k.json --output out
  only_error err.txt "the job's key was made from a key file, not a passphrase"
  run restore k.json --output out --key-file key
  cmp in/noise out/noise || fail "noise differs"
  # A passphrase store, from the environment.
  rm -rf store out && mkdir out
  PIPELINE_PASSPHRASE='correct horse' run backup in/text --manifest p.json --encrypt \
    --test-lowest-kdf
  PIPELINE_PASSPHRASE='wrong horse' expect_status 2 restore p.json --output out
  only_error err.txt "the key does not open job"
  PIPELINE_PASSPHRASE='correct horse' run restore p.json --output out
  cmp in/text out/text || fail "text differs"
}

# check reads every framed job's stored bytes; an encrypted one's frames are
# opened only with its key, and it says so without.
# --max-bytes and --sizes-only bound the reading of the frames as they bound
# the archive files': with a bound that the archive files' data take whole,
# every part of the jobs with stages ($1 of them) is left unread and named,
# and the summary says what was read.
bounded_frames() {
  local parts="$1 parts" were="were" their="their" bytes
  [[ $1 != 1 ]] || { parts="1 part" were="was" their="its"; }
  "$agent" --store "$store_arg" --json check </dev/null >check.json 2>/dev/null ||
    { cat check.json >&2; fail "check --json failed"; }
  bytes=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["bytes"])' check.json)
  "$agent" --store "$store_arg" --test-skip-pauses check --max-bytes "$bytes" </dev/null >out.txt 2>err.txt ||
    { cat out.txt err.txt >&2; fail "check --max-bytes $bytes failed"; }
  [[ $(grep -c "^not verified: job [0-9]*: .*, stream [0-9]*, archive file [0-9-]*: [0-9]* stored bytes, past --max-bytes $bytes$" out.txt) == "$1" ]] ||
    { cat out.txt >&2; fail "check --max-bytes did not leave the $parts with stages unread"; }
  grep -qF "$bytes bytes checked; the stored frames of $parts of jobs with stages $were not read, only $their size compared" err.txt ||
    { cat err.txt >&2; fail "check --max-bytes did not say what it read"; }
  "$agent" --store "$store_arg" --test-skip-pauses check --sizes-only </dev/null >out.txt 2>err.txt ||
    { cat out.txt err.txt >&2; fail "check --sizes-only failed"; }
  [[ $(grep -c "^not verified: job [0-9]*: .* stored bytes, sizes only$" out.txt) == "$1" ]] ||
    { cat out.txt >&2; fail "check --sizes-only did not leave the $parts with stages unread"; }
  grep -qE " 0 bytes checked; the data of [0-9]+ closed files? and the stored frames of $parts of jobs with stages were not read" err.txt ||
    { cat err.txt >&2; fail "check --sizes-only did not say what it read"; }
}

check_frames() {
  make_inputs
  run backup in/text in/noise --streams 2 --compress zstd --encrypt --key-file key --manifest e.json
  run backup in/text --streams 1 --compress lz4 --manifest p.json
  local id
  id=$(manifest_field e.json 'm["jobId"]')
  expect_status 0 check
  [[ $(cat out.txt) == "note: job $id is encrypted and no key was given: its frames were checked as stored (sizes, digests), not opened" ]] ||
    { cat out.txt >&2; fail "check did not say what it left unopened"; }
  expect_status 0 check --key-file key
  [[ ! -s out.txt ]] || { cat out.txt >&2; fail "check with the key left frames unopened"; }
  # A key given that does not open the job fails the check with one line.
  head -c 48 /dev/urandom >other && chmod 600 other
  expect_status 1 check --key-file other
  only_error err.txt "job $id: the key does not open job $id's data key: wrong key file (or the key record is damaged); its frames were checked as stored only"
  PIPELINE_PASSPHRASE=not-the-key expect_status 1 check
  only_error err.txt "job $id: the job's key was made from a key file, not a passphrase; its frames were checked as stored only"
  # The encrypted job's text over 2 streams and its noise on one; p.json's
  # text.
  bounded_frames 4
  # A byte flipped in the encrypted job's first frame: found without the
  # key (its stored digest), and named as the frame with it; a check of
  # sizes only reads no frame and cannot see it.
  local afile offset
  read -r afile offset _ < <(share_place e.json text)
  patch_stored "$afile" $((offset + 60))
  expect_status 0 check --sizes-only
  expect_status 1 check
  grep -qF "problem: job $id: text, stream 1, archive file" out.txt &&
    grep -qF "its stored bytes do not match the manifest's checksum" out.txt ||
    { cat out.txt >&2; fail "check without the key missed the damage"; }
  expect_status 1 check --key-file key
  grep -qF "problem: job $id: text, stream 1, archive file $(manifest_field e.json '"-".join(str(m["archiveFiles"][0][k]) for k in ("trellanId","groupNumber","afileId"))'): file text, stream 1, frame 0: the frame does not open" out.txt ||
    { cat out.txt >&2; fail "check with the key did not name the frame"; }
  lz4_frame_damaged
}

# A byte flipped in a frame of the compressed, unencrypted job of p.json:
# check reads its frames back from the store and names the one that fails
# its check.
lz4_frame_damaged() {
  local id afile offset
  id=$(manifest_field p.json 'm["jobId"]')
  read -r afile offset _ < <(share_place p.json text)
  patch_stored "$afile" $((offset + 40))
  expect_status 1 check --key-file key
  grep -qF "problem: job $id: text, stream 1, archive file $(manifest_field p.json '"-".join(str(m["archiveFiles"][0][k]) for k in ("trellanId","groupNumber","afileId"))'): file text, stream 1, frame 0: the frame does not match its check" out.txt ||
    { cat out.txt >&2; fail "check did not name the compressed job's damaged frame"; }
}

# The user's key file is opened without blocking and its type checked on the
# open descriptor: a FIFO is refused at once (a hang fails under timeout), a
# link to a regular key file is the user's to give. A key refused leaves no
# store behind: it is read before the store is opened or made.
key_files() {
  make_inputs
  mkfifo fifo.key
  local status
  status=0
  timeout -k 5 20 "$agent" --store "$store_arg" --test-skip-pauses -q backup in/text --manifest k.json \
    --encrypt --key-file fifo.key </dev/null >out.txt 2>err.txt || status=$?
  [[ $status == 2 ]] || { cat err.txt >&2; fail "backup with a FIFO as its key file exited $status, not 2"; }
  only_error err.txt "key file fifo.key is a FIFO, not a regular file"
  [[ ! -e store ]] || fail "a backup refused for its key file made the store"
  # A link to the key file is followed: the user names it.
  ln -s key link.key
  run backup in/text in/noise --streams 2 --manifest k.json --encrypt --key-file link.key
  mkdir out
  run restore k.json --output out --key-file link.key
  cmp in/noise out/noise || fail "noise differs"
  rm -rf out && mkdir out
  status=0
  timeout -k 5 20 "$agent" --store "$store_arg" --test-skip-pauses -q restore k.json --output out \
    --key-file fifo.key </dev/null >out.txt 2>err.txt || status=$?
  [[ $status == 2 ]] || { cat err.txt >&2; fail "restore with a FIFO as its key file exited $status, not 2"; }
  only_error err.txt "key file fifo.key is a FIFO, not a regular file"
  [[ -z $(ls -A out) ]] || fail "a refused restore left $(ls -A out)"
  # check reads the same key before it looks at the store.
  status=0
  timeout -k 5 20 "$agent" --store "$store_arg" --test-skip-pauses -q check --key-file fifo.key \
    </dev/null >out.txt 2>err.txt || status=$?
  [[ $status == 2 ]] || { cat err.txt >&2; fail "check with a FIFO as its key file exited $status, not 2"; }
  only_error err.txt "key file fifo.key is a FIFO, not a regular file"
  # Each key refused before any work leaves no store where none was.
  head -c 31 /dev/urandom >short.key && chmod 600 short.key
  cp key loose.key && chmod 644 loose.key
  local line
  for refused in short.key loose.key fifo.key /dev/null ""; do
    case $refused in
    short.key) line="key file short.key holds 31 bytes; a key file needs at least 32" ;;
    loose.key) line="key file loose.key has mode 0644, open to group or others" ;;
    fifo.key) line="key file fifo.key is a FIFO, not a regular file" ;;
    /dev/null) line="key file /dev/null is a device, not a regular file" ;;
    *) line="an encrypted backup needs its key: give --key-file FILE or set PIPELINE_PASSPHRASE" ;;
    esac
    local key_opt=()
    [[ -n $refused ]] && key_opt=(--key-file "$refused")
    status=0
    (unset PIPELINE_PASSPHRASE
     timeout -k 5 20 "$agent" --store new-store --test-skip-pauses -q backup in/text --manifest n.json \
       --encrypt "${key_opt[@]}" </dev/null >out.txt 2>err.txt) || status=$?
    [[ $status == 2 ]] || { cat err.txt >&2; fail "backup with key '$refused' exited $status, not 2"; }
    only_error err.txt "$line"
    [[ ! -e new-store ]] || fail "a backup refused for its key '$refused' left $(ls -A new-store)"
    [[ ! -e n.json ]] || fail "a backup refused for its key '$refused' wrote its manifest"
  done
}

# The store's key check is read through the store's storage, as its other
# files are: a FIFO, a link (to /dev/zero or to a sound check) or a
# directory in its place is refused at once with one line, never waited on
# or read without end.
key_check() {
  directory_only "FIFOs, links and directories in the key check's place belong to a store in a directory"
  make_inputs
  run backup in/text --manifest k.json --encrypt --key-file key
  local check status
  check="$(cd store && pwd -P)/encryption-check"
  mv store/encryption-check saved-check
  mkfifo store/encryption-check
  for kind in fifo zero link directory large; do
    case $kind in
    zero) rm store/encryption-check && ln -s /dev/zero store/encryption-check ;;
    link) rm store/encryption-check && ln -s "$PWD/saved-check" store/encryption-check ;;
    directory) rm store/encryption-check && mkdir store/encryption-check ;;
    large) rmdir store/encryption-check && head -c 100000 /dev/zero >store/encryption-check ;;
    esac
    local line
    case $kind in
    fifo) line="$check is a FIFO, not a file" ;;
    zero | link) line="$check is a symbolic link, not a file" ;;
    directory) line="$check is a directory, not a file" ;;
    large) line="$check holds more than 4096 bytes" ;;
    esac
    status=0
    timeout -k 5 20 "$agent" --store "$store_arg" --test-skip-pauses -q backup in/text \
      --manifest "k-$kind.json" --encrypt --key-file key </dev/null >out.txt 2>err.txt || status=$?
    [[ $status == 2 ]] || { cat err.txt >&2; fail "backup with a $kind as the key check exited $status, not 2"; }
    only_error err.txt "$line"
    [[ ! -e k-$kind.json ]] || fail "a backup refused for its key check wrote its manifest"
  done
  rm store/encryption-check
  mv saved-check store/encryption-check
  run backup in/text --manifest k2.json --encrypt --key-file key
}

# Sets field $2 of the stages of manifest $1 (a file, or an object of the
# store: read, changed and put back) to the python expression $3 over s (the
# stages).
set_stages() {
  local path=$1 field=$2 value=$3 file=$1
  if object_store && [[ $path == store/* ]]; then
    store_cat "$path" >edited.json
    file=edited.json
  fi
  chmod u+w "$file"
  python3 - "$file" "$field" "$value" <<'PY'
import json, sys
path, field, value = sys.argv[1:]
m = json.load(open(path))
s = m["stages"]
s[field] = eval(value)
json.dump(m, open(path, "w"), indent=2)
PY
  if [[ $file == edited.json ]]; then store_put "$path" <edited.json; fi
}

# What a manifest (the user's and the store's copy alike) may ask of a
# restore is bounded by what the agent reads: frames of at most 1 MiB (a
# restore holds three a stream), and Argon2id at most 3 passes over 256 MiB.
# More is refused with exit 2 and one line, before any data is read or any
# key derived.
manifest_limits() {
  make_inputs
  run backup in/text in/noise --streams 4 --compress lz4 --manifest f.json
  local id
  id=$(manifest_field f.json 'm["jobId"]')
  cp f.json pristine.json
  store_cat "store/jobs/$id.manifest.json" >pristine-store.json
  for m in f.json "store/jobs/$id.manifest.json"; do set_stages "$m" frameSize '64 << 20'; done
  local line="manifest f.json stages: \"frameSize\" 67108864 is out of range (1 to 1048576, the frames this agent reads)"
  mkdir out
  expect_status 2 restore f.json --output out
  only_error err.txt "$line"
  [[ -z $(ls -A out) ]] || fail "a refused restore left $(ls -A out)"
  expect_status 2 restore --job "$id" --output out
  # The store's copy, named by its path (or URL).
  only_error err.txt "manifest "
  grep -qF "/jobs/$id.manifest.json stages: \"frameSize\" 67108864 is out of range" err.txt ||
    { cat err.txt >&2; fail "the refusal does not name the store's copy"; }
  [[ -z $(ls -A out) ]] || fail "a refused restore left $(ls -A out)"
  # The outside one alone.
  put_back pristine-store.json "store/jobs/$id.manifest.json"
  expect_status 2 restore f.json --output out
  only_error err.txt "$line"
  cp pristine.json f.json
  run restore f.json --output out
  cmp in/noise out/noise || fail "noise differs"

  # A passphrase job whose wrapped key asks Argon2id for 2^32-1 passes, or
  # 1 GiB: refused at once, the passphrase never put through it.
  rm -rf store out && mkdir out
  PIPELINE_PASSPHRASE='correct horse' run backup in/text --manifest p.json --encrypt --test-lowest-kdf
  id=$(manifest_field p.json 'm["jobId"]')
  cp p.json pristine.json
  store_cat "store/jobs/$id.manifest.json" >pristine-store.json
  # The wrapped key's hex: version, source, salt (16 bytes), then the ops and
  # memory limits, 8 bytes each, little-endian.
  local cost
  for cost in "ffffffff00000000 0020000000000000 4294967295 8192" \
    "0100000000000000 0000004000000000 1 1073741824"; do
    read -r ops memory ops_n memory_n <<<"$cost"
    for m in p.json "store/jobs/$id.manifest.json"; do
      put_back "pristine$([[ $m == store/* ]] && echo -store).json" "$m"
      set_stages "$m" wrappedKey "s['wrappedKey'][:36] + '$ops$memory' + s['wrappedKey'][68:]"
    done
    local status=0 started=$SECONDS
    PIPELINE_PASSPHRASE='correct horse' timeout -k 5 60 "$agent" --store "$store_arg" --test-skip-pauses -q \
      restore p.json --output out </dev/null >out.txt 2>err.txt || status=$?
    [[ $status == 2 ]] || { cat err.txt >&2; fail "restore of a job asking Argon2id for $ops_n passes over $memory_n bytes exited $status, not 2"; }
    only_error err.txt "job $id's wrapped key: Argon2id's cost (ops limit $ops_n, memory limit $memory_n bytes) is out of the range this agent uses (ops 1 to 3, memory 8192 bytes to 256 MiB): it is damaged or was altered"
    ((SECONDS - started < 10)) || fail "the refusal took $((SECONDS - started)) s"
    [[ -z $(ls -A out) ]] || fail "a refused restore left $(ls -A out)"
  done
  # The store's key check alike: a backup is refused before deriving.
  cp pristine.json p.json
  store_cat store/encryption-check |
    python3 -c 'import sys; t = sys.stdin.read(); sys.stdout.write(t[:36] + "ffffffff00000000" + t[52:])' >check.txt
  put_back check.txt store/encryption-check
  local check="$store_arg/encryption-check"
  object_store || check="$(cd store && pwd -P)/encryption-check"
  PIPELINE_PASSPHRASE='correct horse' expect_status 2 backup in/text --manifest p2.json --encrypt
  only_error err.txt "$check: Argon2id's cost (ops limit 4294967295, memory limit 8192 bytes) is out of the range this agent uses"
}

# Argon2id (3 passes over 256 MiB) cannot be stopped midway: the first
# SIGTERM ends the command at once with its usual line and status (143),
# not once the derivation is done.
key_signals() {
  make_inputs
  export PIPELINE_PASSPHRASE='correct horse'
  run backup in/text --manifest p.json --encrypt
  mkdir out
  # What the agent holds once started, before any key: a sanitizer's build
  # holds far more than a plain one (its shadow memory), so the derivation
  # is told by what comes on top of it.
  local started_kib
  started_kib=$(python3 -c 'import resource, subprocess, sys
subprocess.run([sys.argv[1], "--version"], stdout=subprocess.DEVNULL)
print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)' "$agent")
  # Waits until process $1 holds 150 MiB more than that (Argon2id is
  # filling its memory), sends it SIGTERM and waits for it: sets took (ms
  # from the signal to its end) and status.
  signal_during_derivation() {
    local pid=$1 rss=0 tries=0 before
    while ((rss < started_kib + 150 * 1024)); do
      [[ -e /proc/$pid/status ]] || fail "the run ended before its key derivation was seen"
      rss=$(awk '/^VmRSS:/ {print $2}' "/proc/$pid/status" 2>/dev/null || true)
      rss=${rss:-0}
      ((++tries < 3000)) || fail "no key derivation seen in 30 s"
      sleep 0.01
    done
    before=$(date +%s%N)
    kill -TERM "$pid"
    status=0
    wait "$pid" || status=$?
    took=$((($(date +%s%N) - before) / 1000000))
  }
  local took status
  "$agent" --store "$store_arg" -q restore p.json --output out </dev/null >out.txt 2>err.txt &
  signal_during_derivation $!
  [[ $status == 143 ]] || { cat err.txt >&2; fail "the restore signalled during its key derivation exited $status, not 143"; }
  grep -qxF "pipeline-agent: error: interrupted by SIGTERM" <(sed 's/ (log: .*)$//' err.txt) ||
    { cat err.txt >&2; fail "the restore did not end at the signal with the interrupted line"; }
  ((took < 3000)) || fail "the restore took $took ms to end after SIGTERM"
  [[ -z $(ls -A out) ]] || fail "an interrupted restore left $(ls -A out)"
  # A backup into the store, stopped while it derives the store's key:
  # nothing begun.
  "$agent" --store "$store_arg" --test-skip-pauses -q backup in/noise --manifest p2.json --encrypt \
    </dev/null >out.txt 2>err.txt &
  signal_during_derivation $!
  [[ $status == 143 ]] || { cat err.txt >&2; fail "the backup signalled during its key derivation exited $status, not 143"; }
  grep -qxF "pipeline-agent: error: interrupted by SIGTERM" <(sed 's/ (log: .*)$//' err.txt) ||
    { cat err.txt >&2; fail "the backup did not end at the signal with the interrupted line"; }
  ((took < 3000)) || fail "the backup took $took ms to end after SIGTERM"
  [[ ! -e p2.json ]] || fail "an interrupted backup wrote its manifest"
  local manifests=(store/jobs/*.manifest.json)
  [[ ${#manifests[@]} == 1 ]] || fail "an interrupted backup left a job: ${manifests[*]}"
}

# A producer (--from-command) starts with the agent's environment but the
# passphrase, which is the store's key and none of its business.
producer_env() {
  make_inputs
  export PIPELINE_PASSPHRASE='sentinel passphrase'
  export PIPELINE_TEST_VISIBLE=seen
  run backup --from-command env --name environment --streams 2 --manifest e.json
  run restore e.json --file environment --output - >env.txt
  grep -q '^PIPELINE_TEST_VISIBLE=seen$' env.txt || fail "the producer did not get the environment"
  ! grep -q PIPELINE_PASSPHRASE env.txt || fail "the producer saw PIPELINE_PASSPHRASE"
  ! grep -qF 'sentinel passphrase' env.txt || fail "the producer saw the passphrase"
  run backup --from-command env --name environment --manifest ee.json --encrypt --test-lowest-kdf
  run restore ee.json --file environment --output - >env.txt
  grep -q '^PIPELINE_TEST_VISIBLE=seen$' env.txt || fail "the producer did not get the environment"
  ! grep -q PIPELINE_PASSPHRASE env.txt || fail "the encrypted job's producer saw PIPELINE_PASSPHRASE"
}

case "$case_name" in
round_trips) round_trips ;;
tampering) tampering ;;
keys) keys ;;
check) check_frames ;;
key_files) key_files ;;
key_check) key_check ;;
manifest_limits) manifest_limits ;;
key_signals) key_signals ;;
producer_env) producer_env ;;
*) fail "no case $case_name" ;;
esac
echo "PASS: $case_name"
