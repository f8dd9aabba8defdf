// velmor_casefold against lower() in PostgreSQL, in the scan `icontains` compiles to
// (WHERE strpos(velmor_casefold(col), $1) > 0) over 100,000 short texts: half pure ASCII,
// half holding a word of another script (accented Latin, German with ß, Greek, Cyrillic,
// Turkish, CJK, emoji, ligatures), in mixed case. The argument picks the rows: 0 all,
// 1 the ASCII ones, 2 the others. Iexact_Indexed looks one text up through an expression
// index ON texts (velmor_casefold(t)); its label names the plan's scan.
// Needs VELMOR_PG_URL (skipped without); parallel workers are off, so that both sides
// measure the per-row cost on one core.

#include <benchmark/benchmark.h>
#include <libpq-fe.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "backends/sql/postgres_casefold.hpp"
#include "velmor_models/detail/unicode.hpp"

namespace {

namespace sql = velmor_models::backends::sql;

constexpr int row_count = 100'000;
constexpr const char* schema = "velmor_casefold_bench";

using Result = std::unique_ptr<PGresult, decltype(&PQclear)>;

// The benchmark's connection with its table ready, or the reason there is none.
struct Database {
  std::unique_ptr<PGconn, decltype(&PQfinish)> conn{nullptr, &PQfinish};
  std::string error;

