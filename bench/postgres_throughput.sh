#!/usr/bin/env bash
# Reads per second of N coroutines on one thread through the PostgreSQL store
# (postgres_bench's Throughput_Library: `SELECT abalance FROM pgbench_accounts WHERE aid =
# $1` for a random aid) against `pgbench -S -M prepared -c N -j 1` on the same database,
# for N = 1, 8, 64. The two sides run alternately (library, pgbench, library, pgbench ...);
# each pair gives library qps / pgbench qps, and every N its median and range.
#
#   bench/postgres_throughput.sh [pairs (5)] [seconds per run (5)] [N ... (1 8 64)]
#
# Needs VELMOR_PG_URL (scripts/pg_cluster.sh start prints it) and a server that takes 64
# more connections (pg_cluster.sh's allows 57: raise max_connections on the primary and its
# standby); initialises pgbench's tables (`pgbench -i -s 1`) when the database has none. The benchmark binary is
# build/bench/backends/postgres_bench unless POSTGRES_BENCH names another.
set -euo pipefail

pairs=${1:-5}
seconds=${2:-5}
shift $(($# < 2 ? $# : 2))
counts=("$@")
[ ${#counts[@]} -gt 0 ] || counts=(1 8 64)
root=$(cd "$(dirname "$0")/.." && pwd)
binary=${POSTGRES_BENCH:-$root/build/bench/backends/postgres_bench}
bin=${VELMOR_PG_BIN:-/usr/lib/postgresql/15/bin}
[ -n "${VELMOR_PG_URL:-}" ] || {
  echo "postgres_throughput: VELMOR_PG_URL is not set (scripts/pg_cluster.sh start prints it)" >&2
  exit 2
}
[ -x "$binary" ] || {
  echo "postgres_throughput: $binary is missing (build the target postgres_bench)" >&2
  exit 2
}

present=$("$bin/psql" -X -q -At -d "$VELMOR_PG_URL" -c "SELECT to_regclass('pgbench_accounts') IS NOT NULL")
if [ "$present" != t ]; then
  echo "initialising pgbench's tables (pgbench -i -s 1)" >&2
  "$bin/pgbench" -i -s 1 -q "$VELMOR_PG_URL" >/dev/null 2>&1
fi

library_qps() {
  VELMOR_BENCH_SECONDS=$seconds "$binary" --benchmark_filter="^Throughput_Library/coroutines:$1/" \
    --benchmark_format=json 2>/dev/null | python3 -c '
import json, sys
runs = json.load(sys.stdin)["benchmarks"]
if len(runs) != 1 or runs[0].get("error_occurred"):
    sys.exit("postgres_throughput: the library run failed: %s" % (runs and runs[0].get("error_message")))
print("%.1f" % runs[0]["qps"])'
}

pgbench_qps() {
  # -n: no vacuum before the run (the select-only test writes nothing).
  local out
  out=$("$bin/pgbench" -n -S -M prepared -c "$1" -j 1 -T "$seconds" "$VELMOR_PG_URL" 2>&1) || {
    echo "postgres_throughput: pgbench failed (N = $1 needs as many connections):" >&2
    echo "$out" | tail -n 5 >&2
    exit 1
  }
  sed -n 's/^tps = \([0-9.]*\) (without initial connection time)$/\1/p' <<<"$out"
}

for n in "${counts[@]}"; do
  ratios=() libs=() pgs=()
  printf 'N = %s\npair   library qps   pgbench qps   library/pgbench\n' "$n"
  for ((p = 1; p <= pairs; p++)); do
    lib=$(library_qps "$n")
    pg=$(pgbench_qps "$n") || exit 1
    [ -n "$pg" ] || {
      echo "postgres_throughput: pgbench gave no tps" >&2
      exit 1
    }
    ratio=$(python3 -c "print('%.2f' % ($lib / $pg))")
    ratios+=("$ratio") libs+=("$lib") pgs+=("$pg")
    printf '%4d %13s %13s %17s\n' "$p" "$lib" "$pg" "$ratio"
  done
  python3 -c '
import statistics, sys
n, k = sys.argv[1], (len(sys.argv) - 2) // 3
r, lib, pg = ([float(x) for x in sys.argv[2 + i * k:2 + (i + 1) * k]] for i in range(3))
print("N = %s: library/pgbench median %.2f, range %.2f-%.2f over %d pairs "
      "(library median %.0f qps, pgbench median %.0f qps)\n" %
      (n, statistics.median(r), min(r), max(r), k, statistics.median(lib), statistics.median(pg)))' \
    "$n" "${ratios[@]}" "${libs[@]}" "${pgs[@]}"
done
