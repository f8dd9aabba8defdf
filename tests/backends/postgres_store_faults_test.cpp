// The object store on PostgreSQL when a commit's answer never comes, or never goes: the
// lakehouse's commit is settled on a fresh connection, the default's is replayed before the
// next save, and a locked default database fails the save with nothing written. The
// connections are wrapped so that a test can lose one exactly around its commit.

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>

#include "backends/pg_schema.hpp"
#include "velmor_models/backends/object_store.hpp"
#include "velmor_models/backends/postgres/postgres_backend.hpp"
#include "velmor_models/backends/registry.hpp"
#include "velmor_models/backends/sql/dialect.hpp"
#include "velmor_models/querysets/errors.hpp"
#include "velmor_models/querysets/qsetkit.hpp"

namespace {

namespace backends = velmor_models::backends;
namespace driver = velmor_models::backends::driver;
namespace json = boost::json;
using velmor_models::classes::model::CoreTypes;
using velmor_models::classes::model::ModelClass;
using velmor_models::classes::model::ModelClassPtr;
using velmor_models::querysets::errors::DatabaseError;
using velmor_models::querysets::errors::DatabaseErrorCategory;
using velmor_models::querysets::qsetkit::Model;
using velmor_models::querysets::qsetkit::QuerySet;

// What happens to the next commit of an alias's connections.
enum class Loss { none, answer_after_commit, connection_before_commit, serialization_failure };
std::atomic<Loss> lakehouse_loss{Loss::none}, default_loss{Loss::none};

// Ends the server session `pid` from a connection of its own.
void terminate_session(std::int64_t pid) {
  auto lease = backends::backend_for("velmor_test_admin")->lease();
  (void)lease->fetch("SELECT pg_terminate_backend(CAST($1 AS integer))", {pid});
}

// A connection that forwards everything to a PostgreSQL one, but can lose its commit.
class Flaky final : public driver::Connection {
 public:
  Flaky(driver::Connection& inner, std::atomic<Loss>& loss) : inner_(inner), loss_(loss) {}
  const std::string& alias() const noexcept override { return inner_.alias(); }
  const velmor_models::backends::sql::Dialect& dialect() const noexcept override {
    return inner_.dialect();
  }
  std::optional<std::int64_t> session() const noexcept override { return inner_.session(); }
  std::int64_t execute(const std::string& sql, const std::vector<driver::Value>& p) override {
    return inner_.execute(sql, p);
  }
  std::unique_ptr<driver::Execution> start_execute(std::string sql,
                                                   std::vector<driver::Value> p) override {
    return inner_.start_execute(std::move(sql), std::move(p));
  }
  std::unique_ptr<driver::Operation> start_execute_each(
      std::string sql, std::vector<std::vector<driver::Value>> p,
      std::vector<std::int64_t>& changed) override {
    return inner_.start_execute_each(std::move(sql), std::move(p), changed);
  }
  std::unique_ptr<driver::Cursor> query(const std::string& sql,
                                        std::vector<driver::Value> p) override {
    return inner_.query(sql, std::move(p));
  }
  std::unique_ptr<driver::Fetch> start_fetch(std::string sql,
                                             std::vector<driver::Value> p) override {
    return inner_.start_fetch(std::move(sql), std::move(p));
  }
  void insert_rows(const ModelClass& cls, std::span<const json::object> r) override {
    inner_.insert_rows(cls, r);
  }
  std::unique_ptr<driver::Operation> start_insert_rows(const ModelClass& cls,
                                                       std::span<const json::object> r) override {
    return inner_.start_insert_rows(cls, r);
  }
  void widened_columns(const std::string& table, std::vector<std::string> columns) override {
    inner_.widened_columns(table, std::move(columns));
  }
  void begin() override { inner_.begin(); }
  void commit() override { driver::run(*start_commit()); }
  void rollback() noexcept override { inner_.rollback(); }
  std::unique_ptr<driver::Operation> start_begin() override { return inner_.start_begin(); }
  std::unique_ptr<driver::Operation> start_commit() override {
    const Loss loss = loss_.exchange(Loss::none);
    if (loss == Loss::none) return inner_.start_commit();
    if (loss == Loss::serialization_failure)
      return driver::blocking_call([this] {
        inner_.rollback();
        throw DatabaseError("could not serialize access", inner_.alias(), "COMMIT", "40001", true,
                            DatabaseErrorCategory::conflict, 0, "40001");
      });
    // The session ends after its COMMIT ran, or before it reached the server; either way
    // the caller hears nothing of it.
    std::vector<std::unique_ptr<driver::Operation>> steps;
    if (loss == Loss::answer_after_commit) steps.push_back(inner_.start_commit());
    steps.push_back(driver::blocking_call([this] {
      terminate_session(*inner_.session());
      try {  // the connection learns that its session is gone, as a lost answer tells it
        (void)inner_.fetch("SELECT 1");
      } catch (const DatabaseError&) {
      }
      throw DatabaseError("the answer never came", inner_.alias(), "COMMIT", "", false,
                          DatabaseErrorCategory::outcome_unknown);
    }));
    return std::make_unique<driver::Sequence>(std::move(steps));
  }

 private:
  driver::Connection& inner_;
  std::atomic<Loss>& loss_;
};

// A PostgreSQL store whose leased connections are Flaky.
class FlakyStore final : public backends::Backend {
 public:
  FlakyStore(std::shared_ptr<backends::Backend> inner, std::atomic<Loss>& loss)
      : inner_(std::move(inner)), loss_(loss) {}
  std::vector<velmor_glue::Data> query(const backends::QuerySetReader& qs) override {
    return inner_->query(qs);
  }
  std::int64_t count(const backends::QuerySetReader& qs) override { return inner_->count(qs); }
  boost::asio::awaitable<std::vector<velmor_glue::Data>> aquery(
      const backends::QuerySetReader& qs) override {
    return inner_->aquery(qs);
  }
  boost::asio::awaitable<std::int64_t> acount(const backends::QuerySetReader& qs) override {
    return inner_->acount(qs);
  }
  const velmor_models::backends::sql::Dialect* dialect() const noexcept override {
    return inner_->dialect();
  }
  bool waits_on_sockets() const noexcept override { return inner_->waits_on_sockets(); }
  driver::Lease lease() override { return wrapped(inner_->lease()); }
  boost::asio::awaitable<driver::Lease> alease() override {
    co_return wrapped(co_await inner_->alease());
  }

 private:
  driver::Lease wrapped(driver::Lease inner) {
    struct Held {
      Held(driver::Lease lease, std::atomic<Loss>& loss)
          : inner(std::move(lease)), flaky(*inner, loss) {}
      driver::Lease inner;
      Flaky flaky;
    };
    auto held = std::make_shared<Held>(std::move(inner), loss_);
    driver::Connection& conn = held->flaky;
    return driver::Lease(conn, std::move(held));
  }
  std::shared_ptr<backends::Backend> inner_;
  std::atomic<Loss>& loss_;
};

class PostgresStoreFaults : public testing::Test {
 protected:
  void SetUp() override {
    if (!velmor_test::pg_url()) GTEST_SKIP() << velmor_test::pg_skip_reason;
    backends::reset();
    for (const auto& [scheme, which] : {std::pair{"flaky-lakehouse", &lakehouse_loss},
                                        std::pair{"flaky-default", &default_loss}}) {
      std::atomic<Loss>* const loss = which;  // (clang 14 captures no structured binding)
      backends::register_store(scheme, [loss](std::string alias, const backends::DatabaseUrl& url) {
        auto inner = std::make_shared<backends::PostgresBackend>(
            std::move(alias), backends::parse_database_url("postgresql:" + url.rest));
        return std::make_shared<FlakyStore>(std::move(inner), *loss);
      });
    }
    // Lock waits short: a locked database fails the save at once.
    const std::string locks = "-c lock_timeout=300";
    backends::configure("default", "flaky-default:" + stripped(velmor_test::fresh_pg_url(locks)));
    // In another database: a save then commits twice (a shared one commits once).
    backends::configure("lakehouse",
                        "flaky-lakehouse:" + stripped(velmor_test::fresh_pg_url(locks, true)));
  }
  void TearDown() override {
    lakehouse_loss = default_loss = Loss::none;
    backends::reset();
  }
  // What follows the scheme of a `postgresql:` URL.
  static std::string stripped(const std::string& url) { return url.substr(url.find(':') + 1); }

  static ModelClassPtr book() {
    static const ModelClassPtr cls = ModelClass::create(
        "FaultBook", "fault_books", {{"title", CoreTypes::STRING, true, {}}});
    return cls;
  }
  static std::int64_t live() { return QuerySet<Model>(book()).count().execute(); }
  static std::int64_t versions() {
    return QuerySet<Model>(book()).using_("lakehouse").count().execute();
  }
};

TEST_F(PostgresStoreFaults, ALakehouseCommitWhoseAnswerNeverCameIsSettledOnAFreshConnection) {
  const auto a = backends::save_new(book(), {{"title", "a"}});
  // It committed: the save goes on and completes in both databases.
  lakehouse_loss = Loss::answer_after_commit;
  EXPECT_EQ(backends::save_version(book(), a, {{"title", "a2"}}).object_version, 2);
  EXPECT_EQ(versions(), 2);
  EXPECT_EQ(QuerySet<Model>(book()).get(velmor_models::querysets::qsetkit::NamedFilters{
                                             {"title", "a2"}})
                .execute()
                .address()
                ->object_version,
            2);
  // It never reached the server: nothing was saved, and the caller is told so.
  lakehouse_loss = Loss::connection_before_commit;
  try {
    (void)backends::save_new(book(), {{"title", "b"}});
    ADD_FAILURE() << "a lost save reported as saved";
  } catch (const DatabaseError& e) {
    EXPECT_EQ(e.category(), DatabaseErrorCategory::connection_lost) << e.what();
  }
  EXPECT_EQ(live(), 1);
  EXPECT_EQ(versions(), 2);
}

TEST_F(PostgresStoreFaults, ADefaultCommitOfUnknownOutcomeIsReplayedBeforeTheNextSave) {
  (void)backends::save_new(book(), {{"title", "a"}});
  // The default's commit is lost before it reaches the server: the save is reported as of
  // unknown outcome (it is complete in the lakehouse), and the next save replays it.
  default_loss = Loss::connection_before_commit;
  try {
    (void)backends::save_new(book(), {{"title", "b"}});
    ADD_FAILURE() << "reported as saved";
  } catch (const DatabaseError& e) {
    EXPECT_EQ(e.category(), DatabaseErrorCategory::outcome_unknown) << e.what();
  }
  EXPECT_EQ(live(), 1);
  (void)backends::save_new(book(), {{"title", "c"}});
  EXPECT_EQ(live(), 3);
  EXPECT_EQ(versions(), 3);
}

// The server refuses a save over a conflict (as SERIALIZABLE does on a write skew): the
// store runs it again, and it is saved once.
TEST_F(PostgresStoreFaults, ASaveRefusedOverAConflictRunsAgain) {
  const auto a = backends::save_new(book(), {{"title", "a"}});
  lakehouse_loss = Loss::serialization_failure;
  EXPECT_EQ(backends::save_version(book(), a, {{"title", "a2"}}).object_version, 2);
  EXPECT_EQ(lakehouse_loss.load(), Loss::none) << "the refusal never came";
  EXPECT_EQ(versions(), 2);
  EXPECT_EQ(live(), 1);
}

TEST_F(PostgresStoreFaults, ALockedDefaultDatabaseFailsTheSaveWithNothingWritten) {
  const auto a = backends::save_new(book(), {{"title", "a"}});
  {
    // Another session holds the object's row of the default database.
    auto holder = backends::backend_for("default")->lease();
    holder->begin();
    (void)holder->fetch("SELECT 1 FROM fault_books WHERE \"_object_id\" = $1 FOR UPDATE",
                        {a.object_id});
    try {
      (void)backends::save_version(book(), a, {{"title", "a2"}});
      ADD_FAILURE() << "saved past a lock";
    } catch (const DatabaseError& e) {
      EXPECT_EQ(e.category(), DatabaseErrorCategory::busy) << e.what();
    }
  }  // its transaction rolled back as its connection goes back to the pool
  EXPECT_EQ(versions(), 1);
  EXPECT_EQ(backends::save_version(book(), a, {{"title", "a2"}}).object_version, 2);
}

}  // namespace
