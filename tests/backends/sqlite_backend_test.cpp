#include "velmor_models/backends/sqlite/sqlite_backend.hpp"

#include <gtest/gtest.h>
#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/spdlog.h>
#include <sqlite3.h>

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/json/serialize.hpp>
#include <functional>
#include <sstream>
#include <thread>

#include "backends/temp_folder.hpp"
#include "velmor_models/backends/registry.hpp"
#include "velmor_models/backends/tables.hpp"
#include "velmor_models/querysets/async_executor.hpp"
#include "velmor_models/querysets/errors.hpp"
#include "velmor_models/querysets/qsetkit.hpp"
#include "velmor_utils/errors.hpp"
#include "velmor_utils/utils/decorators.hpp"

namespace {

namespace asio = boost::asio;
namespace backends = velmor_models::backends;
namespace json = boost::json;
using backends::SqliteBackend;
using backends::sql::Statement;
using velmor_models::classes::model::CoreTypes;
using velmor_models::classes::model::Model;
using velmor_models::classes::model::ModelClass;
using velmor_models::classes::model::ModelClassPtr;
using velmor_models::querysets::errors::DatabaseError;
using velmor_models::querysets::executor::AsyncExecutor;
using velmor_models::querysets::executor::Executor;
using velmor_models::querysets::qsetkit::QuerySet;

const ModelClassPtr& sample() {
  static const ModelClassPtr cls = ModelClass::create("Sample", "samples",
                                                      {{"id", CoreTypes::INTEGER, true, {}},
                                                       {"score", CoreTypes::NUMBER, false, {}},
                                                       {"active", CoreTypes::BOOLEAN, false, {}},
                                                       {"name", CoreTypes::STRING, false, {}},
                                                       {"born", CoreTypes::DATE, false, {}},
                                                       {"tags", CoreTypes::ARRAY, false, {}},
                                                       {"extra", CoreTypes::DICTIONARY, false, {}},
                                                       {"blob", CoreTypes::BINARY, false, {}}});
  return cls;
}

std::vector<json::object> numbered(int n) {
  std::vector<json::object> out;
  for (int i = 0; i < n; ++i)
    out.push_back(json::object{{"id", i}, {"name", "n" + std::to_string(i)}});
  return out;
}

// A statement that keeps SQLite busy for a long while (counts far with a recursive CTE).
Statement slow_statement() {
  return Statement{
      "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < ?) "
      "SELECT count(*) FROM c",
      {json::value(std::int64_t{2'000'000'000})},
      {}};
}

class SqliteStore : public ::testing::Test {
 protected:
  void SetUp() override {
    backends::reset();
    backends::configure("main", folder.url("main.db", "?timeout_ms=100"));
    backends::create_table("main", *sample(), {"name"});
  }
  void TearDown() override { backends::reset(); }
  std::shared_ptr<SqliteBackend> store() {
    return std::dynamic_pointer_cast<SqliteBackend>(backends::backend_for("main"));
  }
  std::int64_t count() { return Executor(QuerySet<Model>(sample()).using_("main")).count(); }
  velmor_test::TempFolder folder;
};

TEST_F(SqliteStore, ValuesComeBackInTheirCoreTypes) {
  const std::vector<json::object> records{
      {{"id", std::int64_t{9007199254740993}},  // 2^53 + 1: not representable as a double
       {"score", 3},
       {"active", true},
       {"name", "Zoë"},
       {"born", "2024-02-29"},
       {"tags", json::array{1, "two", nullptr}},
       {"extra", json::object{{"k", json::array{1.5}}}},
       {"blob", "AAH/"},  // bytes 00 01 ff
       {"_metadata", json::object{{"object_id", "\"s-1\""}}}},
      {{"id", 2}, {"score", 29.5}, {"active", false}},
  };
  backends::insert_records("main", *sample(), records);
  auto rows = Executor(QuerySet<Model>(sample()).using_("main")).query();
  ASSERT_TRUE(rows);
  ASSERT_EQ(rows->size(), 2u);
  const json::object& a = *rows->at(0).data;
  EXPECT_TRUE(a.at("id").is_int64());
  EXPECT_EQ(a.at("id").get_int64(), 9007199254740993);
  EXPECT_TRUE(a.at("score").is_double());
  EXPECT_EQ(a.at("score").get_double(), 3.0);
  EXPECT_EQ(a.at("active"), json::value(true));
  EXPECT_EQ(a.at("name"), "Zoë");
  EXPECT_EQ(a.at("born"), "2024-02-29");
  EXPECT_EQ(a.at("tags"), (json::array{1, "two", nullptr}));
  EXPECT_EQ(a.at("extra"), (json::object{{"k", json::array{1.5}}}));
  EXPECT_EQ(a.at("blob"), "AAH/");
  EXPECT_EQ(a.at("_metadata"), R"({"object_id":"\"s-1\""})");
  const json::object& b = *rows->at(1).data;
  EXPECT_EQ(b.at("active"), json::value(false));
  for (const char* absent : {"name", "born", "tags", "extra", "blob"})
    EXPECT_TRUE(b.at(absent).is_null()) << absent;
  EXPECT_FALSE(b.contains("_metadata"));  // saved without metadata: the record has none
}

// A range or stream left after its first chunk releases its statement: while it is read,
// its snapshot keeps a truncating checkpoint from finishing; once it is left, nothing does.
TEST_F(SqliteStore, IterationLeftEarlyReleasesItsStatement) {
  std::vector<json::object> records;
  for (int i = 0; i < 50; ++i) records.push_back({{"id", i}, {"score", 1}});
  backends::insert_records("main", *sample(), records);
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open((folder.path() / "main.db").c_str(), &other), SQLITE_OK);
  auto checkpoint_blocked = [&] {
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(other, "PRAGMA wal_checkpoint(TRUNCATE)", -1, &stmt, nullptr);
    const bool blocked = sqlite3_step(stmt) == SQLITE_ROW && sqlite3_column_int(stmt, 0) != 0;
    sqlite3_finalize(stmt);
    return blocked;
  };
  const QuerySet<Model> all = QuerySet<Model>(sample()).using_("main");
  {
    auto range = all.iterate(2);
    EXPECT_EQ(range.begin()->model().get("id"), json::value(0));
    EXPECT_TRUE(checkpoint_blocked());
  }
  EXPECT_FALSE(checkpoint_blocked());

  // The log holds frames again (a reader of the file alone would block nothing).
  backends::insert_records("main", *sample(), std::vector<json::object>{{{"id", 50}}});
  velmor_utils::utils::decorators::ModeScope async(velmor_utils::utils::decorators::Mode::async);
  boost::asio::io_context loop;
  std::vector<bool> blocked;
  boost::asio::co_spawn(
      loop,
      [](QuerySet<Model> q, std::function<bool()> check,
         std::vector<bool>& out) -> boost::asio::awaitable<void> {
        {
          auto stream = q.aiterate(2);
          (void)co_await stream.next();
          out.push_back(check());
        }
        out.push_back(check());
      }(all, checkpoint_blocked, blocked),
      boost::asio::detached);
  loop.run();
  EXPECT_EQ(blocked, (std::vector<bool>{true, false}));
  sqlite3_close(other);
}

TEST_F(SqliteStore, InsertIsAllOrNoneAndNamesTheBadField) {
  struct Case {
    json::object bad;
    std::string says;
  } cases[] = {
      {{{"id", "seven"}}, "'id'"},
      {{{"id", 1}, {"score", "high"}}, "'score'"},
      {{{"id", 1}, {"active", 2}}, "'active'"},
      {{{"id", 1}, {"tags", json::object{}}}, "'tags'"},
      {{{"id", 1}, {"blob", "not base64!"}}, "'blob'"},
      {{{"id", std::uint64_t{1} << 63}}, "'id'"},
      {{{"id", 1}, {"nickname", "x"}}, "nickname"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(json::serialize(c.bad));
    std::vector<json::object> records{{{"id", 0}}, c.bad};
    try {
      backends::insert_records("main", *sample(), records);
      ADD_FAILURE() << "accepted";
    } catch (const velmor_utils::errors::Error& e) {
      EXPECT_NE(std::string(e.what()).find(c.says), std::string::npos) << e.what();
    }
    EXPECT_EQ(count(), 0);
  }
}

TEST_F(SqliteStore, RepeatedStatementsArePreparedOnceAndTheCacheIsBounded) {
  auto s = store();
  Statement st{"SELECT ? + 1 AS n", {json::value(1)}, {}};
  auto before = s->statement_cache_stats();
  for (int i = 0; i < 3; ++i) EXPECT_EQ(s->run(st).at(0).data->at("n"), json::value(2));
  auto after = s->statement_cache_stats();
  EXPECT_EQ(after.misses - before.misses, 1u);
  EXPECT_EQ(after.hits - before.hits, 2u);
  for (std::size_t i = 0; i < SqliteBackend::statement_cache_capacity + 10; ++i)
    (void)s->run(Statement{"SELECT " + std::to_string(i), {}, {}});
  EXPECT_EQ(s->statement_cache_stats().size, SqliteBackend::statement_cache_capacity);
}

TEST_F(SqliteStore, FoldsCaseInSql) {
  auto rows = store()->run(Statement{"SELECT velmor_casefold(?) AS f, velmor_casefold(NULL) AS n",
                                     {json::value("MiXeD Case")},
                                     {}});
  EXPECT_EQ(rows.at(0).data->at("f"), "mixed case");
  EXPECT_TRUE(rows.at(0).data->at("n").is_null());
}

TEST_F(SqliteStore, ALockedDatabaseIsADatabaseErrorAfterTheTimeout) {
  sqlite3* holder = nullptr;
  ASSERT_EQ(sqlite3_open((folder.path() / "main.db").c_str(), &holder), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(holder, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  const auto start = std::chrono::steady_clock::now();
  try {
    backends::insert_records("main", *sample(), numbered(1));
    ADD_FAILURE() << "wrote through a write lock";
  } catch (const DatabaseError& e) {
    EXPECT_EQ(e.code(), std::to_string(SQLITE_BUSY));
    EXPECT_EQ(e.alias(), "main");
    EXPECT_TRUE(e.connection_usable());
    EXPECT_NE(std::string(e.what()).find("locked"), std::string::npos) << e.what();
  }
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(90));
  EXPECT_LT(waited, std::chrono::seconds(3));
  EXPECT_EQ(count(), 0);  // readers are not blocked by the writer (WAL)
  sqlite3_exec(holder, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(holder);
  backends::insert_records("main", *sample(), numbered(1));  // the connection still works
  EXPECT_EQ(count(), 1);
}

TEST_F(SqliteStore, ManyThreadsQueryAtOnce) {
  backends::insert_records("main", *sample(), numbered(50));
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 40; ++i) {
        auto qs = QuerySet<Model>(sample()).using_("main");
        if (Executor(qs).query()->size() != 50 || Executor(qs).count() != 50) ++wrong;
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(wrong, 0);
}

TEST_F(SqliteStore, CoroutinesRunConcurrentlyWithoutBlockingTheLoop) {
  backends::insert_records("main", *sample(), numbered(20));
  asio::io_context loop;
  int finished = 0, ticks = 0;
  bool slow_done = false;
  const auto loop_thread = std::this_thread::get_id();
  for (int i = 0; i < 32; ++i)
    asio::co_spawn(
        loop,
        [&]() -> asio::awaitable<void> {
          auto qs = QuerySet<Model>(sample()).using_("main");
          auto rows = co_await AsyncExecutor(qs).query();
          EXPECT_EQ(std::this_thread::get_id(), loop_thread);  // resumed on the caller's loop
          EXPECT_EQ(rows->size(), 20u);
          EXPECT_EQ(co_await AsyncExecutor(qs).count(), 20);
          ++finished;
        },
        asio::detached);
  auto s = store();
  Statement medium = slow_statement();
  medium.params[0] = json::value(std::int64_t{1'000'000});
  asio::co_spawn(
      loop,
      [&]() -> asio::awaitable<void> {
        (void)co_await s->arun_scalar(medium);
        slow_done = true;
      },
      asio::detached);
  asio::co_spawn(
      loop,
      [&]() -> asio::awaitable<void> {
        asio::steady_timer timer(loop);
        while (!slow_done) {
          timer.expires_after(std::chrono::milliseconds(5));
          co_await timer.async_wait(asio::use_awaitable);
          ++ticks;
        }
      },
      asio::detached);
  loop.run();
  EXPECT_EQ(finished, 32);
  EXPECT_GT(ticks, 3);  // the loop kept running while SQLite counted
}

TEST_F(SqliteStore, ACancelledQueryStopsAndLeavesItsConnectionUsable) {
  backends::insert_records("main", *sample(), numbered(5));
  asio::io_context loop;
  asio::cancellation_signal cancel;
  std::exception_ptr outcome;
  auto s = store();
  const auto start = std::chrono::steady_clock::now();
  asio::co_spawn(loop, s->arun_scalar(slow_statement()),
                 asio::bind_cancellation_slot(
                     cancel.slot(), [&](std::exception_ptr e, std::int64_t) { outcome = e; }));
  asio::steady_timer timer(loop, std::chrono::milliseconds(30));
  timer.async_wait(
      [&](boost::system::error_code) { cancel.emit(asio::cancellation_type::terminal); });
  loop.run();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  ASSERT_TRUE(outcome);
  try {
    std::rethrow_exception(outcome);
  } catch (const boost::system::system_error& e) {
    EXPECT_EQ(e.code(), asio::error::operation_aborted);
  }
  // Every worker connection answers afterwards.
  loop.restart();
  int answered = 0;
  for (int i = 0; i < 16; ++i)
    asio::co_spawn(
        loop,
        [&]() -> asio::awaitable<void> {
          auto rows = co_await AsyncExecutor(QuerySet<Model>(sample()).using_("main")).query();
          if (rows->size() == 5) ++answered;
        },
        asio::detached);
  loop.run();
  EXPECT_EQ(answered, 16);
}

// A loop abandoned while its query runs: destroying it stops the statement, and no worker
// touches the destroyed loop afterwards (the sanitizer build watches).
TEST_F(SqliteStore, DestroyingTheLoopWhileAQueryRunsInterruptsIt) {
  auto s = store();
  bool resumed = false;
  const auto start = std::chrono::steady_clock::now();
  {
    asio::io_context loop;
    asio::co_spawn(
        loop,
        [&]() -> asio::awaitable<void> {
          (void)co_await s->arun_scalar(slow_statement());
          resumed = true;
        },
        asio::detached);
    loop.run_for(std::chrono::milliseconds(30));
  }
  EXPECT_FALSE(resumed);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  backends::insert_records("main", *sample(), numbered(3));
  asio::io_context loop;
  std::size_t rows = 0;
  asio::co_spawn(
      loop,
      [&]() -> asio::awaitable<void> {
        rows = (co_await AsyncExecutor(QuerySet<Model>(sample()).using_("main")).query())->size();
      },
      asio::detached);
  loop.run();
  EXPECT_EQ(rows, 3u);
}

TEST_F(SqliteStore, StatementsAreLoggedWithTheirDurationWhenAsked) {
  auto logger = spdlog::get("velmor_models.backends.sql");
  (void)store()->run(Statement{"SELECT 1", {}, {}});  // the logger exists after first use
  logger = spdlog::get("velmor_models.backends.sql");
  ASSERT_TRUE(logger);
  EXPECT_EQ(logger->level(), spdlog::level::off);
  std::ostringstream out;
  auto sink = std::make_shared<spdlog::sinks::ostream_sink_mt>(out);
  logger->sinks().push_back(sink);
  logger->set_level(spdlog::level::debug);
  (void)store()->run(Statement{"SELECT 42", {}, {}});
  logger->set_level(spdlog::level::off);
  logger->sinks().pop_back();
  EXPECT_NE(out.str().find("SELECT 42"), std::string::npos) << out.str();
  EXPECT_NE(out.str().find(" us) [main]"), std::string::npos) << out.str();
}

}  // namespace
