// Faults injected between the database and the caller: a result that breaks off after
// some rows, a class-version lookup that fails part way through materialisation, and a
// database that becomes locked (or refuses its commit) in the middle of a save. Each must
// reach the caller as an error of its own kind, with nothing half-built and nothing half
// saved. (A full or read-only database and a killed writer: object_store_test.cpp; failed
// allocations: tests/faults.)

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_future.hpp>
#include <boost/json/serialize.hpp>
#include <functional>
#include <mutex>
#include <thread>
#include <typeinfo>

#include "backends/awaited.hpp"
#include "backends/temp_folder.hpp"
#include "qsetkit/test_executors.hpp"
#include "velmor_data/connections/historical/async_schema_version_manager.hpp"
#include "velmor_models/backends/object_store.hpp"
#include "velmor_models/backends/registry.hpp"
#include "velmor_models/backends/sqlite/sqlite_backend.hpp"
#include "velmor_models/querysets/errors.hpp"
#include "velmor_models/querysets/qsetkit.hpp"
#include "velmor_utils/errors.hpp"
#include "velmor_utils/utils/decorators.hpp"

namespace {

namespace backends = velmor_models::backends;
namespace decorators = velmor_utils::utils::decorators;
namespace history = velmor_data::connections::historical::schema_version_manager;
namespace json = boost::json;
using backends::SqliteBackend;
using backends::sql::Statement;
using velmor_glue::Data;
using velmor_models::classes::model::CoreTypes;
using velmor_models::classes::model::Model;
using velmor_models::classes::model::ModelClass;
using velmor_models::classes::model::ModelClassPtr;
using velmor_models::querysets::errors::DatabaseError;
using velmor_models::querysets::executor::AsyncExecutorBase;
using velmor_models::querysets::executor::ExecutorBase;
using velmor_models::querysets::executor::QuerySetReader;
using velmor_models::querysets::qsetkit::Instance;
using velmor_models::querysets::qsetkit::QuerySet;

// Runs `qs` on the synchronous or the coroutine path.
std::vector<Instance<Model>> execute(const QuerySet<Model>& qs, bool coroutine) {
  if (!coroutine) return qs.execute();
  decorators::ModeScope async(decorators::Mode::async);
  return velmor_test::run(qs.aexecute());
}

// What a run came to: the values of `field` of every instance, or the error it raised.
std::string outcome(const std::function<std::vector<Instance<Model>>()>& run,
                    std::string_view field) {
  try {
    std::string out = "rows:";
    for (const Instance<Model>& i : run()) out += " " + json::serialize(i.model().get(field));
    return out;
  } catch (const DatabaseError& e) {
    return "DatabaseError " + e.code() + (e.connection_usable() ? " usable" : " unusable");
  } catch (const std::exception& e) {
    return std::string("error ") + typeid(e).name() + ": " + e.what();
  }
}

// ---- Results that break off ---------------------------------------------------------

// Rows that `velmor_trip` lets through before it fails with `trip_code`; negative: all.
std::atomic<int> rows_left{-1};
std::atomic<int> trip_code{SQLITE_ERROR};

void trip(sqlite3_context* ctx, int, sqlite3_value** argv) {
  if (rows_left.load() >= 0 && rows_left.fetch_sub(1) == 0) {
    sqlite3_result_error(ctx, "the row could not be read", -1);
    sqlite3_result_error_code(ctx, trip_code.load());
    return;
  }
  sqlite3_result_value(ctx, argv[0]);
}

// Runs for every connection opened while registered, the store's own included.
int register_trip(sqlite3* db, const char**, const sqlite3_api_routines*) {
  return sqlite3_create_function_v2(db, "velmor_trip", 1, SQLITE_UTF8, nullptr, trip, nullptr,
                                    nullptr, nullptr);
}

const ModelClassPtr& trip_item() {
  static const ModelClassPtr cls = [] {
    ModelClass::Options options;
    options.plain_table = true;  // a view: no metadata, no rowid
    return ModelClass::create(
        "TripItem", "trip_items",
        {{"id", CoreTypes::INTEGER, true, {}}, {"name", CoreTypes::STRING, true, {}}}, options);
  }();
  return cls;
}

class BrokenResult : public testing::Test {
 protected:
  void SetUp() override {
    backends::reset();
    sqlite3_auto_extension(reinterpret_cast<void (*)()>(register_trip));
    backends::configure("main", folder.url("main.db"));
    auto& db = dynamic_cast<SqliteBackend&>(*backends::backend_for("main"));
    // Read without ordering, so that SQLite hands the rows over one by one.
    db.run_script({Statement{"CREATE TABLE trip_source (id INTEGER, name TEXT)", {}, {}},
                   Statement{"INSERT INTO trip_source VALUES (1, 'a'), (2, 'b'), (3, 'c'), "
                             "(4, 'd'), (5, 'e')",
                             {},
                             {}},
                   Statement{"CREATE VIEW trip_items AS SELECT id, velmor_trip(name) AS name "
                             "FROM trip_source",
                             {},
                             {}}});
  }
  void TearDown() override {
    rows_left = -1;
    backends::reset();
    sqlite3_cancel_auto_extension(reinterpret_cast<void (*)()>(register_trip));
  }
  velmor_test::TempFolder folder;
};

TEST_F(BrokenResult, ASqliteResultBrokenAfterNRowsIsAnErrorNeverAShortList) {
  const QuerySet<Model> items = QuerySet<Model>(trip_item()).using_("main");
  struct Kind {
    int code;
    const char* expected;
  };
  for (const Kind kind : {Kind{SQLITE_ERROR, "DatabaseError 1 usable"},
                          Kind{SQLITE_IOERR, "DatabaseError 10 unusable"}})
    for (bool coroutine : {false, true})
      for (int n = 0; n <= 5; ++n) {
        SCOPED_TRACE(std::string(coroutine ? "coroutine" : "sync") + ", rows before the fault " +
                     std::to_string(n) + ", code " + std::to_string(kind.code));
        trip_code = kind.code;
        rows_left = n;
        EXPECT_EQ(outcome([&] { return execute(items, coroutine); }, "name"),
                  n < 5 ? kind.expected : R"(rows: "a" "b" "c" "d" "e")");
        rows_left = -1;
      }
  // The connections that met the faults still serve.
  EXPECT_EQ(items.count().execute(), 5);
}

// An executor that reads its rows one by one (the coroutine one suspending between them)
// and fails with `error` after `rows` of them.
struct RowSource {
  int rows = 0;
  std::exception_ptr error;
  std::vector<Data> read() {
    std::vector<Data> out;
    for (int i = 0;; ++i) {
      if (i == rows) std::rethrow_exception(error);
      out.push_back(Data{json::object{{"id", i}, {"name", "r"}}, json::object()});
    }
  }
};

class SourceExecutor : public ExecutorBase {
 public:
  explicit SourceExecutor(RowSource& s) : s_(s) {}
  std::optional<std::vector<Data>> query() override { return s_.read(); }
  std::int64_t count() override { return 0; }

