// velmor_casefold as installed in PostgreSQL against the library's casefold: every code
// point alone and among its neighbours, texts mixing every kind of fold, NULL, a second
// install, and an expression index. Skipped without VELMOR_PG_URL.

#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "backends/sql/postgres_casefold.hpp"
#include "velmor_models/detail/unicode.hpp"

namespace {

namespace sql = velmor_models::backends::sql;
using velmor_models::detail::casefold;

using Result = std::unique_ptr<PGresult, decltype(&PQclear)>;

std::string utf8(char32_t cp) {
  std::string out;
  velmor_models::detail::append_utf8(out, cp);
  return out;
}

// A text's bytes in hex, for failure messages about invisible characters.
std::string hex(std::string_view s) {
  std::string out;
  char buf[4];
  for (char c : s) {
    std::snprintf(buf, sizeof buf, "%02x", static_cast<unsigned char>(c));
    out += buf;
  }
  return out;
}

// Texts as one PostgreSQL array literal, bound as a single parameter.
std::string array_literal(const std::vector<std::string>& texts) {
  std::string out = "{";
  for (std::size_t i = 0; i < texts.size(); ++i) {
    if (i) out += ',';
    out += '"';
    for (char c : texts[i]) {
      if (c == '"' || c == '\\') out += '\\';
      out += c;
    }
    out += '"';
  }
  return out + "}";
}

// A connection to the test database and a scratch schema of this process, dropped at
// the end (test cases may run in parallel processes).
class PostgresCasefold : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* url = std::getenv("VELMOR_PG_URL");
    if (!url || !*url) GTEST_SKIP() << "VELMOR_PG_URL is not set";
    conn_.reset(PQconnectdb(url));
    ASSERT_EQ(PQstatus(conn_.get()), CONNECTION_OK) << PQerrorMessage(conn_.get());
    if (value(exec(std::string(sql::postgres_utf8_check_query()))) != "t")
      GTEST_SKIP() << "the test database is not UTF8";
    schema_ = "velmor_casefold_test_" + std::to_string(::getpid());
    exec("SET client_min_messages = warning; DROP SCHEMA IF EXISTS " + schema_ +
         " CASCADE; CREATE SCHEMA " + schema_);
  }
  void TearDown() override {
    if (conn_ && !schema_.empty()) exec("DROP SCHEMA IF EXISTS " + schema_ + " CASCADE");
  }

  // Runs `statements`, or one statement with text parameters; a failure fails the test.
  Result exec(const std::string& statements, const std::vector<const char*>& params = {}) {
    Result r(params.empty()
                 ? PQexec(conn_.get(), statements.c_str())
                 : PQexecParams(conn_.get(), statements.c_str(), static_cast<int>(params.size()),
                                nullptr, params.data(), nullptr, nullptr, 0),
             &PQclear);
    auto status = PQresultStatus(r.get());
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
      ADD_FAILURE() << PQresultErrorMessage(r.get()) << "in: " << statements.substr(0, 200);
    return r;
  }
  static std::string value(const Result& r, int row = 0, int column = 0) {
    if (PQntuples(r.get()) <= row) return "(no row)";
    return PQgetisnull(r.get(), row, column) ? "(null)" : PQgetvalue(r.get(), row, column);
  }

  void install() { exec(sql::postgres_casefold_install(schema_)); }
  std::string fold_in_database(const std::string& text) {
    return value(exec("SELECT " + schema_ + ".velmor_casefold($1)", {text.c_str()}));
  }

  // Every text whose fold in the database differs from the library's.
  void expect_library_folds(const std::vector<std::string>& texts) {
    std::vector<std::string> folded;
    for (const auto& t : texts) folded.push_back(casefold(t));
    std::string in = array_literal(texts), out = array_literal(folded);
    auto r = exec("SELECT i, f FROM (SELECT i, o, " + schema_ +
                      ".velmor_casefold(i) AS f FROM unnest($1::text[], $2::text[]) AS x(i, o)) "
                      "y WHERE f IS DISTINCT FROM o LIMIT 10",
                  {in.c_str(), out.c_str()});
    for (int row = 0; row < PQntuples(r.get()); ++row)
      ADD_FAILURE() << "velmor_casefold(x'" << hex(value(r, row, 0)) << "') gave x'"
                    << hex(value(r, row, 1)) << "', the library x'"
                    << hex(casefold(value(r, row, 0))) << "'";
  }

  std::unique_ptr<PGconn, decltype(&PQfinish)> conn_{nullptr, &PQfinish};
  std::string schema_;
};

TEST_F(PostgresCasefold, EveryCodePointFoldsAsInTheLibraryAloneAndAmongNeighbours) {
  install();
  // Four batches: each code point as a text of its own, and runs of 61 consecutive ones
  // (multi-character folds next to simple ones, ASCII next to the rest).
  constexpr char32_t batch = 0x44000, run = 61;
  for (char32_t first = 1; first <= 0x10FFFF; first += batch) {
    std::vector<std::string> texts;
    std::string neighbours;
    std::size_t in_run = 0;
    for (char32_t cp = first; cp < first + batch && cp <= 0x10FFFF; ++cp) {
      if (cp >= 0xD800 && cp <= 0xDFFF) continue;
      texts.push_back(utf8(cp));
      neighbours += texts.back();
      if (++in_run == run) {
        texts.push_back(std::move(neighbours));
        neighbours.clear();
        in_run = 0;
      }
    }
    if (!neighbours.empty()) texts.push_back(std::move(neighbours));
    expect_library_folds(texts);
  }
}

TEST_F(PostgresCasefold, MixedTextsEmptyTextAndNull) {
  install();
  std::string many;  // long enough that the folding characters are first made unique
  for (int i = 0; i < 500; ++i) many += "\xE1\xBA\x9E\xCE\xA3\xC3\x9F AbC\xC3\x87 \xD0\x96 ";
  std::string alphabet;  // many distinct folding characters: Greek and Cyrillic capitals
  for (char32_t cp = 0x391; cp <= 0x42F; ++cp) alphabet += utf8(cp);
  expect_library_folds({
      "",
      "Hello, World! 50% _x_ \\ 'q' \"d\"",
      "Stra\xC3\x9F"
      "e STRASSE \xE1\xBA\x9E",                                             // ß, capital ẞ
      "\xCE\xA3\xCE\x8A\xCE\xA3\xCE\xA5\xCE\xA6\xCE\x9F\xCE\xA3 \xCF\x82",  // ΣΊΣΥΦΟΣ ς
      "\xC4\xB0stanbul ISTANBUL \xC4\xB1",                                  // İ, dotless ı
      "\xEF\xAC\x81\xEF\xAC\x82 \xC7\x84\xC7\x85 \xCE\x90\xE1\xBE\xBC \xC5\x89",  // ﬁﬂ Ǆǅ ΐᾼ ŉ
      "\xE2\x84\xAA \xE2\x84\xAB \xC5\xBF \xE1\xBA\x9B",        // Kelvin, Ångström signs, ſ, ẛ
      "\xE1\x8F\xA3\xEA\xAE\xB3 \xE6\x97\xA5\xE6\x9C\xAC ABC",  // Cherokee, CJK
      "\xF0\x90\x90\x80\xF0\x90\x90\xA8 \xF0\x9F\x98\x80 \xF0\x9E\xA4\x80",  // astral planes
      "e\xCC\x81 \xC3\x89",                                                  // combining accent
      many,
      alphabet,
  });
  EXPECT_EQ(value(exec("SELECT " + schema_ + ".velmor_casefold(NULL)")), "(null)");
}

TEST_F(PostgresCasefold, InstallsTwiceLabelledAndServesAnExpressionIndex) {
  const std::string version_query(sql::postgres_casefold_version_query());
  EXPECT_EQ(PQntuples(exec(version_query, {schema_.c_str()}).get()), 0);
  install();
  install();
  EXPECT_EQ(value(exec(version_query, {schema_.c_str()})), sql::postgres_casefold_version());
  EXPECT_EQ(fold_in_database("Stra\xC3\x9F"
                             "E"),
            "strasse");
  // Parallel scans may call it; an index may hold it.
  EXPECT_EQ(value(exec("SELECT bool_and(provolatile = 'i' AND proparallel = 's') FROM pg_proc "
                       "WHERE pronamespace = '" +
                       schema_ + "'::regnamespace")),
            "t");
  exec("CREATE TABLE " + schema_ + ".words (w text); INSERT INTO " + schema_ +
       ".words SELECT 'Word ' || g || ' Stra\xC3\x9F"
       "e' FROM generate_series(1, 2000) g; "
       "CREATE INDEX words_folded ON " +
       schema_ + ".words (" + schema_ +
       ".velmor_casefold(w)); "
       // as autovacuum runs ANALYZE: the function must find its helper by schema
       "SET search_path = ''; ANALYZE " +
       schema_ + ".words; SET enable_seqscan = off");
  const std::string lookup = "SELECT w FROM " + schema_ + ".words WHERE " + schema_ +
                             ".velmor_casefold(w) = 'word 7 strasse'";
  auto plan = exec("EXPLAIN " + lookup);
  std::string lines;
  for (int row = 0; row < PQntuples(plan.get()); ++row) lines += value(plan, row) + "\n";
  EXPECT_NE(lines.find("words_folded"), std::string::npos) << lines;
  EXPECT_EQ(value(exec(lookup)),
            "Word 7 Stra\xC3\x9F"
            "e");
}

}  // namespace
