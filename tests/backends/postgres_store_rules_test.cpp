// What the PostgreSQL store keeps beyond the shared cases: names of up to 63 bytes and no
// longer, the velmor_casefold it installs (and refuses to install), and answers that the
// reference store decides where PostgreSQL's own types would differ (text holding NUL in
// a lookup, integers past 2^53 beside reals, JSON arrays and objects as text). Skipped
// without VELMOR_PG_URL.

#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <unistd.h>

#include <boost/json/serialize.hpp>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "backends/sql/postgres_casefold.hpp"
#include "backends/stores.hpp"
#include "velmor_models/backends/registry.hpp"
#include "velmor_models/backends/tables.hpp"
#include "velmor_models/querysets/errors.hpp"
#include "velmor_models/querysets/executor.hpp"
#include "velmor_models/querysets/qsetkit.hpp"

namespace {

namespace json = boost::json;
namespace backends = velmor_models::backends;
using namespace velmor_models::querysets::qsetkit;
using velmor_models::classes::model::CoreTypes;
using velmor_models::classes::model::ModelClass;
using velmor_models::classes::model::ModelClassPtr;
using velmor_models::querysets::errors::DatabaseError;
using velmor_models::querysets::executor::Executor;
using velmor_models::querysets::executor::MemoryStore;
using Query = QuerySet<Model>;

using Connection = std::unique_ptr<PGconn, decltype(&PQfinish)>;

class PostgresStoreRules : public testing::Test {
 protected:
  void SetUp() override {
    if (!velmor_test::pg_url()) GTEST_SKIP() << "VELMOR_PG_URL is not set";
    backends::reset();
    MemoryStore::instance().clear();
  }
  void TearDown() override {
    backends::reset();
    MemoryStore::instance().clear();
  }

  // A connection of the test's own, beside the store's (libpq directly).
  static Connection connect(const std::string& conninfo) {
    Connection c(PQconnectdb(conninfo.c_str()), &PQfinish);
    EXPECT_EQ(PQstatus(c.get()), CONNECTION_OK) << PQerrorMessage(c.get());
    PQclear(PQexec(c.get(), "SET client_min_messages TO warning"));
    return c;
  }
  // The first value of the statement's result; "<null>" for NULL, "<none>" for no row.
  static std::string value(PGconn* c, const std::string& sql) {
    std::unique_ptr<PGresult, decltype(&PQclear)> r(PQexec(c, sql.c_str()), &PQclear);
    const ExecStatusType status = PQresultStatus(r.get());
    EXPECT_TRUE(status == PGRES_TUPLES_OK || status == PGRES_COMMAND_OK)
        << sql << ": " << PQresultErrorMessage(r.get());
    if (status != PGRES_TUPLES_OK || PQntuples(r.get()) == 0) return "<none>";
    return PQgetisnull(r.get(), 0, 0) ? "<null>" : PQgetvalue(r.get(), 0, 0);
  }
  // The libpq string of a store URL from fresh_pg_url.
  static std::string conninfo(const std::string& url) {
    return url.substr(std::string_view("postgresql:").size());
  }
  static std::vector<std::int64_t> ids(const Query& q) {
    std::vector<std::int64_t> out;
    const std::vector<velmor_glue::Data> records = *Executor(q).query();
    for (const auto& r : records) out.push_back(r.data->at("id").as_int64());
    return out;
  }
};

// 63 bytes is the most PostgreSQL keeps (it cuts longer names silently): such names work
// from the table's creation to a query, index names made from them included; 64 bytes is
// refused before any statement runs.
TEST_F(PostgresStoreRules, NamesOf63BytesWorkAndLongerOnesAreRefusedBeforeAnythingIsMade) {
  const std::string url = velmor_test::fresh_pg_url();
  backends::configure("pg_names", url);
  const std::string t63(63, 't'), f63 = std::string(61, 'f') + "\xc3\xa9";  // é: 2 bytes
  const ModelClassPtr fits = ModelClass::create(
      "Fits", json::value(t63),
      {{"id", CoreTypes::INTEGER, true, {}}, {f63, CoreTypes::STRING, false, {}}});
  backends::create_table("pg_names", *fits, {f63});
  const std::vector<json::object> rows{{{"id", 1}, {f63, "a"}}, {{"id", 2}, {f63, "b"}}};
  backends::insert_records("pg_names", *fits, rows);
  EXPECT_EQ(ids(Query(fits).using_("pg_names").filter({{f63 + "__gte", "a"}}).order_by("-" + f63)),
            (std::vector<std::int64_t>{2, 1}));

  const ModelClassPtr long_table = ModelClass::create(
      "LongTable", json::value(std::string(64, 't')), {{"id", CoreTypes::INTEGER, true, {}}});
  const ModelClassPtr long_field =
      ModelClass::create("LongField", "long_field",
                         {{"id", CoreTypes::INTEGER, true, {}},
                          {std::string(62, 'f') + "\xc3\xa9", CoreTypes::STRING, false, {}}});
  EXPECT_THROW(backends::create_table("pg_names", *long_table), velmor_utils::errors::ValueError);
  EXPECT_THROW(backends::create_table("pg_names", *long_field), velmor_utils::errors::ValueError);
  const Connection c = connect(conninfo(url));
  EXPECT_EQ(value(c.get(),
                  "SELECT string_agg(table_name, ',') FROM information_schema.tables WHERE "
                  "table_schema = current_schema()"),
            t63);
  EXPECT_EQ(value(c.get(),
                  "SELECT count(*) FROM pg_indexes WHERE schemaname = current_schema() AND "
                  "length(indexname) <= 63"),
            "3");
}

// The store installs velmor_casefold where it works, replaces a copy of another version,
// leaves it to the primary in a read-only session and refuses a database that is not UTF8.
TEST_F(PostgresStoreRules, CasefoldIsInstalledAtItsVersionAndADatabaseNotUtf8IsRefused) {
  const std::string url = velmor_test::fresh_pg_url();
  const Connection c = connect(conninfo(url));
  const std::string installed =
      "SELECT obj_description('velmor_casefold(text)'::regprocedure, 'pg_proc')";
  // Read-only: nothing is installed (a standby relies on its primary).
  const std::string read_only =
      url.substr(0, url.size() - 1) + " -cdefault_transaction_read_only=on'";
  backends::configure("pg_fold", read_only);
  EXPECT_EQ(value(c.get(), "SELECT to_regprocedure('velmor_casefold(text)') IS NULL"), "t");
  backends::configure("pg_fold", url);
  EXPECT_EQ(value(c.get(), installed), velmor_models::backends::sql::postgres_casefold_version());
  value(c.get(), "COMMENT ON FUNCTION velmor_casefold(text) IS 'an older folding'");
  backends::configure("pg_fold", url);
  EXPECT_EQ(value(c.get(), installed), velmor_models::backends::sql::postgres_casefold_version());
  const ModelClassPtr cls = ModelClass::create(
      "Folded", "folded",
      {{"id", CoreTypes::INTEGER, true, {}}, {"name", CoreTypes::STRING, false, {}}});
  backends::create_table("pg_fold", *cls);
  const std::vector<json::object> rows{{{"id", 1},
                                        {"name",
                                         "Stra\xc3\x9f"
                                         "e"}}};
  backends::insert_records("pg_fold", *cls, rows);
  EXPECT_EQ(ids(Query(cls).using_("pg_fold").filter({{"name__iexact", "STRASSE"}})),
            (std::vector<std::int64_t>{1}));

  const std::string db = "velmor_latin1_" + std::to_string(::getpid());
  value(c.get(), "DROP DATABASE IF EXISTS " + db);
  value(c.get(), "CREATE DATABASE " + db +
                     " ENCODING 'LATIN1' LC_COLLATE 'C' LC_CTYPE 'C' TEMPLATE template0");
  try {
    backends::configure("pg_latin1",
                        "postgresql:" + *velmor_test::pg_url() + " dbname=" + db);
    ADD_FAILURE() << "a LATIN1 database was taken";
  } catch (const DatabaseError& e) {
    EXPECT_NE(std::string(e.what()).find("LATIN1, and the store needs UTF8"), std::string::npos)
        << e.what();
  }
  EXPECT_THROW(backends::backend_for("pg_latin1"), velmor_utils::errors::ValueError);
  value(c.get(), "DROP DATABASE " + db + " WITH (FORCE)");
}

// The reference store decides: the same rows and queries give the same rows on both.
TEST_F(PostgresStoreRules, AnswersAsTheReferenceWhereItsOwnTypesWouldNot) {
  constexpr std::int64_t k2p53 = std::int64_t(1) << 53;
  constexpr double d2p60 = 1152921504606846976.0;
  constexpr double kMin = static_cast<double>(std::numeric_limits<std::int64_t>::min());
  const ModelClassPtr cls = ModelClass::create("Mixed", "mixed_values",
                                               {{"id", CoreTypes::INTEGER, true, {}},
                                                {"s", CoreTypes::STRING, false, {}},
                                                {"age", CoreTypes::INTEGER, false, {}},
                                                {"n", CoreTypes::NUMBER, false, {}},
                                                {"on", CoreTypes::BOOLEAN, false, {}},
                                                {"data", CoreTypes::DICTIONARY, false, {}}});
  // Objects with keys in the order jsonb keeps them (shorter first, then by bytes).
  const json::object object{{"a", json::array{1, "x, y"}}, {"bb", 1}};
  const std::vector<json::object> rows{
      {{"id", 1},
       {"s", "ab"},
       {"age", k2p53 + 1},
       {"n", k2p53 + 1},
       {"on", true},
       {"data", {{"x", d2p60}, {"o", object}}}},
      {{"id", 2},
       {"s", "abc"},
       {"age", k2p53},
       {"n", 9007199254740992.0},
       {"on", false},
       {"data", {{"x", 1152921504606846977}, {"o", json::serialize(object)}}}},
      {{"id", 3},
       {"s", "b"},
       {"age", std::numeric_limits<std::int64_t>::min()},
       {"n", 0.1 + 0.2},
       {"data", {{"x", 0.1 + 0.2}, {"o", json::array{object, 2}}}}},
      {{"id", 4}, {"n", 1e300}, {"on", 1}, {"data", {{"x", true}, {"o", "{"}}}},
  };
  for (const char* alias : {"pg_reference", "pg_store"}) {
    backends::configure(alias, alias == std::string_view("pg_store")
                                   ? velmor_test::fresh_pg_url()
                                   : std::string("memory:"));
    backends::create_table(alias, *cls);
    backends::insert_records(alias, *cls, rows);
  }
  const std::string nul("ab\0z", 4);
  const std::vector<std::function<Query(Query)>> queries = {
      [&](Query q) {
        return q.filter({{"s__gt", nul}});
      },
      [&](Query q) {
        return q.filter({{"s__gte", nul}});
      },
      [&](Query q) {
        return q.filter({{"s__lt", nul}});
      },
      [&](Query q) {
        return q.exclude({{"s__lte", nul}});
      },
      [&](Query q) {
        return q.filter({{"s", nul}});
      },
      [&](Query q) {
        return q.exclude({{"s__iexact", nul}});
      },
      [&](Query q) {
        return q.filter({{"s__in", json::array{json::string(nul), "b"}}});
      },
      [&](Query q) {
        return q.exclude({{"s__contains", std::string("b\0", 2)}});
      },
      [&](Query q) {
        return q.filter({{"data__o__lt", nul}});
      },
      [](Query q) {
        return q.filter({{"age__gt", 9007199254740992.0}});
      },
      [](Query q) {
        return q.filter({{"age", 9007199254740992.0}});
      },
      [&](Query q) {
        return q.filter({{"age", kMin}});
      },
      [](Query q) {
        return q.filter({{"n", 0.1 + 0.2}});
      },
      [](Query q) {
        return q.filter({{"n__gt", 0.3}});
      },
      [](Query q) {
        return q.filter({{"n", k2p53 + 1}});
      },
      [](Query q) {
        return q.filter({{"n__gte", 1e300}});
      },
      [](Query q) {
        return q.filter({{"on__lt", 0.5}});
      },
      [](Query q) {
        return q.filter({{"data__x", 1152921504606846976}});
      },
      [&](Query q) {
        return q.filter({{"data__x__gt", d2p60}});
      },
      [](Query q) {
        return q.filter({{"data__x__in", json::array{0.1 + 0.2, 1}}});
      },
      [&](Query q) {
        return q.filter({{"data__o", json::serialize(object)}});
      },
      [](Query q) { return q.order_by("data__o", "-id"); },
      [](Query q) { return q.order_by("-n"); },
      [](Query q) { return q.order_by("data__x").distinct({"on"}); },
  };
  for (std::size_t i = 0; i < queries.size(); ++i) {
    SCOPED_TRACE(i);
    const Query base = Query(cls).order_by("id");
    const auto want = ids(queries[i](base.using_("pg_reference")));
    EXPECT_EQ(ids(queries[i](base.using_("pg_store"))), want);
  }
  // Every value comes back as the reference hands it over, but for an integral real inside
  // JSON, which jsonb keeps as a number without a kind (README).
  const auto reference = *Executor(Query(cls).using_("pg_reference").order_by("id")).query();
  const auto stored = *Executor(Query(cls).using_("pg_store").order_by("id")).query();
  ASSERT_EQ(stored.size(), reference.size());
  for (std::size_t i = 0; i < stored.size(); ++i) {
    json::object want = *reference[i].data, got = *stored[i].data;
    want.erase("data");
    got.erase("data");
    EXPECT_EQ(got, want);
  }
  EXPECT_EQ(stored[2].data->at("data").at("x"), json::value(0.1 + 0.2));
}

}  // namespace
