// Which result format a PostgreSQL statement reads its columns in: the same 20,000 rows
// read in text and in binary format with libpq and turned into driver values the way the
// store does, for text columns (text, jsonb) and for the columns where binary should pay
// (bigint, double precision, boolean, bytea). Needs VELMOR_PG_URL (a libpq connection
// string); without it every benchmark says it was skipped.
//
//   bench/paired.py --binary build/bench/backends/postgres_format_bench
//       --a 'Text/binary:1' --b 'Text/binary:0' --pairs 5 --swap

#include <benchmark/benchmark.h>
#include <libpq-fe.h>

#include <cstdlib>
#include <string>

#include "backends/postgres/columns.hpp"

namespace {

constexpr int row_count = 20'000;

PGconn* connection() {
  static PGconn* conn = []() -> PGconn* {
    const char* url = std::getenv("VELMOR_PG_URL");
    if (!url) return nullptr;
    PGconn* c = PQconnectdb(url);
    if (PQstatus(c) != CONNECTION_OK) return nullptr;
    PQclear(PQexec(c, "DROP TABLE IF EXISTS velmor_format_bench"));
    const std::string create =
        "CREATE TABLE velmor_format_bench AS SELECT g::bigint AS i, g / 7.0::float8 AS f, "
        "g % 2 = 0 AS b, decode(md5(g::text), 'hex') AS y, 'name ' || md5(g::text) AS t, "
        "jsonb_build_object('k', g, 'tags', jsonb_build_array('a', md5(g::text))) AS j "
        "FROM generate_series(1, " +
        std::to_string(row_count) + ") g";
    PQclear(PQexec(c, create.c_str()));
    return c;
  }();
  return conn;
}

void read(benchmark::State& state, const char* sql) {
  PGconn* c = connection();
  if (!c) {
    state.SkipWithError("VELMOR_PG_URL is not set or the server cannot be reached");
    return;
  }
  const int format = static_cast<int>(state.range(0));
  std::size_t values = 0;
  for (auto _ : state) {
    PGresult* r = PQexecParams(c, sql, 0, nullptr, nullptr, nullptr, nullptr, format);
    const int rows = PQntuples(r);
    const int columns = PQnfields(r);
    for (int row = 0; row < rows; ++row)
      for (int col = 0; col < columns; ++col) {
        auto v = velmor_models::backends::postgres::decode_column(
            PQftype(r, col), format == 1,
            std::string_view(PQgetvalue(r, row, col),
                             static_cast<std::size_t>(PQgetlength(r, row, col))));
        benchmark::DoNotOptimize(v);
        ++values;
      }
    PQclear(r);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(values));
}

void Text(benchmark::State& state) {
  read(state, "SELECT t, j FROM velmor_format_bench");
}
void Numbers(benchmark::State& state) {
  read(state, "SELECT i, f, b, y FROM velmor_format_bench");
}

// 0: text format, 1: binary.
BENCHMARK(Text)->ArgName("binary")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(Numbers)->ArgName("binary")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace
