// The query semantics of every store, held to one case table: the in-memory store (the
// reference), SQLite in memory and on a file, each through the default executors.

#include <gtest/gtest.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>

#include "backends/conformance_cases.hpp"
#include "backends/stores.hpp"
#include "velmor_models/backends/query_check.hpp"
#include "velmor_models/backends/registry.hpp"
#include "velmor_models/backends/tables.hpp"
#include "velmor_models/querysets/async_executor.hpp"
#include "velmor_models/querysets/executor.hpp"

namespace {

using namespace velmor_test::conformance;
namespace backends = velmor_models::backends;
using velmor_models::querysets::executor::AsyncExecutor;
using velmor_models::querysets::executor::Executor;

constexpr std::string_view kAlias = "conformance";

class Conformance : public testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    backends::reset();
    velmor_models::querysets::executor::MemoryStore::instance().clear();
    const std::string url = velmor_test::store_url(GetParam(), folder, "conformance.db");
    backends::configure(kAlias, url);
    backends::create_table(kAlias, *sample_class(), {"age"});
    std::vector<json::object> rows = sample_rows();
    for (auto& row : rows) row["_metadata"] = "{}";
    backends::insert_records(kAlias, *sample_class(), rows);
  }
  void TearDown() override {
    backends::reset();
    velmor_models::querysets::executor::MemoryStore::instance().clear();
  }
  static Query base() { return Query(sample_class()).using_(kAlias); }
  velmor_test::TempFolder folder;
};

TEST_P(Conformance, EveryCaseReturnsItsRowsAndCountsThem) {
  for (const Case& c : cases()) {
    SCOPED_TRACE(c.name);
    Query q = c.build(base());
    expect_rows(c, *Executor(q).query());
    EXPECT_EQ(Executor(q).count(), static_cast<std::int64_t>(c.ids.size()));
  }
}

TEST_P(Conformance, EveryRefusedQueryIsRefusedAndChangesNothing) {
  for (const ErrorCase& c : error_cases()) {
    SCOPED_TRACE(c.name);
    Query q = c.build(base());
    expect_refusal(c, [&] { velmor_models::backends::check_query(q); });
    expect_refusal(c, [&] { (void)Executor(q).query(); });
    expect_refusal(c, [&] { (void)Executor(q).count(); });
    if (GetParam() != "memory:") expect_refusal(c, [&] { (void)q.to_sql(); });
  }
  EXPECT_EQ(ids_of(*Executor(base().order_by("id")).query()),
            (std::vector<std::int64_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));
}

// Every case at once, as coroutines on one event loop.
TEST_P(Conformance, ConcurrentCoroutinesGetTheirOwnRows) {
  boost::asio::io_context loop;
  std::vector<std::vector<velmor_glue::Data>> results(cases().size());
  std::vector<std::int64_t> counts(cases().size(), -1);
  for (std::size_t i = 0; i < cases().size(); ++i)
    boost::asio::co_spawn(
        loop,
        [&, i]() -> boost::asio::awaitable<void> {
          Query q = cases()[i].build(base());
          results[i] = *co_await AsyncExecutor(q).query();
          counts[i] = co_await AsyncExecutor(q).count();
        },
        boost::asio::detached);
  loop.run();
  for (std::size_t i = 0; i < cases().size(); ++i) {
    SCOPED_TRACE(cases()[i].name);
    expect_rows(cases()[i], results[i]);
    EXPECT_EQ(counts[i], static_cast<std::int64_t>(cases()[i].ids.size()));
  }
}

// `only` returns those fields and `_metadata`, in their core types.
TEST_P(Conformance, OnlySelectsTheNamedFields) {
  auto rows = *Executor(base().only({"id", "name"}).filter({{"id", 3}})).query();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(*rows[0].data, (json::object{{"id", 3}, {"name", "ANNA"}, {"_metadata", "{}"}}));
}

INSTANTIATE_TEST_SUITE_P(Stores, Conformance, velmor_test::every_store(),
                         velmor_test::store_name);

}  // namespace