 private:
  RowSource& s_;
};

class AsyncSourceExecutor : public AsyncExecutorBase {
 public:
  explicit AsyncSourceExecutor(RowSource& s) : s_(s) {}
  boost::asio::awaitable<std::optional<std::vector<Data>>> query() override {
    std::vector<Data> out;
    for (int i = 0;; ++i) {
      co_await boost::asio::post(co_await boost::asio::this_coro::executor,
                                 boost::asio::use_awaitable);
      if (i == s_.rows) std::rethrow_exception(s_.error);
      out.push_back(Data{json::object{{"id", i}, {"name", "r"}}, json::object()});
    }
  }
  boost::asio::awaitable<std::int64_t> count() override { co_return 0; }

 private:
  RowSource& s_;
};

TEST(FailingExecutor, TheErrorAfterNRowsReachesTheCallerUnchanged) {
  const std::exception_ptr errors[] = {
      std::make_exception_ptr(
          DatabaseError("server closed the connection", "default", "SELECT 1", "57P01", false)),
      std::make_exception_ptr(velmor_utils::errors::ValueError("bad row")),
      std::make_exception_ptr(std::bad_alloc()),
      std::make_exception_ptr(boost::system::system_error(boost::asio::error::operation_aborted)),
  };
  RowSource source;
  const QuerySet<Model> qs(
      trip_item(),
      [&](const QuerySetReader&) -> std::unique_ptr<ExecutorBase> {
        return std::make_unique<SourceExecutor>(source);
      },
      [&](const QuerySetReader&) -> std::unique_ptr<AsyncExecutorBase> {
        return std::make_unique<AsyncSourceExecutor>(source);
      });
  for (const std::exception_ptr& error : errors)
    for (bool coroutine : {false, true})
      for (int n : {0, 1, 4}) {
        source = RowSource{n, error};
        std::optional<std::vector<Instance<Model>>> got;
        try {
          got = execute(qs, coroutine);
          ADD_FAILURE() << "a result of " << got->size() << " rows";
        } catch (const std::exception& e) {
          try {
            std::rethrow_exception(error);
          } catch (const std::exception& expected) {
            EXPECT_EQ(typeid(e), typeid(expected)) << e.what();
            EXPECT_EQ(&e, &expected) << "the very error object reaches the caller";
          }
        }
      }
}

// ---- Class-version lookups that fail ------------------------------------------------

const ModelClassPtr& book() {
  static const ModelClassPtr cls = ModelClass::create(
      "FaultBook", "fault_books",
      {{"title", CoreTypes::STRING, true, {}}, {"pages", CoreTypes::INTEGER, false, {}}});
  return cls;
}

// Answers the class versions as the store does, but throws `error` on the `fail_at`-th
// question (synchronous and coroutine managers alike); restores the previous sources.
class FailingVersions {
 public:
  FailingVersions(int fail_at, std::exception_ptr error) : fail_at_(fail_at), error_(error) {
    previous_ =
        history::set_latest_version_source([this](std::string_view name) { return answer(name); });
    previous_async_ = history::set_async_latest_version_source(
        [this](std::string name) -> boost::asio::awaitable<json::value> {
          co_return answer(name);
        });
  }
  ~FailingVersions() {
    history::set_latest_version_source(std::move(previous_));
    history::set_async_latest_version_source(std::move(previous_async_));
  }
  int calls = 0;

