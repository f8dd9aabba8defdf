#include "velmor_models/backends/driver/connection.hpp"

namespace velmor_models::backends::driver {
namespace {

// A store whose calls block: the whole statement is one blocking step.
class BlockingExecution final : public Execution {
 public:
  BlockingExecution(Connection& conn, std::string sql, std::vector<Value> params)
      : conn_(conn), sql_(std::move(sql)), params_(std::move(params)) {}
  Wait step(Ready) override {
    if (!started_) {
      started_ = true;
      return {Wait::Kind::blocking};
    }
    changed = conn_.execute(sql_, params_);
    return {};
  }

 private:
  Connection& conn_;
  std::string sql_;
  std::vector<Value> params_;
  bool started_ = false;
};

boost::asio::awaitable<std::int64_t> executed(std::shared_ptr<Execution> op) {
  // Converted before the co_await: g++ 12 destroys a temporary made inside it twice.
  const std::shared_ptr<Operation> steps = op;
  co_await arun(steps);
  co_return op->changed;
}

}  // namespace

std::optional<Value> Connection::scalar(const std::string& sql, std::vector<Value> params) {
  std::unique_ptr<Cursor> rows = query(sql, std::move(params));
  if (!rows->next()) return std::nullopt;
  return rows->value(0);
}

std::unique_ptr<Execution> Connection::start_execute(std::string sql, std::vector<Value> params) {
  return std::make_unique<BlockingExecution>(*this, std::move(sql), std::move(params));
}

boost::asio::awaitable<std::int64_t> Connection::aexecute(std::string sql,
                                                          std::vector<Value> params) {
  return executed(start_execute(std::move(sql), std::move(params)));
}

}  // namespace velmor_models::backends::driver
