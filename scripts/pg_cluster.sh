#!/usr/bin/env bash
# A throwaway PostgreSQL primary and a streaming standby of it, for the tests.
#   pg_cluster.sh start <folder>  creates both in <folder> (an empty or new folder), reached
#                                 through Unix sockets in <folder> only, and prints the
#                                 `export` lines of the test environment on stdout
#   pg_cluster.sh stop <folder>   stops both and removes <folder>
# As root the servers run as `postgres` (initdb and postgres refuse root). Durability is off:
# a crash of the machine loses the data, which nobody keeps.
set -euo pipefail

usage() {
  echo "usage: $0 start|stop <folder>" >&2
  exit 2
}
[ $# -eq 2 ] || usage
command=$1
folder=$2
case $folder in /*) ;; *) folder=$PWD/$folder ;; esac # the sockets need an absolute folder
primary=$folder/primary
standby=$folder/standby
# Left by start: stop removes only a folder that has it (or an empty one).
marker=$folder/.velmor-pg-cluster
# Every wait is bounded: pg_ctl's, and the loops below (in tenths of a second).
wait_seconds=60
export PGCONNECT_TIMEOUT=10

pg_bin() {
  local d
  for d in "${VELMOR_PG_BIN:-}" /usr/lib/postgresql/15/bin "$(pg_config --bindir 2>/dev/null || true)"; do
    if [ -n "$d" ] && [ -x "$d/pg_ctl" ]; then
      echo "$d"
      return
    fi
  done
  echo "pg_cluster: pg_ctl not found (./scripts/setup.sh installs postgresql-15)" >&2
  exit 1
}
bin=$(pg_bin)

# Runs a command as the user who owns the folder: the servers' user.
as_owner() {
  if [ "$(id -u)" -eq 0 ] && [ "$(stat -c %u "$folder")" -ne 0 ]; then
    runuser -u "$(stat -c %U "$folder")" -- "$@"
  else
    "$@"
  fi
}

psql_at() {
  local port=$1
  shift
  "$bin/psql" -X -q -At -v ON_ERROR_STOP=1 -h "$folder" -p "$port" -U velmor "$@"
}

# Stops the server of one data folder: fast, then immediate, then SIGKILL to the postmaster.
stop_server() {
  local data=$1 pid
  [ -f "$data/postmaster.pid" ] || return 0
  as_owner "$bin/pg_ctl" -D "$data" -m fast -w -t 30 stop >/dev/null 2>&1 && return 0
  echo "pg_cluster: $data did not stop in 30 s (fast); stopping it immediately" >&2
  as_owner "$bin/pg_ctl" -D "$data" -m immediate -w -t 30 stop >/dev/null 2>&1 && return 0
  pid=$(head -n 1 "$data/postmaster.pid" 2>/dev/null || true)
  if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
    echo "pg_cluster: killing the postmaster of $data (pid $pid)" >&2
    kill -9 "$pid" 2>/dev/null || true
  fi
}

# The standby first: the primary's shutdown then has no WAL sender to wait for.
stop_servers() {
  stop_server "$standby"
  stop_server "$primary"
}

# Says what failed and shows the end of the logs given, stops what start started and exits.
fail() {
  local message=$1 log
  shift
  echo "pg_cluster: $message" >&2
  for log in "$@"; do
    if [ -s "$log" ]; then
      echo "--- last lines of $log:" >&2
      tail -n 30 "$log" >&2
    fi
  done
  [ -d "$folder" ] && stop_servers
  exit 1
}

# A port with no socket in the folder and no listener on the loopback, outside the
# ephemeral range.
free_port() {
  local p i
  for ((i = 0; i < 100; i++)); do
    p=$((20000 + RANDOM % 12000))
    [ "$p" != "${1:-}" ] || continue
    [ ! -e "$folder/.s.PGSQL.$p" ] || continue
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null; then
      echo "$p"
      return
    fi
  done
  fail "no free port found"
}

start() {
  [[ $folder =~ ^[A-Za-z0-9/._+-]+$ ]] ||
    fail "the folder '$folder' may hold only letters, digits and / . _ + - (it goes into connection strings)"
  # A socket path is at most 107 bytes: <folder>/.s.PGSQL.<port>.lock must fit.
  [ ${#folder} -le 80 ] || fail "the folder '$folder' is too long for a socket path (80 characters at most)"
  mkdir -p "$folder"
  [ -z "$(ls -A "$folder")" ] || fail "the folder $folder is not empty"
  touch "$marker"
  if [ "$(id -u)" -eq 0 ]; then
    id postgres >/dev/null 2>&1 || fail "as root the servers run as the user postgres, which does not exist"
    chown -R postgres: "$folder"
    as_owner test -w "$folder" -a -x "$folder" ||
      fail "the user postgres cannot reach $folder (is a folder above it closed to others?)"
  fi
  local port standby_port state i
  port=$(free_port)
  standby_port=$(free_port "$port")

  as_owner "$bin/initdb" -D "$primary" -U velmor --auth=trust -E UTF8 --locale=C.UTF-8 \
    --no-sync --no-instructions >"$folder/initdb.log" 2>&1 ||
    fail "initdb failed" "$folder/initdb.log"
  # Tuned for tests: nothing waits for the disk, little memory; few enough connections that
  # a test can use them all up; WAL for a streaming standby; no two-phase commit.
  cat >>"$primary/postgresql.conf" <<EOF

# Added by pg_cluster.sh: a throwaway server for the tests.
listen_addresses = ''
unix_socket_directories = '$folder'
port = $port
cluster_name = 'velmor_primary'
fsync = off
full_page_writes = off
shared_buffers = 16MB
max_connections = 60
superuser_reserved_connections = 3
max_prepared_transactions = 0
wal_level = replica
max_wal_senders = 4
max_replication_slots = 4
hot_standby = on
jit = off
EOF
  as_owner "$bin/pg_ctl" -D "$primary" -l "$primary.log" -w -t "$wait_seconds" start >/dev/null ||
    fail "the primary did not start" "$primary.log"
  psql_at "$port" -d postgres -c "CREATE DATABASE velmor_test ENCODING 'UTF8' TEMPLATE template0" ||
    fail "could not create the database velmor_test" "$primary.log"

  # The standby: a copy over the socket that streams from a slot of its own, so the
  # primary keeps every WAL segment it has not received.
  as_owner "$bin/pg_basebackup" -h "$folder" -p "$port" -U velmor -D "$standby" -R -X stream \
    -c fast -N -C -S velmor_standby >"$folder/basebackup.log" 2>&1 ||
    fail "pg_basebackup failed" "$folder/basebackup.log" "$primary.log"
  cat >>"$standby/postgresql.conf" <<EOF
port = $standby_port
cluster_name = 'velmor_standby'
EOF
  as_owner "$bin/pg_ctl" -D "$standby" -l "$standby.log" -w -t "$wait_seconds" start >/dev/null ||
    fail "the standby did not start" "$standby.log"
  state=$(psql_at "$standby_port" -d velmor_test -c "SELECT pg_is_in_recovery()") || state=
  [ "$state" = t ] || fail "the standby is not in recovery" "$standby.log"
  for ((i = 0; i < wait_seconds * 10; i++)); do
    state=$(psql_at "$standby_port" -d postgres -c "SELECT status FROM pg_stat_wal_receiver") || state=
    [ "$state" != streaming ] || break
    sleep 0.1
  done
  [ "$state" = streaming ] ||
    fail "the standby does not stream from the primary (WAL receiver: ${state:-none})" \
      "$standby.log" "$primary.log"

  local url="host=$folder port=$port user=velmor dbname=velmor_test"
  local standby_url="host=$folder port=$standby_port user=velmor dbname=velmor_test"
  cat <<EOF
export VELMOR_PG_URL='$url'
export VELMOR_PG_STANDBY_URL='$standby_url'
export VELMOR_PG_DATA='$primary'
export VELMOR_PG_STANDBY_DATA='$standby'
export VELMOR_PG_BIN='$bin'
export VELMOR_PG_HOST='$folder'
export VELMOR_PG_PORT='$port'
export VELMOR_PG_STANDBY_PORT='$standby_port'
EOF
}

stop() {
  [ -d "$folder" ] || return 0
  if [ ! -e "$marker" ] && [ -n "$(ls -A "$folder")" ]; then
    echo "pg_cluster: $folder was not made by pg_cluster.sh start; left as it is" >&2
    exit 1
  fi
  stop_servers
  rm -rf "$folder"
}

case $command in
  start) start ;;
  stop) stop ;;
  *) usage ;;
esac
