// The address filters on every store: the in-memory store, SQLite in memory and on a file,
// PostgreSQL, held to one case table, synchronously and as coroutines.

#include <gtest/gtest.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>

#include "backends/address_cases.hpp"
#include "backends/stores.hpp"
#include "velmor_models/backends/registry.hpp"
#include "velmor_models/backends/tables.hpp"
#include "velmor_models/querysets/async_executor.hpp"
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

INSTANTIATE_TEST_SUITE_P(Stores, AddressConformance, velmor_test::every_store(),
                         velmor_test::store_name);

}  // namespace
