#!/usr/bin/env bash
# Installs, on Debian 12, the packages that building and testing this project
# needs, skipping those already installed. Run as root.
set -euo pipefail

# --agent: only what building and running pipeline-agent needs (the quick
# start), libcurl included for stores in object storage (the agent-local
# preset builds without it); without it, also what the tests (PostgreSQL,
# Swift and MariaDB servers among them), sanitizer builds, benchmarks,
# coverage and packaging need (go-md2man makes the agent's manual page;
# lintian and man-db check it and the packages).
agent=(g++ cmake ninja-build pkgconf libcurl4-openssl-dev
       libsqlite3-dev libssl-dev nlohmann-json3-dev libcli11-dev libpq-dev
       libzstd-dev liblz4-dev libsodium-dev)
packages=("${agent[@]}")
if [[ ${1:-} != --agent ]]; then
  packages+=(libgtest-dev libgmock-dev libbenchmark-dev postgresql sqlite3 python3
             clang libclang-rt-14-dev valgrind gcovr time
             lintian man-db go-md2man dpkg-dev file chromium zstd
             swift-proxy swift-object swift-container swift-account
             python3-swift memcached mariadb-server mariadb-backup)
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update
  apt-get install -y --no-install-recommends "${missing[@]}"
fi
