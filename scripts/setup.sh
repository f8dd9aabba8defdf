#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need; quiet and quick when all are present.
set -euo pipefail
packages=(
  build-essential cmake ninja-build pkg-config clang-14 libclang-rt-14-dev
  libboost1.81-dev libboost-json1.81-dev
  libspdlog-dev libsqlite3-dev libpq-dev
  libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev
  libssl-dev
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -qq
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
