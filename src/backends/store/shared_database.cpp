#include "backends/store/shared_database.hpp"

#include <mutex>

#include "velmor_models/backends/sql/dialect.hpp"
#include "velmor_utils/errors.hpp"

namespace velmor_models::backends::store {
namespace {

using driver::Operation;
using driver::Ready;
using driver::Wait;

// The search path set, then the statement, then the lakehouse's path again.
std::unique_ptr<driver::Sequence> around(Connection& base, const std::string& enter,
                                         const std::string& leave,
                                         std::unique_ptr<Operation> inner) {
  const std::string set = base.dialect().set_search_path();
  std::vector<std::unique_ptr<Operation>> steps;
  steps.push_back(base.start_execute(set, {enter}));
  steps.push_back(std::move(inner));
  steps.push_back(base.start_execute(set, {leave}));
  return std::make_unique<driver::Sequence>(std::move(steps));
}

class ViewExecution final : public driver::Execution {
 public:
  ViewExecution(Connection& base, const std::string& enter, const std::string& leave,
                std::unique_ptr<driver::Execution> inner)
      : inner_(inner.get()), steps_(around(base, enter, leave, std::move(inner))) {}
  Wait step(Ready ready) override {
    const Wait w = steps_->step(ready);
    if (w.kind == Wait::Kind::done) changed = inner_->changed;
    return w;
  }
  void cancel() noexcept override { steps_->cancel(); }

 private:
  driver::Execution* inner_;
  std::unique_ptr<driver::Sequence> steps_;
};

class ViewFetch final : public driver::Fetch {
 public:
  ViewFetch(Connection& base, const std::string& enter, const std::string& leave,
            std::unique_ptr<driver::Fetch> inner)
      : inner_(inner.get()), steps_(around(base, enter, leave, std::move(inner))) {}
  Wait step(Ready ready) override {
    const Wait w = steps_->step(ready);
    if (w.kind == Wait::Kind::done) result = std::move(inner_->result);
    return w;
  }
  void cancel() noexcept override { steps_->cancel(); }

 private:
  driver::Fetch* inner_;
  std::unique_ptr<driver::Sequence> steps_;
};

class DefaultView final : public Connection {
 public:
  DefaultView(Connection& base, const SharedDatabase& shared)
      : base_(base), enter_(shared.default_schema), leave_(shared.lake_path) {}
  const std::string& alias() const noexcept override { return base_.alias(); }
  const sql::Dialect& dialect() const noexcept override { return base_.dialect(); }
  std::optional<std::int64_t> session() const noexcept override { return base_.session(); }

  std::int64_t execute(const std::string& sql, const std::vector<Value>& params) override {
    auto op = start_execute(sql, params);
    driver::run(*op);
    return op->changed;
  }
  std::unique_ptr<driver::Execution> start_execute(std::string sql,
                                                   std::vector<Value> params) override {
    return std::make_unique<ViewExecution>(
        base_, enter_, leave_, base_.start_execute(std::move(sql), std::move(params)));
  }
  std::vector<std::int64_t> execute_each(
      const std::string& sql, const std::vector<std::vector<Value>>& params) override {
    std::vector<std::int64_t> changed;
    auto op = start_execute_each(sql, params, changed);
    driver::run(*op);
    return changed;
  }
  std::unique_ptr<Operation> start_execute_each(std::string sql,
                                                std::vector<std::vector<Value>> params,
                                                std::vector<std::int64_t>& changed) override {
    return around(base_, enter_, leave_,
                  base_.start_execute_each(std::move(sql), std::move(params), changed));
  }
  std::unique_ptr<driver::Cursor> query(const std::string&, std::vector<Value>) override {
    throw velmor_utils::errors::TypeError(
        "a view of the default schema reads whole results only (fetch)");
  }
  std::unique_ptr<driver::Fetch> start_fetch(std::string sql, std::vector<Value> params) override {
    return std::make_unique<ViewFetch>(base_, enter_, leave_,
                                       base_.start_fetch(std::move(sql), std::move(params)));
  }
  void insert_rows(const classes::model::ModelClass& cls,
                   std::span<const boost::json::object> records) override {
    driver::run(*start_insert_rows(cls, records));
  }
  std::unique_ptr<Operation> start_insert_rows(
      const classes::model::ModelClass& cls,
      std::span<const boost::json::object> records) override {
    return around(base_, enter_, leave_, base_.start_insert_rows(cls, records));
  }
  // The lakehouse's transaction is the save's only one.
  void begin() override {}
  void commit() override {}
  void rollback() noexcept override {}
  std::unique_ptr<Operation> start_begin() override { return nothing(); }
  std::unique_ptr<Operation> start_commit() override { return nothing(); }

 private:
  static std::unique_ptr<Operation> nothing() {
    return std::make_unique<driver::Sequence>(std::vector<std::unique_ptr<Operation>>{});
  }
  Connection& base_;
  std::string enter_, leave_;
};

// Which database a connection reaches: (server and database, schema, search path).
awaitable<std::optional<std::vector<Value>>> identity(Connection& conn) {
  const std::string sql = conn.dialect().database_identity();
  if (sql.empty()) co_return std::nullopt;
  Rows found = co_await conn.afetch(sql, {});
  if (found.rows.empty()) co_return std::nullopt;
  co_return std::move(found.rows.front());
}

std::mutex found_mutex;
std::weak_ptr<Backend> found_lake, found_main;
std::optional<SharedDatabase> found;

}  // namespace

awaitable<std::optional<SharedDatabase>> shared_database() {
  const std::shared_ptr<Backend> l = lake_store(), d = main_store();
  {
    std::lock_guard lock(found_mutex);
    if (found_lake.lock() == l && found_main.lock() == d) co_return found;
  }
  std::optional<SharedDatabase> shared;
  if (l != d && l->dialect() == d->dialect()) {
    std::optional<std::vector<Value>> lake_id, main_id;
    {
      Lease lease = co_await l->alease();
      lake_id = co_await identity(*lease);
    }
    if (lake_id) {
      Lease lease = co_await d->alease();
      main_id = co_await identity(*lease);
    }
    if (lake_id && main_id && lake_id->at(0) == main_id->at(0)) {
      if (lake_id->at(1) == main_id->at(1))
        throw velmor_utils::errors::ValueError(
            "The default and lakehouse aliases name the same schema of one database; they "
            "must name two (their tables have the same names)");
      std::string schema;
      l->dialect()->quote_identifier(schema, driver::text_of(main_id->at(1), "a schema"));
      shared = SharedDatabase{std::move(schema), driver::text_of(lake_id->at(2), "a path")};
    }
  }
  std::lock_guard lock(found_mutex);
  found_lake = l;
  found_main = d;
  found = shared;
  co_return shared;
}

Lease default_view(Connection& lake, const SharedDatabase& shared) {
  auto view = std::make_shared<DefaultView>(lake, shared);
  Connection& conn = *view;
  return Lease(conn, std::move(view));
}

}  // namespace velmor_models::backends::store
