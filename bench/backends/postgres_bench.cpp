// The PostgreSQL store against raw libpq loops doing the same work. Needs VELMOR_PG_URL (a
// libpq connection string; scripts/pg_cluster.sh prints one); without it every benchmark
// says it was skipped.
//  - FullScan: the 200,000 rows of sqlite_bench (same class, same values; the table is made
//    once per database and reused), QuerySet(...).execute() against prepared raw loops that
//    read the same statement in text and in binary format into Boost.JSON objects, with
//    `_metadata` parsed;
//  - Selective: sqlite_bench's query (age >= 40, ordered by age, 100 rows) 10,000 times,
//    built and run through the library each time, against PQexecPrepared of its statement
//    in text and in binary format (an index on age and insertion order serves it, as
//    SQLite's index on age does: see ensure_people);
//  - Throughput: N coroutines on one io_context reading `abalance` of a random
//    pgbench_accounts row for VELMOR_BENCH_SECONDS (default 5) seconds; counter `qps`.
//    bench/postgres_throughput.sh runs it against `pgbench -S -M prepared` (needs
//    `pgbench -i -s 1` on the database, which the script does);
//  - Pipelined: 64 of those reads sharing the store's pipelined connection over a link
//    with 1 ms of latency each way (tests/support's proxy), against the same 64 one after
//    the other over that link;
//  - SaveBatches: save_new_batch of 100,000 objects in batches of 1,000, `default` and
//    `lakehouse` in two fresh schemas of the database, against single-row INSERTs of the
//    same rows in libpq pipeline mode, in transactions of 1,000.
//
//   bench/paired.py --binary build/bench/backends/postgres_bench
//       --a 'FullScan_Library/' --b 'FullScan_Raw/binary:1/' --pairs 5 --swap

#include <benchmark/benchmark.h>
#include <libpq-fe.h>
#include <malloc.h>
#include <unistd.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/json/parse.hpp>
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "people_table.hpp"
#include "support/pg_env.hpp"
#include "support/tcp_proxy.hpp"
#include "velmor_models/backends/object_store.hpp"
#include "velmor_models/backends/registry.hpp"
#include "velmor_models/backends/sql/compiler.hpp"
#include "velmor_models/backends/tables.hpp"
#include "velmor_models/querysets/qsetkit.hpp"
#include "velmor_utils/utils/decorators.hpp"

