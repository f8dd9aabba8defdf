// The store of versioned objects: saving, new versions, deletion, class versions, the
// version decision on stored rows, bad input that must change nothing, and a writer killed
// at random moments.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_future.hpp>
#include <boost/json/serialize.hpp>
#include <chrono>
#include <filesystem>
#include <map>
#include <variant>
#include <random>
#include <thread>

#include "backends/awaited.hpp"
#include "backends/stores.hpp"
#include "backends/temp_folder.hpp"
#include "velmor_models/backends/object_store.hpp"
#include "velmor_models/backends/registry.hpp"
#include "velmor_models/backends/sql/dialect.hpp"
#include "velmor_models/backends/sqlite/sqlite_backend.hpp"
#include "velmor_models/querysets/errors.hpp"
#include "velmor_models/querysets/qsetkit.hpp"

namespace {

namespace backends = velmor_models::backends;
namespace json = boost::json;
using velmor_models::classes::model::CoreTypes;
using velmor_models::classes::model::Model;
using velmor_models::classes::model::ModelClass;
using velmor_models::classes::model::ModelClassPtr;
using velmor_models::querysets::errors::BulkOperationError;
using velmor_models::querysets::errors::DatabaseError;
using velmor_models::querysets::errors::DatabaseErrorCategory;
using velmor_models::querysets::errors::ObjectDoesNotExistError;
using velmor_models::querysets::qsetkit::NamedFilters;
using velmor_models::querysets::qsetkit::QuerySet;

ModelClassPtr book_class(std::vector<velmor_models::classes::model::FieldDecl> extra = {}) {
  std::vector<velmor_models::classes::model::FieldDecl> fields{
      {"title", CoreTypes::STRING, true, {}}, {"pages", CoreTypes::INTEGER, false, {}}};
  for (auto& f : extra) fields.push_back(std::move(f));
  return ModelClass::create("Book", "books", std::move(fields));
}

// A number a statement of the database behind `alias` returns (through its driver, so that
// every store answers alike).
std::int64_t rows_in(std::string_view alias, const std::string& sql) {
  auto lease = backends::backend_for(alias)->lease();
  return velmor_models::backends::driver::integer_of(*lease->scalar(sql), "a count");
}

// Every stored version and every live row, as text, to prove that nothing changed.
std::string snapshot() {
  auto dump = [](std::string_view alias) {
    auto lease = backends::backend_for(alias)->lease();
    const auto found = lease->fetch(
        "SELECT \"_object_id\", \"_object_version\", title, pages FROM books ORDER BY 1, 2, 3");
    std::string out;
    for (const auto& row : found.rows) {
      for (const auto& v : row)
        std::visit(
            [&](const auto& x) {
              using X = std::decay_t<decltype(x)>;
              if constexpr (std::is_same_v<X, std::string>)
                out += x;
              else if constexpr (std::is_same_v<X, std::int64_t> || std::is_same_v<X, double>)
                out += std::to_string(x);
              else if constexpr (std::is_same_v<X, std::monostate>)
                out += "null";
            },
            v);
      out += ';';
    }
    return out;
  };
  return dump("default") + "|" + dump("lakehouse");
}

using velmor_test::awaited;

// The store on every SQL store: each test gets a `default` and a `lakehouse` of its own.
class ObjectStore : public testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    backends::reset();
    urls = velmor_test::configure_store_aliases(GetParam(), folder);
  }
  void TearDown() override { backends::reset(); }
  velmor_test::TempFolder folder;
  std::pair<std::string, std::string> urls;  // default's and lakehouse's
};

// What only SQLite files can be made to do (fill up, open read-only, hold an older layout).
class SqliteObjectStore : public testing::Test {
 protected:
  void SetUp() override {
    backends::reset();
    backends::configure("default", folder.url("default.db"));
    backends::configure("lakehouse", folder.url("lake.db"));
  }
  void TearDown() override { backends::reset(); }
  velmor_test::TempFolder folder;
};

