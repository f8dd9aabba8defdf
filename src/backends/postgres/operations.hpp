#pragma once
// The steps of the calls on a connection (driver/operation.hpp): each advances the
// connection's state machine as far as it can without waiting and says what it waits for.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "backends/postgres/connection.hpp"
#include "backends/postgres/params.hpp"
#include "backends/statement_log.hpp"
#include "velmor_models/backends/driver/operation.hpp"

namespace velmor_models::backends::postgres {

/// One statement: the connection settled, the statement sent (prepared in the same flush
/// when not cached yet), its results read. A cached statement whose plan no longer fits
/// (its tables changed) is prepared and run once more, outside a transaction only.
class StatementSteps {
 public:
  StatementSteps(Connection& conn, std::string sql, std::vector<driver::Value> params,
                 bool stream = false)
      : conn_(conn), sql_(std::move(sql)), values_(std::move(params)), stream_(stream) {}
  /// Done once its results are in (streamed: its first row, or its end); throws its failure.
  driver::Wait step(driver::Ready ready);
  /// Its awaiting coroutine was cancelled: the server is asked to stop it and what is left
  /// of its results is dropped as it arrives.
  void cancel() noexcept;
  bool sent() const noexcept { return request_ != nullptr; }
  const std::shared_ptr<Request>& request() const noexcept { return request_; }
  Connection& connection() const noexcept { return conn_; }
  const std::string& sql() const noexcept { return sql_; }

 private:
  Connection& conn_;
  std::string sql_;
  std::vector<driver::Value> values_;
  std::optional<Params>
      params_;  // bound when first sent: a bad value fails the call, not its making
  bool stream_;
  bool retried_ = false;
  std::shared_ptr<Request> request_;
  std::optional<StatementTimer> timer_;
};

/// A statement whose whole result is kept for the caller to read.
class ResultOp final : public driver::Operation {
 public:
  ResultOp(Connection& conn, std::string sql, std::vector<driver::Value> params)
      : steps_(conn, std::move(sql), std::move(params)) {}
  driver::Wait step(driver::Ready ready) override;
  void cancel() noexcept override { steps_.cancel(); }
  Result result;

 private:
  StatementSteps steps_;
};

/// More of a streamed request: done once a row waits, or at its end.
class StreamOp final : public driver::Operation {
 public:
  StreamOp(Connection& conn, std::shared_ptr<Request> request, bool cancel_when_left)
      : conn_(conn), request_(std::move(request)), cancel_when_left_(cancel_when_left) {}
  driver::Wait step(driver::Ready ready) override { return conn_.advance(ready, *request_); }
  void cancel() noexcept override { conn_.abandon(*request_, cancel_when_left_); }

 private:
  Connection& conn_;
  std::shared_ptr<Request> request_;
  bool cancel_when_left_;
};

std::unique_ptr<driver::Execution> execute_op(Connection& conn, std::string sql,
                                              std::vector<driver::Value> params);
/// One statement run for each set of values, all in one request: the rows each changed.
std::unique_ptr<driver::Operation> execute_each_op(Connection& conn, std::string sql,
                                                   std::vector<std::vector<driver::Value>> params,
                                                   std::vector<std::int64_t>& changed);
std::unique_ptr<driver::Fetch> fetch_op(Connection& conn, std::string sql,
                                        std::vector<driver::Value> params);
/// COMMIT: a failed transaction that COMMIT rolled back is an error; a connection lost
/// after COMMIT went out is an error of unknown outcome.
std::unique_ptr<driver::Operation> commit_op(Connection& conn);
/// Finishes connecting (PQconnectPoll; the socket may change from poll to poll), then
/// turns on non-blocking and pipeline mode.
std::unique_ptr<driver::Operation> connect_op(Connection& conn);
/// A sync alone: the cheapest round trip there is.
std::unique_ptr<driver::Operation> ping_op(Connection& conn);
/// Connection::settle alone: what earlier holders left is read and done with.
std::unique_ptr<driver::Operation> settle_op(Connection& conn);

}  // namespace velmor_models::backends::postgres