namespace {

namespace json = boost::json;
namespace backends = velmor_models::backends;
using namespace velmor_models::querysets::qsetkit;
using velmor_models::classes::model::CoreTypes;
using velmor_models::classes::model::ModelClass;
using velmor_utils::utils::decorators::Mode;
using velmor_utils::utils::decorators::ModeScope;

using bench_people::row_count;
constexpr int selective_repeats = 10'000;
constexpr int batch_count = 100'000;
constexpr int batch_size = 1'000;
constexpr const char* alias = "bench";
constexpr const char* slow_alias = "bench_slow";
constexpr const char* no_server =
    "VELMOR_PG_URL is not set (scripts/pg_cluster.sh start prints it)";

// As in sqlite_bench: freed memory stays in the process, large blocks included, so that the
// order benchmarks run in does not decide how often each one pays for fresh pages.
const bool heap_kept = [] {
  mallopt(M_TRIM_THRESHOLD, 1 << 30);
  mallopt(M_TOP_PAD, 256 << 20);
  mallopt(M_MMAP_THRESHOLD, 1 << 30);
  return true;
}();

using Conn = std::unique_ptr<PGconn, decltype(&PQfinish)>;
using Result = std::unique_ptr<PGresult, decltype(&PQclear)>;

Conn raw_connect() {
  Conn c(PQconnectdb(velmor_test::pg_url()->c_str()), &PQfinish);
  if (PQstatus(c.get()) != CONNECTION_OK)
    throw std::runtime_error(std::string("cannot connect: ") + PQerrorMessage(c.get()));
  return c;
}

Result exec(PGconn* c, const std::string& sql) {
  Result r(PQexec(c, sql.c_str()), &PQclear);
  const auto status = PQresultStatus(r.get());
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
    throw std::runtime_error(sql + ": " + PQresultErrorMessage(r.get()));
  return r;
}

using bench_people::person;

// pgbench's table as a plain table (its rows carry no `_metadata`).
const ModelClassPtr& account() {
  static const ModelClassPtr cls = [] {
    ModelClass::Options options;
    options.plain_table = true;
    return ModelClass::create(
        "PgbenchAccount", "pgbench_accounts",
        {{"aid", CoreTypes::INTEGER, true, {}}, {"abalance", CoreTypes::INTEGER, true, {}}},
        options);
  }();
  return cls;
}

// The alias `bench` on the test database; false without a server.
bool configure_bench_alias() {
  static const bool configured = [] {
    if (!velmor_test::pg_url()) return false;
    backends::configure(alias, "postgresql:" + *velmor_test::pg_url());
    return true;
  }();
  return configured;
}

// The alias on the test database, with the table of sqlite_bench (made when missing or
// incomplete); false without a server.
bool ensure_people() {
  static const bool ready = [] {
    if (!configure_bench_alias()) return false;
    Conn c = raw_connect();
    const bool present =
        std::string(PQgetvalue(exec(c.get(), "SELECT to_regclass('people') IS NOT NULL").get(), 0,
                               0)) == "t" &&
        std::atoi(PQgetvalue(exec(c.get(), "SELECT count(*) FROM people").get(), 0, 0)) ==
            row_count;
    if (!present) {
      exec(c.get(), "DROP TABLE IF EXISTS people");
      backends::create_table(alias, *person(), {"age"});
      const std::vector<json::object> rows = bench_people::person_rows();
      backends::insert_records(alias, *person(), rows);
    }
    // The selective query orders by age (nulls first, as SQLite orders them) and then by
    // insertion (`_velmor_seq`). SQLite's index on age carries the rowid and serves that
    // order; the store's index on age does not (nulls last, no `_velmor_seq`), and the
    // server then scans and sorts the table for the 100 rows, some 30 ms a query that would
    // hide the client's share. This index is what SQLite's is.
    exec(
        c.get(),
        R"(CREATE INDEX IF NOT EXISTS people__age_order ON people (age NULLS FIRST, "_velmor_seq"))");
    if (!present) exec(c.get(), "VACUUM ANALYZE people");
    return true;
  }();
  return ready;
}

// The number of pgbench_accounts rows, 0 when pgbench has not initialised the database.
int accounts() {
  static const int count = [] {
    if (!configure_bench_alias()) return 0;
    Conn c = raw_connect();
    if (std::string(PQgetvalue(
            exec(c.get(), "SELECT to_regclass('pgbench_accounts') IS NOT NULL").get(), 0, 0)) !=
        "t")
      return 0;
    return std::atoi(
        PQgetvalue(exec(c.get(), "SELECT count(*) FROM pgbench_accounts").get(), 0, 0));
  }();
  return count;
}

bool skipped_without_accounts(benchmark::State& state) {
  if (!velmor_test::pg_url()) {
    state.SkipWithError(no_server);
    return true;
  }
  if (accounts() == 0) {
    state.SkipWithError(
        "pgbench_accounts is missing: run `pgbench -i -s 1` on the database "
        "(bench/postgres_throughput.sh does)");
    return true;
  }
  return false;
}

// ---- Reading rows by hand: every column into a JSON object, `_metadata` parsed.

enum class Kind { integer, text, json_text };

struct RawColumn {
  std::string name;
  Kind kind;
};

std::vector<RawColumn> raw_columns(const PGresult* r) {
  std::vector<RawColumn> out;
  for (int c = 0; c < PQnfields(r); ++c) {
    const std::string name = PQfname(r, c);
    const Oid type = PQftype(r, c);
    const bool integer = type == 20 || type == 23 || type == 21;  // int8, int4, int2
    out.push_back({name, name == "_metadata" ? Kind::json_text
                         : integer           ? Kind::integer
                                             : Kind::text});
  }
  return out;
}

std::int64_t raw_integer(const char* v, int length, bool binary) {
  if (!binary) {
    std::int64_t n = 0;
    std::from_chars(v, v + length, n);
    return n;
  }
  if (length == 8) {
    std::uint64_t n;
    std::memcpy(&n, v, 8);
    return static_cast<std::int64_t>(__builtin_bswap64(n));
  }
  std::uint32_t n;
  std::memcpy(&n, v, 4);
  return static_cast<std::int32_t>(__builtin_bswap32(n));
}

std::vector<json::object> raw_rows(const PGresult* r, const std::vector<RawColumn>& columns) {
  const int rows = PQntuples(r);
  std::vector<json::object> out;
  out.reserve(static_cast<std::size_t>(rows));
  for (int row = 0; row < rows; ++row) {
    json::object o(columns.size());
    for (int c = 0; c < static_cast<int>(columns.size()); ++c) {
      const RawColumn& column = columns[static_cast<std::size_t>(c)];
      if (PQgetisnull(r, row, c)) {
        o.emplace(column.name, nullptr);
        continue;
      }
      const char* v = PQgetvalue(r, row, c);
      const int length = PQgetlength(r, row, c);
      const std::string_view text(v, static_cast<std::size_t>(length));
      if (column.kind == Kind::integer)
        o.emplace(column.name, raw_integer(v, length, PQfformat(r, c) == 1));
      else if (column.kind == Kind::json_text)
        o.emplace(column.name, json::parse(text));
      else
        o.emplace(column.name, text);
    }
    out.push_back(std::move(o));
  }
  return out;
}

// A statement of the library's, prepared on a raw connection, its parameters as text.
struct RawStatement {
  Conn conn{nullptr, &PQfinish};
  std::vector<std::string> params;