 private:
  json::value answer(std::string_view name) {
    if (++calls == fail_at_) std::rethrow_exception(error_);
    std::optional<std::int64_t> v = backends::latest_class_version(name);
    return v ? json::value(*v) : json::value(nullptr);
  }
  int fail_at_;
  std::exception_ptr error_;
  history::LatestVersionSource previous_;
  history::AsyncLatestVersionSource previous_async_;
};

class StoreFaults : public testing::Test {
 protected:
  void SetUp() override {
    backends::reset();
    backends::clear_class_version_cache();
    backends::configure("default", folder.url("default.db", "?timeout_ms=100"));
    backends::configure("lakehouse", folder.url("lake.db", "?timeout_ms=100"));
  }
  void TearDown() override {
    backends::reset();
    backends::clear_class_version_cache();
  }
  velmor_test::TempFolder folder;
};

TEST_F(StoreFaults, AVersionLookupFailingOnItsNthCallFailsTheWholeResult) {
  for (const char* title : {"a", "b", "c", "d"})
    (void)backends::save_new(book(), {{"title", title}});
  const QuerySet<Model> books = QuerySet<Model>(book()).order_by("title");
  const std::exception_ptr errors[] = {
      std::make_exception_ptr(
          DatabaseError("database is locked", "lakehouse", "SELECT", "5", true)),
      std::make_exception_ptr(velmor_utils::errors::KeyError("FaultBook")),
  };
  for (const std::exception_ptr& error : errors)
    for (bool coroutine : {false, true})
      for (int n = 1; n <= 5; ++n) {
        SCOPED_TRACE(std::string(coroutine ? "coroutine" : "sync") + ", failing lookup " +
                     std::to_string(n));
        FailingVersions versions(n, error);
        std::string expected = R"(rows: "a" "b" "c" "d")";
        if (n <= 4) {
          try {
            std::rethrow_exception(error);
          } catch (const DatabaseError&) {
            expected = "DatabaseError 5 usable";
          } catch (const std::exception& e) {
            expected = std::string("error ") + typeid(e).name() + ": " + e.what();
          }
        }
        EXPECT_EQ(outcome([&] { return execute(books, coroutine); }, "title"), expected);
        if (n == 5) {
          EXPECT_EQ(versions.calls, 4) << "one lookup per record";
        }
      }
}

// ---- A database locked in the middle of a save --------------------------------------

// A second connection to a database file, able to hold its write lock.
class LockHolder {
 public:
  explicit LockHolder(const std::filesystem::path& file) {
    EXPECT_EQ(sqlite3_open(file.c_str(), &db_), SQLITE_OK);
    sqlite3_busy_timeout(db_, 5000);
  }
  ~LockHolder() {
    release();
    sqlite3_close(db_);
  }
  void lock() {
    std::lock_guard guard(mutex_);
    EXPECT_EQ(sqlite3_exec(db_, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK)
        << sqlite3_errmsg(db_);
  }
  void release() {
    std::lock_guard guard(mutex_);
    if (!sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  }

 private:
  std::mutex mutex_;
  sqlite3* db_ = nullptr;
};

// What to do when a connection of the store commits a write to a file of the given name;
// true turns the commit into a rollback.
std::mutex watch_mutex;
std::string watched_file;
std::function<bool()> on_watched_commit;

int commit_hook(void* db) {
  std::function<bool()> action;
  {
    std::lock_guard lock(watch_mutex);
    const char* file = sqlite3_db_filename(static_cast<sqlite3*>(db), "main");
    if (!on_watched_commit || !file || !std::string_view(file).ends_with(watched_file)) return 0;
    std::swap(action, on_watched_commit);
  }
  return action() ? 1 : 0;
}

int register_commit_hook(sqlite3* db, const char**, const sqlite3_api_routines*) {
  sqlite3_commit_hook(db, commit_hook, db);
  return SQLITE_OK;
}

void watch_commits(std::string file, std::function<bool()> action) {
  std::lock_guard lock(watch_mutex);
  watched_file = std::move(file);
  on_watched_commit = std::move(action);
}

enum class Fault {
  default_locked,              // held before the save starts
  lakehouse_locked,            // held before the save starts
  lakehouse_after_its_commit,  // the default held before; the lakehouse once it committed
  lakehouse_after_default,     // locked as soon as the default database commits the save
  default_refuses_commit,      // its commit turns into a rollback
};

using velmor_test::awaited;

struct SaveCase {
  const char* name;
  std::function<void()> save;
};

const SaveCase saves[] = {
    {"save_new",
     [] {
       (void)backends::save_new(book(), {{"title", "New"}}, "n1");
     }},
    {"save_new_batch",
     [] {
       std::vector<json::object> batch;
       for (const char* id : {"b1", "b2", "b3"})
         batch.push_back({{"title", id}, {"_object_id", id}});
       (void)backends::save_new_batch(book(), batch);
     }},
    {"save_version",
     [] {
       (void)backends::save_version(book(), "o1", 1, {{"title", "Dune II"}});
     }},
    {"delete_object", [] { backends::delete_object(book(), "o1"); }},
    // The coroutine forms: the same sweep, awaited on a loop of the test's thread.
    {"asave_new_batch",
     [] {
       std::vector<json::object> batch;
       for (const char* id : {"b1", "b2"}) batch.push_back({{"title", id}, {"_object_id", id}});
       (void)awaited(backends::asave_new_batch(book(), std::move(batch)));
     }},
    {"asave_version",
     [] {
       (void)awaited(backends::asave_version(book(), "o1", 1, {{"title", "Dune II"}}));
     }},
    {"adelete_object", [] { awaited(backends::adelete_object(book(), "o1")); }},
};

class InterruptedSave : public StoreFaults,
                        public testing::WithParamInterface<std::tuple<Fault, int>> {
 protected:
  void SetUp() override {
    sqlite3_auto_extension(reinterpret_cast<void (*)()>(register_commit_hook));
    StoreFaults::SetUp();
    (void)backends::save_new(book(), {{"title", "Dune"}}, "o1");
  }
  void TearDown() override {
    watch_commits("", nullptr);
    StoreFaults::TearDown();
    sqlite3_cancel_auto_extension(reinterpret_cast<void (*)()>(register_commit_hook));
  }
  std::int64_t scalar(std::string_view alias, const std::string& sql) {
    auto& db = dynamic_cast<SqliteBackend&>(*backends::backend_for(alias));
    return db.run_scalar({sql, {}, {}});
  }
  // Every stored row and every object's state, as text.
  std::string snapshot() {
    auto dump = [](std::string_view alias, const std::string& sql) {
      auto& db = dynamic_cast<SqliteBackend&>(*backends::backend_for(alias));
      return json::serialize(*db.run({sql, {}, {{"v", CoreTypes::STRING}}}).at(0).data);
    };
    const std::string books =
        "SELECT json_group_array(json_array(\"_object_id\", \"_object_version\", title)) AS v "
        "FROM (SELECT * FROM fault_books ORDER BY 1, 2, 3)";
    return dump("default", books) + dump("lakehouse", books) +
           dump("lakehouse",
                "SELECT json_group_array(json_array(object_id, latest_version, deleted)) AS v "
                "FROM (SELECT * FROM _velmor_objects ORDER BY 1, 2)");
  }
  // The default database holds exactly the latest version of every live object.
  void expect_databases_agree() {
    auto& lake = dynamic_cast<SqliteBackend&>(*backends::backend_for("lakehouse"));
    (void)lake.run(
        {"ATTACH DATABASE ? AS d", {json::value((folder.path() / "default.db").string())}, {}});
    EXPECT_EQ(scalar("lakehouse",
                     "SELECT count(*) FROM _velmor_objects o WHERE o.deleted = 0 AND NOT EXISTS "
                     "(SELECT 1 FROM d.fault_books b WHERE b._object_id = o.object_id AND "
                     "b._object_version = o.latest_version)"),
              0);
    EXPECT_EQ(scalar("lakehouse", "SELECT count(*) FROM d.fault_books"),
              scalar("lakehouse", "SELECT count(*) FROM _velmor_objects WHERE deleted = 0"));
    (void)lake.run({"DETACH DATABASE d", {}, {}});
  }
};

TEST_P(InterruptedSave, FailsWithNothingSavedAndARetrySucceeds) {
  const auto [fault, which] = GetParam();
  const SaveCase& save = saves[which];
  LockHolder main(folder.path() / "default.db"), lake(folder.path() / "lake.db");
  std::thread late_locker;
  switch (fault) {
    case Fault::default_locked:
      main.lock();
      break;
    case Fault::lakehouse_locked:
      lake.lock();
      break;
    case Fault::lakehouse_after_its_commit:
      main.lock();
      // Taken from another thread: the lakehouse's commit must finish first.
      watch_commits("lake.db", [&] {
        late_locker = std::thread([&] { lake.lock(); });
        return false;
      });
      break;
    case Fault::lakehouse_after_default:
      watch_commits("default.db", [&] {
        lake.lock();
        return false;
      });
      break;
    case Fault::default_refuses_commit:
      watch_commits("default.db", [] { return true; });
      break;
  }
  const std::string before = snapshot();
  bool saved = false;
  try {
    save.save();
    saved = true;
  } catch (const DatabaseError& e) {
    EXPECT_EQ(e.code(),
              std::to_string(fault == Fault::default_refuses_commit ? SQLITE_CONSTRAINT_COMMITHOOK
                                                                    : SQLITE_BUSY))
        << e.what();
    EXPECT_TRUE(e.connection_usable()) << e.what();
    EXPECT_EQ(e.category(),
              fault == Fault::default_refuses_commit
                  ? velmor_models::querysets::errors::DatabaseErrorCategory::constraint
                  : velmor_models::querysets::errors::DatabaseErrorCategory::busy);
    EXPECT_EQ(e.native_code(), std::stoll(e.code()));
  }
  watch_commits("", nullptr);
  if (late_locker.joinable()) late_locker.join();
  main.release();
  lake.release();

  if (fault == Fault::lakehouse_after_default) {
    // Both databases have the save; only the note of its completion was left behind.
    EXPECT_TRUE(saved) << "a save that is complete in both databases is reported as failed";
    EXPECT_NE(snapshot(), before);
  } else {
    EXPECT_FALSE(saved);
    EXPECT_EQ(snapshot(), before) << "half saved";
    EXPECT_NO_THROW(save.save()) << "the retry after the fault is gone";
    EXPECT_NE(snapshot(), before);
  }
  backends::recover_pending_saves();
  EXPECT_EQ(scalar("lakehouse", "SELECT count(*) FROM _velmor_pending"), 0);
  expect_databases_agree();
}

std::string case_name(const testing::TestParamInfo<std::tuple<Fault, int>>& info) {
  static const char* const faults[] = {"DefaultLocked", "LakehouseLocked",
                                       "LakehouseLockedAfterItsCommit",
                                       "LakehouseLockedAfterDefaultCommit", "DefaultRefusesCommit"};
  std::string name = saves[std::get<1>(info.param)].name;
  std::erase(name, '_');
  return std::string(faults[static_cast<int>(std::get<0>(info.param))]) + "_" + name;
}

INSTANTIATE_TEST_SUITE_P(
    Saves, InterruptedSave,
    testing::Combine(testing::Values(Fault::default_locked, Fault::lakehouse_locked,
                                     Fault::lakehouse_after_its_commit,
                                     Fault::lakehouse_after_default, Fault::default_refuses_commit),
                     testing::Range(0, static_cast<int>(std::size(saves)))),
    case_name);

}  // namespace
