// The address filters and queries as of a time on every store: the in-memory store, SQLite
// in memory and on a file, PostgreSQL, held to one case table each, synchronously and as
// coroutines.

#include <gtest/gtest.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <functional>

#include "backends/address_cases.hpp"
#include "backends/stores.hpp"
#include "velmor_models/backends/registry.hpp"
#include "velmor_models/backends/tables.hpp"
#include "velmor_models/querysets/async_executor.hpp"
#include "velmor_models/querysets/errors.hpp"
#include "velmor_models/querysets/executor.hpp"

namespace {

using namespace velmor_test::conformance;
namespace backends = velmor_models::backends;
using velmor_models::querysets::executor::AsyncExecutor;
using velmor_models::querysets::executor::Executor;
using velmor_models::querysets::executor::MemoryStore;

constexpr std::string_view kAlias = "addresses";

class AddressConformance : public testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    backends::reset();
    MemoryStore::instance().clear();
    const std::string url = velmor_test::store_url(GetParam(), folder, "addresses.db");
    backends::configure(kAlias, url);
    backends::create_table(kAlias, *versioned_class());
    std::vector<json::object> rows = versioned_rows();
    for (auto& row : rows) row["_metadata"] = "{}";
    backends::insert_records(kAlias, *versioned_class(), rows);
    velmor_test::record_deletions(kAlias, versioned_deletions());
  }
  void TearDown() override {
    backends::reset();
    MemoryStore::instance().clear();
  }
  static Query base() { return Query(versioned_class()).using_(kAlias); }
  velmor_test::TempFolder folder;
};

TEST_P(AddressConformance, EveryCaseReturnsItsRowsAndCountsThem) {
  for (const Case& c : address_cases()) {
    SCOPED_TRACE(c.name);
    Query q = c.build(base());
    expect_rows(c, *Executor(q).query());
    EXPECT_EQ(Executor(q).count(), static_cast<std::int64_t>(c.ids.size()));
  }
}

TEST_P(AddressConformance, CoroutinesAnswerAlike) {
  boost::asio::io_context loop;
  std::vector<std::vector<velmor_glue::Data>> results(address_cases().size());
  for (std::size_t i = 0; i < address_cases().size(); ++i)
    boost::asio::co_spawn(
        loop,
        [&, i]() -> boost::asio::awaitable<void> {
          results[i] = *co_await AsyncExecutor(address_cases()[i].build(base())).query();
        },
        boost::asio::detached);
  loop.run();
  for (std::size_t i = 0; i < address_cases().size(); ++i)
    expect_rows(address_cases()[i], results[i]);
}

TEST_P(AddressConformance, TimesThatAreNoTimesAreRefused) {
  for (const ErrorCase& c : address_error_cases()) {
    SCOPED_TRACE(c.name);
    Query q = c.build(base());
    expect_refusal(c, [&] { (void)Executor(q).query(); });
    expect_refusal(c, [&] { (void)Executor(q).count(); });
    if (GetParam() != "memory:") expect_refusal(c, [&] { (void)q.to_sql(); });
  }
}

// The memory store keeps no deletions: it answers from the save times alone.
TEST_P(AddressConformance, AsOfATimeEachCaseReturnsItsRows) {
  const bool memory = GetParam() == "memory:";
  boost::asio::io_context loop;
  for (const AsOfCase& c : as_of_cases()) {
    SCOPED_TRACE(c.query.name);
    Case expected = c.query;
    if (memory && c.without_deletions) expected.ids = *c.without_deletions;
    const Query q = expected.build(base());
    expect_rows(expected, *Executor(q).query());
    EXPECT_EQ(Executor(q).count(), static_cast<std::int64_t>(expected.ids.size()));
    boost::asio::co_spawn(
        loop,
        [q, expected]() -> boost::asio::awaitable<void> {
          AsyncExecutor rows_of(q), count_of(q);
          const std::optional<std::vector<velmor_glue::Data>> rows = co_await rows_of.query();
          const std::int64_t n = co_await count_of.count();
          expect_rows(expected, *rows);
          EXPECT_EQ(n, static_cast<std::int64_t>(expected.ids.size()));
        },
        boost::asio::detached);
  }
  loop.run();
}

// A database the object store never wrote keeps no deletions: reading it as of a time is
// an error that says so, never an answer that ignores them.
TEST_P(AddressConformance, AsOfOnADatabaseWithoutDeletionsIsAClearError) {
  if (GetParam() == "memory:") GTEST_SKIP() << "the memory store keeps no deletions";
  backends::backend_for(kAlias)->lease()->execute("DROP TABLE \"_velmor_deletions\"");
  const Query q = as_of(base(), kSecond);
  for (const auto& run : std::vector<std::function<void()>>{[&] { (void)Executor(q).query(); },
                                                            [&] { (void)Executor(q).count(); },
                                                            [&] { (void)q.iterate(2).begin(); }}) {
    try {
      run();
      ADD_FAILURE() << "an as_of query ran without deletions";
    } catch (const velmor_models::querysets::errors::DatabaseError& e) {
      EXPECT_NE(std::string(e.what()).find("keeps none (it has no table _velmor_deletions)"),
                std::string::npos)
          << e.what();
    }
  }
  EXPECT_EQ(ids_of(*Executor(base().filter({{"id", 2}})).query()), std::vector<std::int64_t>{2});
}

INSTANTIATE_TEST_SUITE_P(Stores, AddressConformance, velmor_test::every_store(),
                         velmor_test::store_name);

}  // namespace
