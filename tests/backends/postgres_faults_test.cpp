// The PostgreSQL store when its server fails under it: a backend killed mid-statement, the
// server shut down while threads query, its connection slots used up, and a reply that
// never arrives. PostgresFaults.* stop, kill or exhaust the server of scripts/pg_cluster.sh,
// so CTest runs them alone (tests/backends/CMakeLists.txt), and each leaves the server
// accepting connections again, whatever happened. Skipped without VELMOR_PG_URL.

#include <gtest/gtest.h>

#include <atomic>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <chrono>
#include <exception>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "backends/awaited.hpp"
#include "backends/database_error_of.hpp"
#include "support/pg_admin.hpp"
#include "support/pg_env.hpp"
#include "support/tcp_proxy.hpp"
#include "velmor_models/backends/postgres/postgres_backend.hpp"
#include "velmor_models/backends/registry.hpp"
#include "velmor_models/backends/tables.hpp"
#include "velmor_models/querysets/async_executor.hpp"
#include "velmor_models/querysets/errors.hpp"
#include "velmor_models/querysets/qsetkit.hpp"

namespace {

namespace asio = boost::asio;
namespace backends = velmor_models::backends;
namespace driver = backends::driver;
using backends::PostgresBackend;
using velmor_models::classes::model::CoreTypes;
using velmor_models::classes::model::Model;
using velmor_models::classes::model::ModelClass;
using velmor_models::classes::model::ModelClassPtr;
using velmor_models::querysets::errors::DatabaseError;
using velmor_models::querysets::errors::DatabaseErrorCategory;
using velmor_models::querysets::executor::AsyncExecutor;
using velmor_models::querysets::executor::Executor;
using velmor_models::querysets::qsetkit::QuerySet;
using velmor_test::database_error_of;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

std::int64_t integer(const std::optional<driver::Value>& v) {
  return driver::integer_of(v.value(), "value");
}

class PostgresFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!velmor_test::pg_url() || !velmor_test::pg_data() || !velmor_test::pg_bin())
      GTEST_SKIP() << velmor_test::pg_skip_reason;
    backends::reset();
  }
  // The server accepts connections again, whatever the test did to it.
  void TearDown() override {
    backends::reset();
    if (!velmor_test::pg_data()) return;
    const std::string data = *velmor_test::pg_data();
    try {
      if (!std::filesystem::exists(data + "/postmaster.pid")) velmor_test::pg_start(data);
      velmor_test::pg_wait_until_accepting(data);
    } catch (const std::exception& e) {
      ADD_FAILURE() << "the server is not up again: " << e.what();
    }
  }

  // The store of `alias` on the test server, with the store's parameters `params` ("k=v").
  std::shared_ptr<PostgresBackend> open(const std::string& alias,
                                        const std::vector<std::string>& params = {},
                                        const std::string& address = {}) {
    std::string url = "postgresql:" + *velmor_test::pg_url();
    if (!address.empty()) url += " " + address;
    for (const std::string& p : params) url += " " + p;
    backends::configure(alias, url);
    return std::dynamic_pointer_cast<PostgresBackend>(backends::backend_for(alias));
  }
};

// Breaks only connections made through a proxy of its own: runs beside the other tests.
class PostgresNetwork : public PostgresFaults {};

TEST_F(PostgresFaults, ABackendKilledMidStatementFailsItsCallerAndThePoolRecovers) {
  auto store = open("pg_faults", {"pool_min=3"});
  std::exception_ptr kill_failed;
  std::optional<driver::Lease> lease = store->lease();
  const auto pid = integer((*lease)->scalar("SELECT pg_backend_pid()"));
  std::thread killer([&] {
    try {
      std::this_thread::sleep_for(300ms);
      velmor_test::pg_kill_backend(static_cast<int>(pid));
    } catch (...) {
      kill_failed = std::current_exception();
    }
  });
  const auto start = Clock::now();
  const DatabaseError e = database_error_of([&] { (*lease)->execute("SELECT pg_sleep(30)"); });
  killer.join();
  ASSERT_FALSE(kill_failed);
  EXPECT_LT(Clock::now() - start, 20s);
  EXPECT_EQ(e.category(), DatabaseErrorCategory::connection_lost) << e.what();
  EXPECT_FALSE(e.connection_usable());
  lease.reset();
  // The server restarts every session after a crash: the pool's idle connections died too,
  // and none of them reaches a caller.
  velmor_test::pg_wait_until_accepting(*velmor_test::pg_data());
  std::vector<driver::Lease> leases;
  for (int i = 0; i < 3; ++i) leases.push_back(store->lease());
  for (driver::Lease& l : leases) {
    EXPECT_EQ(integer(l->scalar("SELECT 5")), 5);
    EXPECT_NE(integer(l->scalar("SELECT pg_backend_pid()")), pid);
  }
}