TEST_P(ObjectStore, SavesVersionsAndDeletesAcrossBothDatabases) {
  const ModelClassPtr book = book_class();
  const auto a = backends::save_new(book, {{"title", "Dune"}, {"pages", 412}});
  EXPECT_EQ(a.object_version, 1);
  EXPECT_EQ(a.class_version, 1);
  EXPECT_FALSE(a.object_id.empty());
  const auto b = backends::save_new(book, {{"title", "Emma"}}, "42");
  EXPECT_EQ(b.object_id, "42");

  const auto a2 = backends::save_version(book, a.object_id, 1, {{"title", "Dune"}, {"pages", 500}});
  EXPECT_EQ(a2.object_version, 2);

  // default: the latest version of each live object; lakehouse: every version.
  const QuerySet<Model> books(book);
  auto live = books.order_by("title").execute();
  ASSERT_EQ(live.size(), 2u);
  EXPECT_EQ(live[0].model().get("pages"), json::value(500));
  EXPECT_TRUE(live[0].is_current());
  EXPECT_EQ(books.using_("lakehouse").count().execute(), 3);
  EXPECT_EQ(books.using_("lakehouse").latest().count().execute(), 2);
  auto old =
      books.using_("lakehouse")
          .get(NamedFilters{{"_address__object_id", a.object_id}, {"_address__object_version", 1}})
          .execute();
  EXPECT_EQ(old.model().get("pages"), json::value(412));
  // A numeric-looking id keeps its text through `_metadata`.
  auto emma = books.get(NamedFilters{{"_address__object_id", "42"}}).execute();
  EXPECT_EQ(emma.model().get("title"), json::value("Emma"));

  backends::delete_object(book, a.object_id);
  EXPECT_EQ(books.count().execute(), 1);
  EXPECT_EQ(books.using_("lakehouse").count().execute(), 3);
  EXPECT_THROW(backends::delete_object(book, a.object_id), ObjectDoesNotExistError);
  EXPECT_THROW(backends::save_version(book, a.object_id, 2, {{"title", "Dune"}}),
               backends::StaleVersionError);
  // An entry of a completed save, still waiting for a later save to remove it, replayed
  // after the deletion (whose own entry a later save removed): the object stays deleted.
  (void)backends::save_new(book, {{"title", "Ulysses"}});
  (void)backends::save_new(book, {{"title", "Walden"}});
  {
    auto lake = backends::backend_for("lakehouse")->lease();
    lake->execute(lake->dialect().with_placeholders(
                      "INSERT INTO _velmor_pending (save_id, table_name, object_id, "
                      "object_version, deleted) VALUES ('left', 'books', ?, 2, 0)"),
                  {a.object_id});
  }
  backends::recover_pending_saves();
  EXPECT_EQ(books.count().execute(), 3);
}

TEST_P(ObjectStore, ManyObjectsAtOnceAllOrNone) {
  const ModelClassPtr book = book_class();
  std::vector<json::object> batch;
  for (int i = 0; i < 50; ++i)
    batch.push_back({{"title", json::string(std::to_string(i))}, {"pages", i}});
  EXPECT_EQ(backends::save_new_batch(book, batch).size(), 50u);
  const std::string before = snapshot();
  // One invalid entry, or an id already in use: nothing of the batch is stored.
  batch.push_back({{"pages", 3}});
  EXPECT_THROW(backends::save_new_batch(book, batch), velmor_utils::errors::ValidationError);
  batch.back() = {{"title", "dup"}, {"_object_id", "x"}};
  batch.push_back({{"title", "dup"}, {"_object_id", "x"}});
  EXPECT_THROW(backends::save_new_batch(book, batch), velmor_utils::errors::ValueError);
  EXPECT_EQ(snapshot(), before);
}

TEST_P(ObjectStore, BadInputIsRefusedAndChangesNothing) {
  const ModelClassPtr book = book_class();
  const auto a = backends::save_new(book, {{"title", "Dune"}, {"pages", 412}});
  (void)backends::save_version(book, a.object_id, 1, {{"title", "Dune II"}});
  const std::string before = snapshot();

  struct Case {
    const char* name;
    std::function<void()> run;
  };
  const Case cases[] = {
      {"missing required field",
       [&] {
         backends::save_new(book, {{"pages", 1}});
       }},
      {"value of the wrong type",
       [&] {
         backends::save_new(book, {{"title", 5}});
       }},
      {"undeclared field",
       [&] {
         backends::save_new(book, {{"title", "x"}, {"colour", "red"}});
       }},
      {"stale base version",
       [&] {
         backends::save_version(book, a.object_id, 1, {{"title", "lost update"}});
       }},
      {"base version from the future",
       [&] {
         backends::save_version(book, a.object_id, 7, {{"title", "x"}});
       }},
      {"no such object",
       [&] {
         backends::save_version(book, "nope", 1, {{"title", "x"}});
       }},
      {"unknown model class",
       [&] { backends::delete_object(ModelClass::create("Ghost", "books", {}), a.object_id); }},
      {"invalid new version",
       [&] {
         backends::save_version(book, a.object_id, 2, {{"pages", 1}});
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_THROW(c.run(), velmor_utils::errors::Error);
    EXPECT_EQ(snapshot(), before);
  }
  try {
    backends::save_version(book, a.object_id, 1, {{"title", "lost update"}});
  } catch (const backends::StaleVersionError& e) {
    EXPECT_NE(std::string(e.what()).find("not its latest (2)"), std::string::npos) << e.what();
  }
}

// The default database refuses the second half of a save (full, then read-only): the save
// fails with the database's error and neither database keeps any of it.
TEST_F(SqliteObjectStore, ADatabaseThatRefusesMidSaveLosesAndChangesNothing) {
  const ModelClassPtr book = book_class();
  const auto a = backends::save_new(book, {{"title", "Dune"}});
  const std::string before = snapshot();
  auto& db = dynamic_cast<backends::SqliteBackend&>(*backends::backend_for("default"));
  const std::int64_t pages = db.run_scalar({"PRAGMA page_count", {}, {}});
  (void)db.run({"PRAGMA max_page_count = " + std::to_string(pages), {}, {}});
  const std::string big(64 * 1024, 'x');
  // The category says what happened, whatever the store.
  auto category = [](auto&& save) {
    try {
      save();
    } catch (const DatabaseError& e) {
      return e.category();
    }
    ADD_FAILURE() << "saved";
    return DatabaseErrorCategory::other;
  };
  EXPECT_EQ(category([&] {
              backends::save_version(book, a.object_id, 1, {{"title", big}});
            }),
            DatabaseErrorCategory::out_of_space);
  EXPECT_THROW(backends::save_new(book, {{"title", big}}), DatabaseError);
  EXPECT_EQ(snapshot(), before);
  // The object can still move on from the version it had.
  (void)db.run({"PRAGMA max_page_count = 1000000", {}, {}});
  EXPECT_EQ(backends::save_version(book, a.object_id, 1, {{"title", "ok"}}).object_version, 2);

  const std::string after = snapshot();
  backends::configure("default", folder.url("default.db", "?mode=ro"));
  EXPECT_EQ(category([&] {
              backends::save_version(book, a.object_id, 2, {{"title", "no"}});
            }),
            DatabaseErrorCategory::read_only);
  EXPECT_THROW(backends::delete_object(book, a.object_id), DatabaseError);
  EXPECT_EQ(snapshot(), after);
}

TEST_P(ObjectStore, ClassVersionsAndTheVersionDecision) {
  const ModelClassPtr v1 = book_class();
  EXPECT_EQ(backends::register_model_class(v1), 1);
  EXPECT_EQ(backends::register_model_class(v1), 1);  // the same schema keeps its version
  const auto old = backends::save_new(v1, {{"title", "Old"}, {"pages", 10}});

  // Gaining an optional field: compatible, old rows stay current instances.
  const ModelClassPtr v2 = book_class({{"isbn", CoreTypes::STRING, false, {}}});
  EXPECT_EQ(backends::register_model_class(v2), 2);
  EXPECT_EQ(backends::latest_class_version("Book"), 2);
  EXPECT_EQ(backends::compatible_class_versions("Book", 1), (std::vector<std::int64_t>{1, 2}));
  // Changing a field's type: rows saved before are no longer compatible.
  const ModelClassPtr v3 = ModelClass::create("Book", "books",
                                              {{"title", CoreTypes::STRING, true, {}},
                                               {"pages", CoreTypes::STRING, false, {}},
                                               {"isbn", CoreTypes::STRING, false, {}}});
  EXPECT_EQ(backends::register_model_class(v3), 3);
  EXPECT_EQ(backends::compatible_class_versions("Book", 1), (std::vector<std::int64_t>{1, 2}));
  EXPECT_EQ(backends::compatible_class_versions("Book", 3), (std::vector<std::int64_t>{3}));
  EXPECT_FALSE(backends::latest_class_version("Nobody"));
  const auto fresh = backends::save_new(v3, {{"title", "New"}, {"pages", "ten"}});
  EXPECT_EQ(fresh.class_version, 3);

  // What rows saved under each version come back as: version_cases.hpp.
  (void)old;
}

// Other databases have their own class versions and tables, and their own saves in flight
// to complete: reset (or configuring a framework alias anew) forgets what the process
// knew of the databases it replaced.
TEST_F(SqliteObjectStore, ReplacedDatabasesAreForgottenAndTheNewOnesRecovered) {
  const ModelClassPtr v1 = book_class();
  const ModelClassPtr v2 = book_class({{"isbn", CoreTypes::STRING, true, {}}});
  (void)backends::save_new(v1, {{"title", "A"}});
  (void)backends::save_new(v2, {{"title", "B"}, {"isbn", "x"}});
  EXPECT_EQ(backends::latest_class_version("Book"), 2);

  backends::reset();
  backends::configure("default", folder.url("default2.db"));
  backends::configure("lakehouse", folder.url("lake2.db"));
  EXPECT_FALSE(backends::latest_class_version("Book"));
  const auto c = backends::save_new(v2, {{"title", "C"}, {"isbn", "y"}});
  EXPECT_EQ(c.class_version, 1);
  EXPECT_EQ(QuerySet<Model>(v2).count().execute(), 1);

  // A save that committed in the lakehouse only, as a writer killed between the two
  // databases leaves it (in the save log's older layout, without save ids); the next save
  // after the lakehouse is configured anew completes it.
  auto& lake = dynamic_cast<backends::SqliteBackend&>(*backends::backend_for("lakehouse"));
  lake.run_script({{"DROP TABLE _velmor_pending", {}, {}},
                   {"CREATE TABLE _velmor_pending (seq INTEGER PRIMARY KEY, table_name TEXT NOT "
                    "NULL, object_id TEXT NOT NULL, object_version INTEGER NOT NULL, deleted "
                    "INTEGER NOT NULL)",
                    {},
                    {}}});
  const json::value id(json::string(c.object_id));
  for (const char* sql :
       {"INSERT INTO books (title, pages, isbn, _metadata, _object_id, _object_version, "
        "_class_version) SELECT 'C2', pages, isbn, _metadata, _object_id, 2, _class_version "
        "FROM books WHERE _object_id = ?",
        "UPDATE _velmor_objects SET latest_version = 2 WHERE object_id = ?",
        "INSERT INTO _velmor_pending (table_name, object_id, object_version, deleted) "
        "VALUES ('books', ?, 2, 0)"})
    (void)lake.run({sql, {id}, {}});
  backends::configure("lakehouse", folder.url("lake2.db"));
  (void)backends::save_new(v2, {{"title", "D"}, {"isbn", "z"}});
  EXPECT_EQ(QuerySet<Model>(v2).filter(NamedFilters{{"title", "C2"}}).count().execute(), 1);
  EXPECT_EQ(rows_in("lakehouse", "SELECT count(*) FROM _velmor_pending WHERE save_id IS NULL"), 0);
}

TEST_P(ObjectStore, BulkUpdateSavesANewVersionOfEachSelectedObject) {
  const ModelClassPtr book = book_class();
  for (int i = 0; i < 5; ++i)
    (void)backends::save_new(book, {{"title", "T" + std::to_string(i)}, {"pages", i}});
  const QuerySet<Model> books(book);
  const auto changes = book->construct({{"title", "same"}, {"pages", 99}});
  EXPECT_EQ(backends::bulk_update(books.filter(NamedFilters{{"pages__gte", 3}}), *changes), 2);
  EXPECT_EQ(books.filter(NamedFilters{{"pages", 99}}).count().execute(), 2);
  EXPECT_EQ(books.using_("lakehouse").count().execute(), 7);
  // A selection of some fields still builds each new version from the whole record.
  EXPECT_EQ(backends::bulk_update(books.only({"title"}).filter(NamedFilters{{"pages", 99}}),
                                  *book->construct({{"title", "kept"}})),
            2);
  EXPECT_EQ(books.filter(NamedFilters{{"title", "kept"}, {"pages", 99}}).count().execute(), 2);
  EXPECT_EQ(backends::bulk_update(books.none(), *changes), 0);
  EXPECT_EQ(books.using_("lakehouse").count().execute(), 9);
  const auto stranger = ModelClass::create("Other", "others", {})->construct({});
  EXPECT_THROW(backends::bulk_update(books, *stranger), BulkOperationError);
}

// All objects or none: a refused value of the last object, or a default database that
// is full, leaves every object at the version it had.
TEST_F(SqliteObjectStore, BulkUpdateIsAtomic) {
  const ModelClassPtr v1 = book_class();
  (void)backends::save_new(v1, {{"title", "a"}});
  (void)backends::save_new(v1, {{"title", "b"}, {"pages", 10}});
  // `pages` becomes text: the stored 10 of "b" no longer validates, "a" still does.
  const ModelClassPtr v2 = ModelClass::create(
      "Book", "books",
      {{"title", CoreTypes::STRING, true, {}}, {"pages", CoreTypes::STRING, false, {}}});
  const std::string before = snapshot();
  const std::int64_t entries = rows_in("lakehouse", "SELECT count(*) FROM _velmor_pending");
  const auto renamed = v2->construct({{"title", "renamed"}});
  EXPECT_THROW(backends::bulk_update(QuerySet<Model>(v2).order_by("title"), *renamed),
               velmor_utils::errors::ValidationError);
  EXPECT_EQ(snapshot(), before);

  auto& db = dynamic_cast<backends::SqliteBackend&>(*backends::backend_for("default"));
  const std::int64_t pages = db.run_scalar({"PRAGMA page_count", {}, {}});
  (void)db.run({"PRAGMA max_page_count = " + std::to_string(pages), {}, {}});
  const auto big = v1->construct({{"title", std::string(64 * 1024, 'x')}});
  EXPECT_THROW(backends::bulk_update(QuerySet<Model>(v1), *big), DatabaseError);
  EXPECT_EQ(snapshot(), before);
  EXPECT_EQ(rows_in("lakehouse", "SELECT count(*) FROM _velmor_pending"), entries);
}

// A bulk update next to a read-modify-write loop on the same objects: every new version
// builds on the one before it, so no increment is lost and none moves back.
TEST_P(ObjectStore, BulkUpdateNeverWritesOverAVersionItDidNotRead) {
  const ModelClassPtr cls = ModelClass::create(
      "Counter", "counters",
      {{"a", CoreTypes::INTEGER, false, {}}, {"b", CoreTypes::INTEGER, false, {}}});
  const std::string id = backends::save_new(cls, {{"a", 0}, {"b", 0}}).object_id;
  (void)backends::save_new(cls, {{"a", 0}, {"b", 0}});
  constexpr int rounds = 60;
  std::thread bulk([&] {
    for (int i = 1; i <= rounds; ++i)
      (void)backends::bulk_update(QuerySet<Model>(cls), *cls->construct({{"b", i}}));
  });
  for (int done = 0; done < rounds;) {
    const auto latest =
        QuerySet<Model>(cls).get(NamedFilters{{"_address__object_id", id}}).execute();
    try {
      (void)backends::save_version(
          cls, latest,
          {{"a", latest.model().get("a").as_int64() + 1}, {"b", latest.model().get("b")}});
      ++done;
    } catch (const backends::StaleVersionError& e) {  // overtaken: read again
      EXPECT_EQ(e.category(), DatabaseErrorCategory::conflict);
    }
  }
  bulk.join();
  std::int64_t a = -1, b = -1, versions = 0;
  for (const auto& m : QuerySet<Model>(cls)
                           .using_("lakehouse")
                           .filter(NamedFilters{{"_address__object_id", id}})
                           .order_by("_address__object_version")
                           .execute()) {
    ++versions;
    EXPECT_GE(m->find("a")->as_int64(), a) << "version " << versions << " moved a back";
    EXPECT_GE(m->find("b")->as_int64(), b) << "version " << versions << " moved b back";
    a = m->find("a")->as_int64();
    b = m->find("b")->as_int64();
  }
  EXPECT_EQ(a, rounds);
  EXPECT_EQ(b, rounds);
  EXPECT_EQ(versions, 1 + 2 * rounds);
}

boost::asio::awaitable<void> write_and_rewrite(ModelClassPtr book, int i, int& finished) {
  json::object first{{"title", "T" + std::to_string(i)}};
  const backends::ObjectAddress a = co_await backends::asave_new(book, std::move(first));
  json::object second{{"title", "U"}, {"pages", i}};
  const backends::ObjectAddress a2 = co_await backends::asave_version(book, a, std::move(second));
  if (i % 2) co_await backends::adelete_object(book, a2.object_id);
  ++finished;
}

// The coroutine writes: many on one event loop thread, and cancellations at each await,
// which leave a write either whole or not begun.
TEST_P(ObjectStore, CoroutineWritesShareOneLoopAndACancelledOneIsWholeOrNothing) {
  const ModelClassPtr book = book_class();
  boost::asio::io_context loop;
  int finished = 0;
  for (int i = 0; i < 8; ++i)
    boost::asio::co_spawn(loop, write_and_rewrite(book, i, finished), boost::asio::detached);
  loop.run();
  EXPECT_EQ(finished, 8);
  const QuerySet<Model> books(book);
  EXPECT_EQ(books.count().execute(), 4);
  EXPECT_EQ(books.using_("lakehouse").count().execute(), 16);
  EXPECT_EQ(awaited(backends::abulk_update(books, *book->construct({{"title", "V"}}))), 4);
  EXPECT_EQ(books.filter(NamedFilters{{"title", "V"}}).count().execute(), 4);

  const auto target = backends::save_new(book, {{"title", "C"}});
  std::int64_t version = 1;
  for (int polls = 0; polls < 6; ++polls) {
    boost::asio::io_context io;
    boost::asio::cancellation_signal cancel;
    std::optional<bool> saved;
    boost::asio::co_spawn(
        io, backends::asave_version(book, target.object_id, version, {{"title", "C"}}),
        boost::asio::bind_cancellation_slot(
            cancel.slot(),
            [&](std::exception_ptr e, const backends::ObjectAddress&) { saved = !e; }));
    for (int p = 0; p < polls; ++p) (void)io.run_one();
    cancel.emit(boost::asio::cancellation_type::terminal);
    io.run();
    ASSERT_TRUE(saved.has_value());
    if (*saved) ++version;
    const auto stored =
        books.get(NamedFilters{{"_address__object_id", target.object_id}}).execute();
    EXPECT_EQ(stored.address()->object_version, version) << "after " << polls << " polls";
    EXPECT_EQ(books.using_("lakehouse")
                  .filter(NamedFilters{{"_address__object_id", target.object_id}})
                  .count()
                  .execute(),
              version);
  }
}

// A writer killed at random moments: afterwards (and after the recovery every process runs
// before its first save) the default database holds exactly the latest version of every
// live object of the lakehouse, and the lakehouse every version without gaps.
TEST_P(ObjectStore, AWriterKilledAtRandomMomentsLeavesBothDatabasesAgreeing) {
  if (GetParam() == "sqlite::memory:") GTEST_SKIP() << "a child process sees no memory of ours";
  const auto [default_url, lake_url] = urls;
  backends::reset();  // the child opens its own connections
  std::mt19937 rng(12345);
  const auto started = std::chrono::steady_clock::now();
  for (int round = 0; round < 8; ++round) {
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      try {
        backends::configure("default", default_url);
        backends::configure("lakehouse", lake_url);
        const ModelClassPtr book = book_class();
        std::vector<std::pair<std::string, std::int64_t>> mine;
        for (std::uint64_t i = 0;; ++i) {
          if (i % 7 == 0 || mine.empty()) {
            std::vector<json::object> batch(3, json::object{{"title", "b"}, {"pages", 1}});
            for (const auto& a : backends::save_new_batch(book, batch))
              mine.emplace_back(a.object_id, 1);
          } else if (i % 11 == 0) {
            backends::delete_object(book, mine.back().first);
            mine.pop_back();
          } else {
            auto& [id, version] = mine[i % mine.size()];
            version = backends::save_version(book, id, version, {{"title", "v"}, {"pages", i}})
                          .object_version;
          }
        }
      } catch (const std::exception& e) {
        std::fprintf(stderr, "writer failed: %s\n", e.what());
        ::_exit(3);
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20 + rng() % 120));
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the writer stopped on its own: " << status;
  }
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));

  backends::configure("default", default_url);
  backends::configure("lakehouse", lake_url);
  backends::recover_pending_saves();
  EXPECT_EQ(rows_in("lakehouse", "SELECT count(*) FROM _velmor_pending"), 0);
  // Live objects: one default row each, at the lakehouse's latest version.
  // The writers wrote something (how much depends on the machine and the build).
  EXPECT_GT(rows_in("lakehouse", "SELECT count(*) FROM books"), 0);
  // Read back whole (through the driver, on any store) and compared here.
  auto rows_of = [](std::string_view alias, const std::string& sql) {
    auto lease = backends::backend_for(alias)->lease();
    std::map<std::string, std::int64_t> out;
    for (const auto& row : lease->fetch(sql).rows)
      out[velmor_models::backends::driver::text_of(row.at(0), "an id")] +=
          velmor_models::backends::driver::integer_of(row.at(1), "a version");
    return out;
  };
  const auto live = rows_of(
      "lakehouse", "SELECT object_id, latest_version FROM _velmor_objects WHERE deleted = 0");
  EXPECT_EQ(rows_of("default", "SELECT \"_object_id\", \"_object_version\" FROM books"), live);
  // Every version from 1 to the latest is in the lakehouse, and nothing beyond it.
  const auto latest = rows_of("lakehouse", "SELECT object_id, latest_version FROM _velmor_objects");
  const auto versions =
      rows_of("lakehouse", "SELECT \"_object_id\", count(*) FROM books GROUP BY 1");
  EXPECT_EQ(versions, latest);
}

INSTANTIATE_TEST_SUITE_P(Stores, ObjectStore, velmor_test::sql_stores(), velmor_test::store_name);

}  // namespace