  explicit RawStatement(const backends::sql::Statement& st) : conn(raw_connect()) {
    Result r(PQprepare(conn.get(), "s", st.text.c_str(), 0, nullptr), &PQclear);
    if (PQresultStatus(r.get()) != PGRES_COMMAND_OK)
      throw std::runtime_error(PQresultErrorMessage(r.get()));
    for (const json::value& p : st.params) {
      if (p.is_int64())
        params.push_back(std::to_string(p.get_int64()));
      else if (p.is_string())
        params.emplace_back(p.get_string());
      else
        throw std::runtime_error("a parameter of another type");
    }
  }
  Result run(int format) const {
    std::vector<const char*> values;
    for (const std::string& p : params) values.push_back(p.c_str());
    return Result(PQexecPrepared(conn.get(), "s", static_cast<int>(values.size()), values.data(),
                                 nullptr, nullptr, format),
                  &PQclear);
  }
};

backends::sql::Statement compiled(const QuerySet<Model>& qs) {
  return backends::sql::compile_select(qs, *backends::backend_for(alias)->dialect());
}

// ---- 1. Every row.

// The library's statement (its ORDER BY included, so that the server does the same work);
// 0: text format, 1: binary.
void FullScan_Raw(benchmark::State& state) {
  if (!ensure_people()) return state.SkipWithError(no_server);
  const int format = static_cast<int>(state.range(0));
  const RawStatement st(compiled(QuerySet<Model>(person()).using_(alias)));
  for (auto _ : state) {
    const Result r = st.run(format);
    auto rows = raw_rows(r.get(), raw_columns(r.get()));
    if (rows.size() != row_count) state.SkipWithError("wrong row count");
    benchmark::DoNotOptimize(rows);
  }
  state.SetItemsProcessed(state.iterations() * row_count);
}

void FullScan_Library(benchmark::State& state) {
  if (!ensure_people()) return state.SkipWithError(no_server);
  const QuerySet<Model> all = QuerySet<Model>(person()).using_(alias);
  for (auto _ : state) {
    auto people = all.execute();
    if (people.size() != row_count) state.SkipWithError("wrong row count");
    benchmark::DoNotOptimize(people);
  }
  state.SetItemsProcessed(state.iterations() * row_count);
}

// ---- 2. A selective query, many times.

QuerySet<Model> selective(std::int64_t age) {
  return QuerySet<Model>(person())
      .using_(alias)
      .filter({{"age__gte", age}})
      .order_by("age")[Slice(0, 100)];
}

void Selective_Raw(benchmark::State& state) {
  if (!ensure_people()) return state.SkipWithError(no_server);
  const int format = static_cast<int>(state.range(0));
  const RawStatement st(compiled(selective(40)));
  for (auto _ : state) {
    for (int i = 0; i < selective_repeats; ++i) {
      const Result r = st.run(format);
      auto rows = raw_rows(r.get(), raw_columns(r.get()));
      if (rows.size() != 100) state.SkipWithError("wrong row count");
      benchmark::DoNotOptimize(rows);
    }
  }
  state.SetItemsProcessed(state.iterations() * selective_repeats);
}

void Selective_Library(benchmark::State& state) {
  if (!ensure_people()) return state.SkipWithError(no_server);
  for (auto _ : state) {
    for (int i = 0; i < selective_repeats; ++i) {
      auto people = selective(40).execute();
      if (people.size() != 100) state.SkipWithError("wrong row count");
      benchmark::DoNotOptimize(people);
    }
  }
  state.SetItemsProcessed(state.iterations() * selective_repeats);
}

// ---- 3. Throughput of concurrent coroutines, and 4. pipelining over a slow link.

QuerySet<Model> balance_of(const char* on, std::int64_t aid) {
  return QuerySet<Model>(account()).using_(on).filter({{"aid", aid}}).only({"abalance"});
}

// One read of the balance of `aid`; false when it did not find exactly one row.
boost::asio::awaitable<bool> read_balance(const char* on, std::int64_t aid) {
  const QuerySet<Model> qs = balance_of(on, aid);
  auto run = qs.aexecute();
  const auto rows = co_await std::move(run);
  co_return rows.size() == 1;
}

double bench_seconds() {
  const char* s = std::getenv("VELMOR_BENCH_SECONDS");
  return s != nullptr && std::atof(s) > 0 ? std::atof(s) : 5.0;
}

void Throughput_Library(benchmark::State& state) {
  if (skipped_without_accounts(state)) return;
  const int n = static_cast<int>(state.range(0));
  const int rows = accounts();
  ModeScope async(Mode::async);
  std::int64_t queries = 0;
  bool wrong = false;
  {  // the connection opened and the statement prepared before the clock starts
    boost::asio::io_context loop;
    boost::asio::co_spawn(loop, read_balance(alias, 1), boost::asio::detached);
    loop.run();
  }
  for (auto _ : state) {
    boost::asio::io_context loop;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::duration<double>(bench_seconds());
    const auto start = std::chrono::steady_clock::now();
    for (int c = 0; c < n; ++c)
      boost::asio::co_spawn(
          loop,
          [&, c]() -> boost::asio::awaitable<void> {
            std::minstd_rand random(static_cast<unsigned>(c + 1));
            std::uniform_int_distribution<std::int64_t> aid(1, rows);
            while (std::chrono::steady_clock::now() < deadline) {
              const bool found = co_await read_balance(alias, aid(random));
              wrong = wrong || !found;
              ++queries;
            }
          },
          boost::asio::detached);
    loop.run();
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.SetIterationTime(elapsed);
    state.counters["qps"] = static_cast<double>(queries) / elapsed;
  }
  if (wrong) state.SkipWithError("a read did not find its row");
  state.SetItemsProcessed(queries);
}

// The alias `bench_slow`: the test database through a proxy that holds every chunk 1 ms
// each way. The proxy lives as long as the process.
bool ensure_slow_link() {
  static const std::unique_ptr<velmor_test::TcpProxy> proxy = [] {
    auto p = std::make_unique<velmor_test::TcpProxy>(*velmor_test::pg_socket_path());
    backends::configure(slow_alias, "postgresql:" + *velmor_test::pg_url() + " " +
                                        p->libpq_address() + " pool_max=2");
    p->set_delay(std::chrono::milliseconds(1));
    return p;
  }();
  return proxy != nullptr;
}

constexpr int pipelined_queries = 64;

void Pipelined_Concurrent(benchmark::State& state) {
  if (skipped_without_accounts(state)) return;
  if (!velmor_test::pg_socket_path()) return state.SkipWithError("VELMOR_PG_HOST is not set");
  ensure_slow_link();
  ModeScope async(Mode::async);
  bool wrong = false;
  for (auto _ : state) {
    boost::asio::io_context loop;
    for (int i = 0; i < pipelined_queries; ++i)
      boost::asio::co_spawn(
          loop,
          [&, i]() -> boost::asio::awaitable<void> {
            const bool found = co_await read_balance(slow_alias, 1 + i);
            wrong = wrong || !found;
          },
          boost::asio::detached);
    loop.run();
  }
  if (wrong) state.SkipWithError("a read did not find its row");
  state.SetItemsProcessed(state.iterations() * pipelined_queries);
}

void Pipelined_Sequential(benchmark::State& state) {
  if (skipped_without_accounts(state)) return;
  if (!velmor_test::pg_socket_path()) return state.SkipWithError("VELMOR_PG_HOST is not set");
  ensure_slow_link();
  ModeScope async(Mode::async);
  bool wrong = false;
  for (auto _ : state) {
    boost::asio::io_context loop;
    boost::asio::co_spawn(
        loop,
        [&]() -> boost::asio::awaitable<void> {
          for (int i = 0; i < pipelined_queries; ++i) {
            const bool found = co_await read_balance(slow_alias, 1 + i);
            wrong = wrong || !found;
          }
        },
        boost::asio::detached);
    loop.run();
  }
  if (wrong) state.SkipWithError("a read did not find its row");
  state.SetItemsProcessed(state.iterations() * pipelined_queries);
}

// ---- 5. Saving new objects.

json::object person_values(int i) {
  return json::object{{"id", i},
                      {"name", "person-" + std::to_string(i)},
                      {"email", "person" + std::to_string(i) + "@example.com"},
                      {"age", 18 + (i * 7919) % 70}};
}

// A new schema of the test database, unique to this process and run; its name.
std::string fresh_schema(PGconn* c, const std::string& what) {
  static int serial = 0;
  const std::string name =
      "velmor_bench_" + std::to_string(::getpid()) + "_" + std::to_string(serial++) + "_" + what;
  exec(c, "CREATE SCHEMA " + name);
  return name;
}

void SaveBatches_Library(benchmark::State& state) {
  if (!velmor_test::pg_url()) return state.SkipWithError(no_server);
  Conn admin = raw_connect();
  for (auto _ : state) {
    state.PauseTiming();
    std::vector<std::string> schemas{fresh_schema(admin.get(), "default"),
                                     fresh_schema(admin.get(), "lake")};
    const std::string base = "postgresql:" + *velmor_test::pg_url() + " options='-csearch_path=";
    backends::configure("default", base + schemas[0] + "'");
    backends::configure("lakehouse", base + schemas[1] + "'");
    backends::clear_class_version_cache();
    std::vector<json::object> all;
    for (int i = 0; i < batch_count; ++i) all.push_back(person_values(i));
    state.ResumeTiming();
    for (int i = 0; i < batch_count; i += batch_size)
      (void)backends::save_new_batch(person(),
                                     std::span<const json::object>(all).subspan(i, batch_size));
    state.PauseTiming();
    for (const std::string& s : schemas) exec(admin.get(), "DROP SCHEMA " + s + " CASCADE");
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * batch_count);
}

// Reads the results of one pipelined transaction, up to its sync; false on an error.
bool read_to_sync(PGconn* c) {
  bool ok = true;
  for (;;) {
    PGresult* r = PQgetResult(c);
    if (r == nullptr) continue;  // the end of one statement's results
    const auto status = PQresultStatus(r);
    PQclear(r);
    if (status == PGRES_PIPELINE_SYNC) return ok;
    if (status != PGRES_COMMAND_OK) ok = false;
  }
}

void SaveBatches_RawPipelined(benchmark::State& state) {
  if (!velmor_test::pg_url()) return state.SkipWithError(no_server);
  Conn admin = raw_connect();
  for (auto _ : state) {
    state.PauseTiming();
    const std::string schema = fresh_schema(admin.get(), "raw");
    std::vector<json::object> all;
    for (int i = 0; i < batch_count; ++i) all.push_back(person_values(i));
    state.ResumeTiming();
    Conn conn = raw_connect();
    PGconn* c = conn.get();
    exec(c, "CREATE TABLE " + schema +
                ".t (id bigint, name text, email text, age bigint, _metadata text, "
                "_object_id text, _object_version bigint, _class_version bigint, "
                "_saved_at bigint)");
    const std::string insert = "INSERT INTO " + schema +
                               ".t VALUES ($1::bigint, $2, $3, $4::bigint, $5, $6, 1, 1, "
                               "$7::bigint)";
    PQenterPipelineMode(c);
    PQsendPrepare(c, "insert", insert.c_str(), 7, nullptr);
    bool ok = true;
    const std::string now = std::to_string(std::chrono::duration_cast<std::chrono::microseconds>(
                                               std::chrono::system_clock::now().time_since_epoch())
                                               .count());
    for (int i = 0; i < batch_count;) {
      PQsendQueryParams(c, "BEGIN", 0, nullptr, nullptr, nullptr, nullptr, 0);
      for (int n = 0; n < batch_size; ++n, ++i) {
        const json::object& v = all[static_cast<std::size_t>(i)];
        const std::string id = std::to_string(i), age = std::to_string(v.at("age").as_int64()),
                          meta = R"({"object_id":")" + id + "\"}";
        const char* values[] = {id.c_str(),
                                v.at("name").as_string().c_str(),
                                v.at("email").as_string().c_str(),
                                age.c_str(),
                                meta.c_str(),
                                id.c_str(),
                                now.c_str()};
        PQsendQueryPrepared(c, "insert", 7, values, nullptr, nullptr, 0);
      }
      PQsendQueryParams(c, "COMMIT", 0, nullptr, nullptr, nullptr, nullptr, 0);
      PQpipelineSync(c);
      ok = read_to_sync(c) && ok;
    }
    PQexitPipelineMode(c);
    const std::string error = ok ? "" : std::string("an insert failed: ") + PQerrorMessage(c);
    conn.reset();
    state.PauseTiming();
    if (!ok) state.SkipWithError(error.c_str());
    exec(admin.get(), "DROP SCHEMA " + schema + " CASCADE");
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * batch_count);
}

// The full scans warm up untimed first (the heap's pages, the server's buffers).
BENCHMARK(FullScan_Raw)
    ->ArgName("binary")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->MinWarmUpTime(1);
BENCHMARK(FullScan_Library)->Unit(benchmark::kMillisecond)->MinWarmUpTime(1);
BENCHMARK(Selective_Raw)->ArgName("binary")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(Selective_Library)->Unit(benchmark::kMillisecond);
BENCHMARK(Throughput_Library)
    ->ArgName("coroutines")
    ->Arg(1)
    ->Arg(8)
    ->Arg(64)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(Pipelined_Concurrent)->Unit(benchmark::kMillisecond);
BENCHMARK(Pipelined_Sequential)->Unit(benchmark::kMillisecond);
BENCHMARK(SaveBatches_RawPipelined)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(SaveBatches_Library)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace
