// The SQLite store on a file database of 200,000 rows (id, name, email, age indexed,
// `_metadata` JSON text of about 90 bytes), each next to a raw SQLite C API loop that does
// the same reading: every row into Boost.JSON objects with `_metadata` parsed.
//  - FullScan: QuerySet(...).execute() over every row;
//  - Selective: filter on age, order_by, a slice of 100, compiled anew every time;
//  - Concurrent: N such queries as coroutines on one io_context against N in a row.

#include <benchmark/benchmark.h>
#include <malloc.h>
#include <sqlite3.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/json/parse.hpp>
#include <filesystem>

#include "people_table.hpp"
#include "velmor_models/backends/registry.hpp"
#include "velmor_models/backends/sql/compiler.hpp"
#include "velmor_models/backends/sqlite/sqlite_backend.hpp"
#include "velmor_models/backends/tables.hpp"
#include "velmor_models/querysets/qsetkit.hpp"
#include "velmor_utils/utils/decorators.hpp"

namespace {

namespace json = boost::json;
namespace backends = velmor_models::backends;
using namespace velmor_models::querysets::qsetkit;
using velmor_models::classes::model::CoreTypes;
using velmor_models::classes::model::ModelClass;

using bench_people::row_count;
constexpr const char* alias = "bench";

// Freed memory stays in the process, so that the order benchmarks run in does not decide
// how often each one pays for fresh pages.
// Large blocks (the result vectors) come from that memory too, not from fresh mappings
// whose pages would be faulted in on every iteration.
const bool heap_kept = [] {
  mallopt(M_TRIM_THRESHOLD, 1 << 30);
  mallopt(M_TOP_PAD, 256 << 20);
  mallopt(M_MMAP_THRESHOLD, 1 << 30);
  return true;
}();

using bench_people::person;

std::string database_path() {
  return (std::filesystem::temp_directory_path() / "velmor-bench-people-v1.db").string();
}

// Builds the database file once; later runs reuse it.
void ensure_database() {
  static const bool ready = [] {
    const std::string path = database_path();
    bool exists = std::filesystem::exists(path);
    backends::configure(alias, "sqlite://" + path);
    if (!exists) {
      backends::create_table(alias, *person(), {"age"});
      const std::vector<json::object> rows = bench_people::person_rows();
      backends::insert_records(alias, *person(), rows);
    }
    return true;
  }();
  (void)ready;
}

sqlite3* raw_connection() {
  static sqlite3* db = [] {
    sqlite3* out = nullptr;
    sqlite3_open_v2(database_path().c_str(), &out, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX,
                    nullptr);
    return out;
  }();
  return db;
}

// One row into a JSON object, `_metadata` parsed, as a hand-written loop would.
json::object raw_row(sqlite3_stmt* stmt) {
  json::object row(5);
  row.emplace("id", sqlite3_column_int64(stmt, 0));
  row.emplace("name", std::string_view(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 1)),
                                       sqlite3_column_bytes(stmt, 1)));
  row.emplace("email", std::string_view(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 2)),
                                        sqlite3_column_bytes(stmt, 2)));
  row.emplace("age", sqlite3_column_int64(stmt, 3));
  row.emplace("_metadata", json::parse(std::string_view(
                               reinterpret_cast<const char*>(sqlite3_column_text(stmt, 4)),
                               sqlite3_column_bytes(stmt, 4))));
  return row;
}

std::vector<json::object> raw_read(sqlite3_stmt* stmt) {
  std::vector<json::object> out;
  while (sqlite3_step(stmt) == SQLITE_ROW) out.push_back(raw_row(stmt));
  sqlite3_reset(stmt);
  return out;
}

void FullScan_RawLoop(benchmark::State& state) {
  ensure_database();
  sqlite3_stmt* stmt = nullptr;
  sqlite3_prepare_v2(raw_connection(),
                     R"(SELECT "id", "name", "email", "age", "_metadata" FROM "people")", -1, &stmt,
                     nullptr);
  for (auto _ : state) {
    auto rows = raw_read(stmt);
    if (rows.size() != row_count) state.SkipWithError("wrong row count");
    benchmark::DoNotOptimize(rows);
  }
  sqlite3_finalize(stmt);
  state.SetItemsProcessed(state.iterations() * row_count);
}

void FullScan_Library(benchmark::State& state) {
  ensure_database();
  const QuerySet<Model> all = QuerySet<Model>(person()).using_(alias);
  for (auto _ : state) {
    auto people = all.execute();
    if (people.size() != row_count) state.SkipWithError("wrong row count");
    benchmark::DoNotOptimize(people);
  }
  state.SetItemsProcessed(state.iterations() * row_count);
}

// The store's share of FullScan_Library: the records, before materialisation.
void FullScan_StoreRecords(benchmark::State& state) {
  ensure_database();
  const QuerySet<Model> all = QuerySet<Model>(person()).using_(alias);
  for (auto _ : state) {
    auto records = velmor_models::querysets::executor::Executor(all).query();
    if (records->size() != row_count) state.SkipWithError("wrong row count");
    benchmark::DoNotOptimize(records);
  }
  state.SetItemsProcessed(state.iterations() * row_count);
}

