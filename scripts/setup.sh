#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need; quiet and quick when all are present.
set -euo pipefail
packages=(
  build-essential cmake ninja-build pkg-config clang-14 libclang-rt-14-dev
  libboost1.81-dev libboost-json1.81-dev
  libspdlog-dev libsqlite3-dev libpq-dev postgresql-15
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
  if [[ " ${missing[*]} " == *" postgresql-15 "* ]]; then
    # The tests start servers of their own (scripts/pg_cluster.sh): the server package must
    # not create and start Debian's default cluster. Its installer reads create_main_cluster
    # from createcluster.conf, which includes createcluster.d; a file that exists already
    # may lack the include and gets the line itself.
    conf=/etc/postgresql-common/createcluster.conf
    conf_dir=/etc/postgresql-common/createcluster.d
    "${sudo_cmd[@]}" mkdir -p "$conf_dir"
    echo 'create_main_cluster = false' | "${sudo_cmd[@]}" tee "$conf_dir/velmor.conf" >/dev/null
    if [ -e "$conf" ] && ! grep -q "^include_dir '$conf_dir'" "$conf"; then
      echo 'create_main_cluster = false' | "${sudo_cmd[@]}" tee -a "$conf" >/dev/null
    fi
  fi
  # env: sudo does not pass the caller's environment on.
  "${sudo_cmd[@]}" apt-get update -qq
  "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
    --no-install-recommends "${missing[@]}" >/dev/null
fi