TEST_F(PostgresFaults, AFastShutdownFailsEveryQueryingThreadAndTheStoreServesAfterARestart) {
  static const ModelClassPtr cls =
      ModelClass::create("PgFaultRow", "fault_rows", {{"id", CoreTypes::INTEGER, true, {}}});
  // pool_min: connections left idle through the restart, which the pool must not hand out.
  auto store = open("pg_faults", {"pool_min=4", "pool_max=6", "acquire_timeout_ms=3000"});
  store->lease()->execute("DROP TABLE IF EXISTS fault_rows");
  backends::create_table("pg_faults", *cls, {});
  const auto rows = QuerySet<Model>(cls).using_("pg_faults");

  // Three threads query in a loop, two with the synchronous calls and one with coroutines
  // (the shared pipelined connection), until each meets its first failure.
  constexpr int n = 3;
  std::vector<std::optional<DatabaseError>> errors(n);
  std::vector<std::exception_ptr> others(n);
  std::atomic<int> queries = 0;
  std::atomic<int> finished = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < n; ++t)
    threads.emplace_back([&, t] {
      try {
        if (t < 2) {
          for (;;) {
            (void)Executor(rows).count();
            store->lease()->execute("SELECT pg_sleep(0.02)");
            ++queries;
          }
        }
        velmor_test::awaited([](auto rows, std::atomic<int>& queries) -> asio::awaitable<void> {
          for (;;) {
            (void)co_await AsyncExecutor(rows).count();
            ++queries;
          }
        }(rows, queries));
      } catch (const DatabaseError& e) {
        errors[static_cast<std::size_t>(t)] = e;
      } catch (...) {
        others[static_cast<std::size_t>(t)] = std::current_exception();
      }
      ++finished;
    });
  while (queries < 20) std::this_thread::sleep_for(5ms);
  velmor_test::pg_stop_fast(*velmor_test::pg_data());
  const auto stopped = Clock::now();
  while (finished < n && Clock::now() - stopped < 20s) std::this_thread::sleep_for(5ms);
  const bool all_finished = finished == n;
  if (!all_finished) velmor_test::pg_start(*velmor_test::pg_data());  // frees a stuck thread
  for (auto& t : threads) t.join();
  ASSERT_TRUE(all_finished) << "a thread still waited 20 s after the server stopped";
  for (int t = 0; t < n; ++t) {
    SCOPED_TRACE(t);
    EXPECT_FALSE(others[static_cast<std::size_t>(t)]);
    ASSERT_TRUE(errors[static_cast<std::size_t>(t)]);
    const DatabaseError& e = *errors[static_cast<std::size_t>(t)];
    EXPECT_EQ(e.category(), DatabaseErrorCategory::connection_lost) << e.what();
    EXPECT_EQ(e.alias(), "pg_faults");
  }

  velmor_test::pg_start(*velmor_test::pg_data());
  EXPECT_EQ(Executor(rows).count(), 0);
  EXPECT_EQ(velmor_test::awaited(AsyncExecutor(rows).count()), 0);
  EXPECT_EQ(integer(store->lease()->scalar("SELECT 3")), 3);
}

TEST_F(PostgresFaults, UsedUpConnectionSlotsAreAClearErrorAndFreeAgainAfterwards) {
  auto store = open("pg_faults", {"pool_max=1000", "acquire_timeout_ms=10000"});
  std::vector<driver::Lease> held;
  std::optional<DatabaseError> refused;
  const auto start = Clock::now();
  while (!refused && held.size() < 1000) {
    try {
      held.push_back(store->lease());
    } catch (const DatabaseError& e) {
      refused = e;
    }
  }
  ASSERT_TRUE(refused) << held.size() << " connections and no refusal";
  EXPECT_LT(Clock::now() - start, 10s);
  EXPECT_LT(held.size(), 100u);  // the test cluster's max_connections is 60
  EXPECT_NE(std::string(refused->what()).find("too many clients"), std::string::npos)
      << refused->what();
  EXPECT_EQ(refused->category(), DatabaseErrorCategory::connection_lost);
  held.clear();
  EXPECT_EQ(integer(store->lease()->scalar("SELECT 4")), 4);
}

// A reply that never comes (the network drops it, the connection stays open) ends after
// io_timeout_ms: a COMMIT's outcome is then unknown, a read's connection lost.
TEST_F(PostgresNetwork, ACommitWhoseReplyNeverArrivesIsOfUnknownOutcomeWithinTheIoTimeout) {
  const auto socket = velmor_test::pg_socket_path();
  if (!socket) GTEST_SKIP() << "VELMOR_PG_HOST and VELMOR_PG_PORT are not set";
  for (bool coroutine : {false, true}) {
    SCOPED_TRACE(coroutine ? "coroutine" : "sync");
    velmor_test::TcpProxy proxy(*socket);
    auto store = open("pg_net", {"io_timeout_ms=1000"}, proxy.libpq_address());
    driver::Lease lease = store->lease();
    driver::Lease reader = store->lease();  // opened now: a new one would not get through
    lease->begin();
    lease->execute("CREATE TEMPORARY TABLE net_rows (v int)");
    proxy.blackhole_replies();
    const auto start = Clock::now();
    const DatabaseError e = database_error_of([&] {
      if (!coroutine) return lease->commit();
      velmor_test::awaited(lease->acommit());
    });
    const auto waited = Clock::now() - start;
    EXPECT_EQ(e.category(), DatabaseErrorCategory::outcome_unknown) << e.what();
    EXPECT_NE(std::string(e.what()).find("io_timeout_ms"), std::string::npos) << e.what();
    EXPECT_GE(waited, 900ms);
    EXPECT_LT(waited, 5s);
    const DatabaseError read = database_error_of([&] { reader->execute("SELECT 1"); });
    EXPECT_EQ(read.category(), DatabaseErrorCategory::connection_lost) << read.what();
    EXPECT_LT(Clock::now() - start, 2 * waited + 2s);
  }
}

}  // namespace