QuerySet<Model> selective(std::int64_t age) {
  return QuerySet<Model>(person())
      .using_(alias)
      .filter({{"age__gte", age}})
      .order_by("age")[Slice(0, 100)];
}

constexpr int selective_repeats = 10'000;

void Selective_RawLoop(benchmark::State& state) {
  ensure_database();
  // The statement the library runs, prepared once and bound for each repetition.
  const auto compiled =
      backends::sql::compile_select(selective(40), *backends::backend_for(alias)->dialect());
  sqlite3_stmt* stmt = nullptr;
  sqlite3_prepare_v3(raw_connection(), compiled.text.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &stmt,
                     nullptr);
  for (auto _ : state) {
    for (int r = 0; r < selective_repeats; ++r) {
      int i = 0;
      for (const auto& p : compiled.params) {
        ++i;
        if (p.is_int64())
          sqlite3_bind_int64(stmt, i, p.get_int64());
        else if (p.is_string())
          sqlite3_bind_text(stmt, i, p.get_string().c_str(), -1, SQLITE_STATIC);
        else if (p.is_double())
          sqlite3_bind_double(stmt, i, p.get_double());
        else
          sqlite3_bind_null(stmt, i);
      }
      std::vector<json::object> rows;
      while (sqlite3_step(stmt) == SQLITE_ROW) {
        json::object row(5);
        for (int c = 0; c < sqlite3_column_count(stmt); ++c) {
          const char* name = sqlite3_column_name(stmt, c);
          if (sqlite3_column_type(stmt, c) == SQLITE_INTEGER)
            row.emplace(name, sqlite3_column_int64(stmt, c));
          else if (std::string_view(name) == "_metadata")
            row.emplace(name, json::parse(std::string_view(
                                  reinterpret_cast<const char*>(sqlite3_column_text(stmt, c)),
                                  sqlite3_column_bytes(stmt, c))));
          else
            row.emplace(
                name, std::string_view(reinterpret_cast<const char*>(sqlite3_column_text(stmt, c)),
                                       sqlite3_column_bytes(stmt, c)));
        }
        rows.push_back(std::move(row));
      }
      sqlite3_reset(stmt);
      if (rows.size() != 100) state.SkipWithError("wrong row count");
      benchmark::DoNotOptimize(rows);
    }
  }
  sqlite3_finalize(stmt);
  state.SetItemsProcessed(state.iterations() * selective_repeats);
}

void Selective_Library(benchmark::State& state) {
  ensure_database();
  for (auto _ : state) {
    for (int r = 0; r < selective_repeats; ++r) {
      auto people = selective(40).execute();
      if (people.size() != 100) state.SkipWithError("wrong row count");
      benchmark::DoNotOptimize(people);
    }
  }
  state.SetItemsProcessed(state.iterations() * selective_repeats);
}

void Compile_Selective(benchmark::State& state) {
  ensure_database();
  const auto qs = selective(40);
  const auto& dialect = *backends::backend_for(alias)->dialect();
  for (auto _ : state) benchmark::DoNotOptimize(backends::sql::compile_select(qs, dialect));
}

void Queries_Sequential(benchmark::State& state) {
  ensure_database();
  const int n = static_cast<int>(state.range(0));
  for (auto _ : state)
    for (int i = 0; i < n; ++i) benchmark::DoNotOptimize(selective(20 + i % 50).execute());
  state.SetItemsProcessed(state.iterations() * n);
}

void Queries_ConcurrentCoroutines(benchmark::State& state) {
  ensure_database();
  const int n = static_cast<int>(state.range(0));
  velmor_utils::utils::decorators::ModeScope async(velmor_utils::utils::decorators::Mode::async);
  for (auto _ : state) {
    boost::asio::io_context loop;
    for (int i = 0; i < n; ++i)
      boost::asio::co_spawn(
          loop,
          [i]() -> boost::asio::awaitable<void> {
            auto people = co_await selective(20 + i % 50).aexecute();
            benchmark::DoNotOptimize(people);
          },
          boost::asio::detached);
    loop.run();
  }
  state.SetItemsProcessed(state.iterations() * n);
}

// Each full scan warms up untimed first (the first touch of the heap's pages, SQLite's page
// cache), so that it gives the same figure alone or after the others.
BENCHMARK(FullScan_RawLoop)->Unit(benchmark::kMillisecond)->MinWarmUpTime(1);
BENCHMARK(FullScan_Library)->Unit(benchmark::kMillisecond)->MinWarmUpTime(1);
BENCHMARK(FullScan_StoreRecords)->Unit(benchmark::kMillisecond)->MinWarmUpTime(1);
BENCHMARK(Selective_RawLoop)->Unit(benchmark::kMillisecond);
BENCHMARK(Selective_Library)->Unit(benchmark::kMillisecond);
BENCHMARK(Compile_Selective);
BENCHMARK(Queries_Sequential)->Arg(16)->Arg(64)->Unit(benchmark::kMillisecond);
BENCHMARK(Queries_ConcurrentCoroutines)->Arg(16)->Arg(64)->Unit(benchmark::kMillisecond);

}  // namespace
