#include "velmor_models/backends/driver/connection.hpp"

#include <functional>

namespace velmor_models::backends::driver {
namespace {

// A store whose calls block: the whole call is one blocking step. `Base` carries the
// result the call leaves behind.
template <class Base>
class BlockingCall final : public Base {
 public:
  explicit BlockingCall(std::function<void(Base&)> call) : call_(std::move(call)) {}
  Wait step(Ready) override {
    if (!started_) {
      started_ = true;
      return {Wait::Kind::blocking};
    }
    call_(*this);
    return {};
  }

 private:
  std::function<void(Base&)> call_;
  bool started_ = false;
};

template <class Base>
std::unique_ptr<Base> blocking(std::function<void(Base&)> call) {
  return std::make_unique<BlockingCall<Base>>(std::move(call));
}

// Converted before the co_await: g++ 12 destroys a temporary made inside it twice.
boost::asio::awaitable<void> ran(std::unique_ptr<Operation> op) {
  const std::shared_ptr<Operation> steps = std::move(op);
  co_await arun(steps);
}

boost::asio::awaitable<std::int64_t> executed(std::shared_ptr<Execution> op) {
  const std::shared_ptr<Operation> steps = op;
  co_await arun(steps);
  co_return op->changed;
}

boost::asio::awaitable<Rows> fetched(std::shared_ptr<Fetch> op) {
  const std::shared_ptr<Operation> steps = op;
  co_await arun(steps);
  co_return std::move(op->result);
}

}  // namespace

std::unique_ptr<Operation> blocking_call(std::function<void()> call) {
  return blocking<Operation>([call = std::move(call)](Operation&) { call(); });
}

std::optional<Value> Connection::scalar(const std::string& sql, std::vector<Value> params) {
  std::unique_ptr<Cursor> rows = query(sql, std::move(params));
  if (!rows->next()) return std::nullopt;
  return rows->value(0);
}

namespace {

Rows read_all(std::unique_ptr<Cursor> rows) {
  Rows out;
  for (std::size_t i = 0; i < rows->column_count(); ++i)
    out.columns.push_back(rows->column_name(i));
  while (rows->next()) {
    std::vector<Value>& row = out.rows.emplace_back();
    row.reserve(out.columns.size());
    for (std::size_t i = 0; i < out.columns.size(); ++i) row.push_back(rows->value(i));
  }
  return out;
}

}  // namespace

// Through start_fetch, so that a store driven by socket readiness reads the rows whole
// in both forms rather than through a cursor.
Rows Connection::fetch(const std::string& sql, std::vector<Value> params) {
  std::unique_ptr<Fetch> op = start_fetch(sql, std::move(params));
  run(*op);
  return std::move(op->result);
}

std::unique_ptr<Execution> Connection::start_execute(std::string sql, std::vector<Value> params) {
  return blocking<Execution>([this, sql = std::move(sql), params = std::move(params)](
                                 Execution& op) { op.changed = execute(sql, params); });
}

std::vector<std::int64_t> Connection::execute_each(const std::string& sql,
                                                   const std::vector<std::vector<Value>>& params) {
  std::vector<std::int64_t> changed;
  changed.reserve(params.size());
  for (const auto& p : params) changed.push_back(execute(sql, p));
  return changed;
}

namespace {

// One execution after the other, each made when its turn comes; the rows each changed.
class EachExecution final : public Operation {
 public:
  EachExecution(Connection& conn, std::string sql, std::vector<std::vector<Value>> params,
                std::vector<std::int64_t>& changed)
      : conn_(conn), sql_(std::move(sql)), params_(std::move(params)), changed_(changed) {
    changed_.clear();
    changed_.reserve(params_.size());
  }
  Wait step(Ready ready) override {
    for (;;) {
      if (!current_) {
        if (changed_.size() == params_.size()) return {};
        current_ = conn_.start_execute(sql_, std::move(params_[changed_.size()]));
        ready = Ready::none;
      }
      const Wait wait = current_->step(ready);
      if (wait.kind != Wait::Kind::done) return wait;
      changed_.push_back(current_->changed);
      current_.reset();
    }
  }
  void cancel() noexcept override {
    if (current_) current_->cancel();
  }

 private:
  Connection& conn_;
  std::string sql_;
  std::vector<std::vector<Value>> params_;
  std::vector<std::int64_t>& changed_;
  std::unique_ptr<Execution> current_;
};

}  // namespace

// The steps of each execution in turn: a store in non-blocking mode keeps its own steps.
std::unique_ptr<Operation> Connection::start_execute_each(std::string sql,
                                                          std::vector<std::vector<Value>> params,
                                                          std::vector<std::int64_t>& changed) {
  return std::make_unique<EachExecution>(*this, std::move(sql), std::move(params), changed);
}

namespace {
// The operation writes into `out`, which this coroutine frame keeps.
boost::asio::awaitable<std::vector<std::int64_t>> each_executed(
    Connection& conn, std::string sql, std::vector<std::vector<Value>> params) {
  std::vector<std::int64_t> out;
  const std::shared_ptr<Operation> steps =
      conn.start_execute_each(std::move(sql), std::move(params), out);
  co_await arun(steps);
  co_return out;
}
}  // namespace

boost::asio::awaitable<std::vector<std::int64_t>> Connection::aexecute_each(
    std::string sql, std::vector<std::vector<Value>> params) {
  return each_executed(*this, std::move(sql), std::move(params));
}

std::unique_ptr<Fetch> Connection::start_fetch(std::string sql, std::vector<Value> params) {
  return blocking<Fetch>([this, sql = std::move(sql), params = std::move(params)](Fetch& op) {
    op.result = read_all(query(sql, params));
  });
}

std::unique_ptr<Operation> Connection::start_insert_rows(
    const classes::model::ModelClass& cls, std::span<const boost::json::object> records) {
  return blocking<Operation>([this, &cls, records](Operation&) { insert_rows(cls, records); });
}

std::unique_ptr<Operation> Connection::start_begin() {
  return blocking<Operation>([this](Operation&) { begin(); });
}

std::unique_ptr<Operation> Connection::start_commit() {
  return blocking<Operation>([this](Operation&) { commit(); });
}

boost::asio::awaitable<std::int64_t> Connection::aexecute(std::string sql,
                                                          std::vector<Value> params) {
  return executed(start_execute(std::move(sql), std::move(params)));
}

boost::asio::awaitable<Rows> Connection::afetch(std::string sql, std::vector<Value> params) {
  return fetched(start_fetch(std::move(sql), std::move(params)));
}

boost::asio::awaitable<void> Connection::ainsert_rows(
    const classes::model::ModelClass& cls, std::span<const boost::json::object> records) {
  return ran(start_insert_rows(cls, records));
}

boost::asio::awaitable<void> Connection::abegin() {
  return ran(start_begin());
}

boost::asio::awaitable<void> Connection::acommit() {
  return ran(start_commit());
}

boost::asio::awaitable<void> Transaction::acommit() {
  co_await conn_.acommit();
  done_ = true;
}

}  // namespace velmor_models::backends::driver
