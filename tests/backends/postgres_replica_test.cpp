// Aliases of read-only PostgreSQL servers: a streaming standby of the test cluster, and
// connection strings that ask libpq for one. Reads see what was replicated; every write is
// refused with a clear read_only error, never sent to the primary instead. Skipped without
// VELMOR_PG_URL and VELMOR_PG_STANDBY_URL (scripts/pg_cluster.sh sets them).

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "backends/awaited.hpp"
#include "support/pg_env.hpp"
#include "velmor_models/backends/object_store.hpp"
#include "velmor_models/backends/registry.hpp"
#include "velmor_models/backends/tables.hpp"
#include "velmor_models/querysets/async_executor.hpp"
#include "velmor_models/querysets/errors.hpp"
#include "velmor_models/querysets/qsetkit.hpp"

namespace {

namespace backends = velmor_models::backends;
namespace driver = backends::driver;
namespace json = boost::json;
using velmor_models::classes::model::CoreTypes;
using velmor_models::classes::model::Model;
using velmor_models::classes::model::ModelClass;
using velmor_models::classes::model::ModelClassPtr;
using velmor_models::querysets::errors::DatabaseError;
using velmor_models::querysets::errors::DatabaseErrorCategory;
using velmor_models::querysets::executor::AsyncExecutor;
using velmor_models::querysets::qsetkit::QuerySet;
using velmor_models::querysets::qsetkit::Slice;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

const ModelClassPtr& replica_rows() {
  static const ModelClassPtr cls = ModelClass::create(
      "PgReplicaRow", "replica_rows",
      {{"id", CoreTypes::INTEGER, true, {}}, {"name", CoreTypes::STRING, false, {}}});
  return cls;
}

class PostgresReplica : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!velmor_test::pg_url() || !velmor_test::pg_standby_url() || !velmor_test::pg_host())
      GTEST_SKIP() << velmor_test::pg_skip_reason << " (or VELMOR_PG_STANDBY_URL is not)";
    backends::reset();
  }
  void TearDown() override { backends::reset(); }

  // A write that must be refused as one through an alias of a read-only server, at once.
  template <class F>
  void expect_refused(const char* what, F&& write) {
    SCOPED_TRACE(what);
    const auto start = Clock::now();
    try {
      write();
      ADD_FAILURE() << "the write went through";
    } catch (const DatabaseError& e) {
      EXPECT_EQ(e.category(), DatabaseErrorCategory::read_only) << e.what();
      EXPECT_EQ(e.sqlstate(), "25006") << e.what();
      EXPECT_NE(std::string(e.what()).find("names a read-only server"), std::string::npos)
          << e.what();
      EXPECT_TRUE(e.connection_usable());
    }
    EXPECT_LT(Clock::now() - start, 5s);
  }
};

TEST_F(PostgresReplica, ReadsOfAStandbySeeWhatWasReplicatedAndWritesAreRefused) {
  const ModelClass& cls = *replica_rows();
  backends::configure("primary", "postgresql:" + *velmor_test::pg_url());
  backends::configure("reporting", "postgresql:" + *velmor_test::pg_standby_url());
  backends::backend_for("primary")->lease()->execute("DROP TABLE IF EXISTS replica_rows");
  backends::create_table("primary", cls, {});
  std::vector<json::object> rows;
  for (int i = 0; i < 100; ++i) {
    std::string name = std::to_string(i);
    name.insert(name.begin(), 'r');  // (g++ 12 warns wrongly about "r" + a string)
    rows.push_back({{"id", i}, {"name", name}});
  }
  backends::insert_records("primary", cls, rows);

  // Replication takes a moment: polled, within a bound (the table itself may not be there
  // yet).
  const auto on_replica = QuerySet<Model>(replica_rows()).using_("reporting");
  std::int64_t seen = -1;
  for (const auto deadline = Clock::now() + 30s; seen != 100 && Clock::now() < deadline;) {
    try {
      seen = on_replica.count().execute();
    } catch (const DatabaseError&) {
    }
    if (seen != 100) std::this_thread::sleep_for(20ms);
  }
  ASSERT_EQ(seen, 100) << "not replicated within 30 s";
  const auto first = on_replica.order_by("-id")[Slice(0, 2)].execute();
  ASSERT_EQ(first.size(), 2u);
  EXPECT_EQ(first[1].model().get("name"), "r98");
  EXPECT_EQ(velmor_test::awaited(AsyncExecutor(on_replica.filter({{"id__lt", 10}})).count()), 10);

  // Each write path refuses before anything is sent; a statement sent directly is refused
  // by the standby, and said the same way.
  const json::object row{{"id", 1000}};
  expect_refused("create_table", [&] { backends::create_table("reporting", cls, {}); });
  expect_refused("insert_records",
                 [&] { backends::insert_records("reporting", cls, std::span(&row, 1)); });
  expect_refused("a direct statement", [&] {
    backends::backend_for("reporting")->lease()->execute("DELETE FROM replica_rows");
  });
  backends::configure("default", "postgresql:" + *velmor_test::pg_standby_url());
  backends::configure("lakehouse", "postgresql:" + *velmor_test::pg_standby_url());
  expect_refused("save_new", [&] { backends::save_new(replica_rows(), {{"id", 1}}); });
  EXPECT_EQ(on_replica.count().execute(), 100);
}

TEST_F(PostgresReplica, AReadOnlyTargetLandsOnTheStandbyAndAPreferredStandbyNeverWrites) {
  const std::string both = "postgresql:host=" + *velmor_test::pg_host() + "," +
                           *velmor_test::pg_host() + " port=" + *velmor_test::pg_port() + "," +
                           *velmor_test::pg_standby_port() +
                           " user=velmor dbname=velmor_test target_session_attrs=read-only";
  backends::configure("replicas", both);
  EXPECT_EQ(backends::backend_for("replicas")->lease()->scalar("SELECT pg_is_in_recovery()"),
            driver::Value(std::int64_t{1}));

  // prefer-standby falls back to the primary when no standby answers (here: none is
  // listed); the alias still takes no writes there.
  backends::configure(
      "fallback", "postgresql:" + *velmor_test::pg_url() + " target_session_attrs=prefer-standby");
  driver::Lease lease = backends::backend_for("fallback")->lease();
  EXPECT_EQ(lease->scalar("SELECT pg_is_in_recovery()"), driver::Value(std::int64_t{0}));
  expect_refused("begin", [&] { lease->begin(); });
  expect_refused("a direct statement",
                 [&] { lease->execute("CREATE TEMPORARY TABLE replica_never (v int)"); });
  EXPECT_EQ(lease->scalar("SELECT 2"), driver::Value(std::int64_t{2}));
}

}  // namespace
