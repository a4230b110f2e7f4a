#!/usr/bin/env bash
# Installs, on Debian 12, the packages that building and testing this project
# needs, skipping those already installed. Run as root.
set -euo pipefail

packages=(g++ cmake ninja-build
          libgtest-dev libgmock-dev libbenchmark-dev
          libsqlite3-dev libssl-dev nlohmann-json3-dev libcli11-dev
          libpq-dev postgresql
          clang libclang-rt-14-dev valgrind gcovr time
          lintian dpkg-dev file pkgconf chromium)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update
  apt-get install -y --no-install-recommends "${missing[@]}"
fi