  Result exec(const std::string& statements, const std::vector<const char*>& params = {}) {
    Result r(params.empty()
                 ? PQexec(conn.get(), statements.c_str())
                 : PQexecParams(conn.get(), statements.c_str(), static_cast<int>(params.size()),
                                nullptr, params.data(), nullptr, nullptr, 0),
             &PQclear);
    auto status = PQresultStatus(r.get());
    if ((status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) && error.empty())
      error = PQresultErrorMessage(r.get());
    return r;
  }
};

// Short texts, the same on every run (a fixed linear congruential sequence).
std::vector<std::string> texts() {
  static const char* const ascii[] = {"Alice", "BOB",   "carol",  "Dave",    "smith", "Jones",
                                      "Oslo",  "Paris", "london", "NEW",     "York",  "data",
                                      "Query", "Model", "x42",    "user_01", "Mail",  "HELLO"};
  static const char* const other[] = {
      "Stra\xC3\x9F"
      "e",
      "M\xC3\xBCller",
      "\xC3\x89"
      "COLE",
      "caf\xC3\xA9",
      "\xC3\x86r\xC3\xB8sk\xC3\xB8"
      "bing",
      "\xCE\x95\xCE\xBB\xCE\xBB\xCE\xAC\xCE\xB4\xCE\xB1",
      "\xCE\xA3\xCE\x9F\xCE\xA6\xCE\x99\xCE\x91",
      "\xCF\x83\xCE\xBF\xCF\x86\xCE\xAF\xCE\xB1\xCF\x82",
      "\xD0\x9C\xD0\xBE\xD1\x81\xD0\xBA\xD0\xB2\xD0\xB0",
      "\xD0\x9F\xD0\xA0\xD0\x98\xD0\x92\xD0\x95\xD0\xA2",
      "\xC4\xB0stanbul",
      "\xC4\xB1\xC4\x9F"
      "d\xC4\xB1r",
      "\xE6\x9D\xB1\xE4\xBA\xAC",
      "\xEF\xAC\x81nance",
      "\xC3\x85ngstr\xC3\xB6m",
      "\xE2\x84\xAA"
      "elvin",
      "\xF0\x9F\x98\x80smile",
      "\xD0\x9A\xD0\xB8\xD1\x97\xD0\xB2"};
  std::vector<std::string> out;
  out.reserve(row_count);
  std::uint32_t state = 12345;
  auto next = [&](std::uint32_t n) {
    state = state * 1664525u + 1013904223u;
    return (state >> 8) % n;
  };
  for (int i = 0; i < row_count; ++i) {
    std::uint32_t words = 1 + next(3), foreign = i % 2 ? next(words) : words;
    std::string text;
    for (std::uint32_t w = 0; w < words; ++w) {
      if (w) text += ' ';
      text += w == foreign ? other[next(std::size(other))] : ascii[next(std::size(ascii))];
    }
    out.push_back(std::move(text));
  }
  return out;
}

// The table is filled on the first run; the function is (re)installed when its comment
// differs from this build's version, as a store does.
Database& database() {
  static Database db = [] {
    Database d;
    const char* url = std::getenv("VELMOR_PG_URL");
    if (!url || !*url) {
      d.error = "VELMOR_PG_URL is not set";
      return d;
    }
    d.conn.reset(PQconnectdb(url));
    if (PQstatus(d.conn.get()) != CONNECTION_OK) {
      d.error = PQerrorMessage(d.conn.get());
      return d;
    }
    const std::string s = schema;
    d.exec(
        "SET client_min_messages = warning; SET max_parallel_workers_per_gather = 0; "
        "CREATE SCHEMA IF NOT EXISTS " +
        s);
    auto version = d.exec(std::string(sql::postgres_casefold_version_query()), {schema});
    if (PQntuples(version.get()) != 1 ||
        PQgetvalue(version.get(), 0, 0) != sql::postgres_casefold_version())
      d.exec(sql::postgres_casefold_install(s) + "DROP TABLE IF EXISTS " + s + ".texts");
    auto count = d.exec("SELECT count(*) FROM " + s + ".texts");
    if (PQresultStatus(count.get()) != PGRES_TUPLES_OK ||
        std::atoi(PQgetvalue(count.get(), 0, 0)) != row_count) {
      d.error.clear();
      std::string list = "{";
      for (const auto& t : texts()) {
        if (list.size() > 1) list += ',';
        (list += '"') += t;
        list += '"';
      }
      list += '}';
      d.exec("DROP TABLE IF EXISTS " + s + ".texts; CREATE TABLE " + s +
             ".texts (id serial PRIMARY KEY, t text NOT NULL, ascii boolean NOT NULL)");
      d.exec("INSERT INTO " + s +
                 ".texts (t, ascii) SELECT x, octet_length(x) = char_length(x) FROM "
                 "unnest($1::text[]) AS x",
             {list.c_str()});
      d.exec("CREATE INDEX ON " + s + ".texts (" + s + ".velmor_casefold(t))");
      d.exec("VACUUM ANALYZE " + s + ".texts");
    }
    return d;
  }();
  return db;
}

void scan(benchmark::State& state, const std::string& fold, const std::string& needle) {
  Database& db = database();
  if (!db.error.empty()) {
    state.SkipWithError(db.error.c_str());
    return;
  }
  static const char* const rows[] = {"", "ascii AND ", "NOT ascii AND "};
  const std::string query = std::string("SELECT count(*) FROM ") + schema + ".texts WHERE " +
                            rows[state.range(0)] + "strpos(" + fold + "(t), $1) > 0";
  std::int64_t matches = 0;
  for (auto _ : state) {
    auto r = db.exec(query, {needle.c_str()});
    if (!db.error.empty()) {
      state.SkipWithError(db.error.c_str());
      return;
    }
    matches = std::atoll(PQgetvalue(r.get(), 0, 0));
  }
  state.counters["matches"] = static_cast<double>(matches);
}

void Scan_Casefold(benchmark::State& state) {
  scan(state, std::string(schema) + ".velmor_casefold", velmor_models::detail::casefold("STRASSE"));
}
BENCHMARK(Scan_Casefold)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

void Scan_Lower(benchmark::State& state) {
  scan(state, "lower", "strasse");
}
BENCHMARK(Scan_Lower)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

void Iexact_Indexed(benchmark::State& state) {
  Database& db = database();
  if (!db.error.empty()) {
    state.SkipWithError(db.error.c_str());
    return;
  }
  const std::string query = std::string("SELECT count(*) FROM ") + schema + ".texts WHERE " +
                            schema + ".velmor_casefold(t) = $1";
  const std::string needle = velmor_models::detail::casefold(
      "Stra\xC3\x9F"
      "e");
  auto plan = db.exec("EXPLAIN " + query, {needle.c_str()});
  std::string scans;
  for (int row = 0; row < PQntuples(plan.get()); ++row) {
    std::string_view line = PQgetvalue(plan.get(), row, 0);
    if (line.find("Scan") == std::string_view::npos) continue;
    line.remove_prefix(line.find_first_not_of(" ->"));
    (scans += scans.empty() ? "" : "; ") += line.substr(0, line.find("  ("));
  }
  state.SetLabel(scans);
  for (auto _ : state) benchmark::DoNotOptimize(db.exec(query, {needle.c_str()}));
  if (!db.error.empty()) state.SkipWithError(db.error.c_str());
}
BENCHMARK(Iexact_Indexed)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace
