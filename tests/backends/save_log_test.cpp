// The save log's rule for the default database's commit, which follows the lakehouse's:
// done, its entries go; refused, the lakehouse part is taken back; of unknown outcome (the
// answer never arrived), nothing is taken back and the entries stay for the replay, since
// the commit may have happened. Run on connections that record what they are asked to do.
// (A completed save's entries are removed by a later save's lakehouse transaction.)

#include "backends/store/save_log.hpp"

#include "backends/driver/run_sync.hpp"

#include <gtest/gtest.h>

#include <optional>

#include "velmor_models/backends/sql/dialect.hpp"
#include "velmor_models/querysets/errors.hpp"

namespace {

namespace driver = velmor_models::backends::driver;
using velmor_models::backends::store::SaveLog;
using velmor_models::querysets::errors::DatabaseError;
using velmor_models::querysets::errors::DatabaseErrorCategory;

class NoRows final : public driver::Cursor {
 public:
  bool next() override { return false; }
  std::size_t column_count() const override { return 0; }
  std::string column_name(std::size_t) const override { return {}; }
  driver::Value value(std::size_t) const override { return {}; }
};

class Recording final : public driver::Connection {
 public:
  explicit Recording(std::string alias, std::optional<DatabaseErrorCategory> commit_fails = {})
      : alias_(std::move(alias)), commit_fails_(commit_fails) {}
  const std::string& alias() const noexcept override { return alias_; }
  const velmor_models::backends::sql::Dialect& dialect() const noexcept override {
    return velmor_models::backends::sql::sqlite_dialect();
  }
  std::int64_t execute(const std::string& sql, const std::vector<driver::Value>&) override {
    done.push_back(sql.substr(0, sql.find(" WHERE")));
    return 1;
  }
  std::unique_ptr<driver::Cursor> query(const std::string& sql,
                                        std::vector<driver::Value>) override {
    done.push_back(sql.substr(0, sql.find(" WHERE")));
    return std::make_unique<NoRows>();
  }
  void insert_rows(const velmor_models::classes::model::ModelClass&,
                   std::span<const boost::json::object>) override {
    done.push_back("insert rows");
  }
  void begin() override { done.push_back("BEGIN"); }
  void commit() override {
    done.push_back("COMMIT");
    if (commit_fails_)
      throw DatabaseError("no answer", alias_, "COMMIT", "", false, *commit_fails_);
  }
  void rollback() noexcept override { done.push_back("ROLLBACK"); }
  std::vector<std::string> done;

 private:
  std::string alias_;
  std::optional<DatabaseErrorCategory> commit_fails_;
};

using Steps = std::vector<std::string>;

// The steps of the commits: what each connection was asked to do from the lakehouse's
// commit on.
std::pair<Steps, Steps> finish(std::optional<DatabaseErrorCategory> commit_fails) {
  Recording lake("lakehouse"), main("default", commit_fails);
  SaveLog log;
  driver::Transaction lake_part(lake);
  log.add("Book", "books", "o1", 2, false);
  driver::run_sync(log.write(lake));
  lake.done.clear();
  driver::Transaction held(main);
  try {
    driver::run_sync(log.commit(lake_part, held));
    EXPECT_FALSE(commit_fails) << "a failed commit reported as done";
  } catch (const DatabaseError& e) {
    EXPECT_EQ(e.category(), *commit_fails);
  }
  return {lake.done, main.done};
}

TEST(SaveLog, TheDefaultCommitDoneRefusedOrOfUnknownOutcome) {
  const auto [lake_done, main_done] = finish(std::nullopt);
  EXPECT_EQ(lake_done, Steps{"COMMIT"}) << "its entries go with a later save's";
  EXPECT_EQ(main_done, (Steps{"BEGIN", "COMMIT"}));

  const auto [lake_refused, main_refused] = finish(DatabaseErrorCategory::out_of_space);
  // Its version goes, and the object's state is read again from what stays (here nothing:
  // the object goes too).
  EXPECT_EQ(lake_refused,
            (Steps{"COMMIT", "BEGIN", "DELETE FROM \"books\"",
                   "SELECT \"_object_version\", \"_saved_at\" FROM \"books\"",
                   "DELETE FROM \"_velmor_objects\"", "DELETE FROM \"_velmor_pending\"", "COMMIT"}));
  EXPECT_EQ(main_refused, (Steps{"BEGIN", "COMMIT", "ROLLBACK"}));

  const auto [lake_unknown, main_unknown] = finish(DatabaseErrorCategory::outcome_unknown);
  EXPECT_EQ(lake_unknown, Steps{"COMMIT"}) << "took back what may have been committed";
  EXPECT_EQ(main_unknown, (Steps{"BEGIN", "COMMIT"}));
}

}  // namespace
