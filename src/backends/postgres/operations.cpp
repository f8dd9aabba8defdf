#include "backends/postgres/operations.hpp"

#include <libpq-fe.h>

#include "backends/postgres/results.hpp"

namespace velmor_models::backends::postgres {

using driver::Ready;
using driver::Wait;
using querysets::errors::DatabaseError;
using querysets::errors::DatabaseErrorCategory;

Wait StatementSteps::step(Ready ready) {
  for (;;) {
    if (!request_) {
      const Wait w = conn_.settle(ready);
      if (w.kind != Wait::Kind::done) return w;
      if (!params_) params_ = bind_values(values_);
      request_ = conn_.send_statement(sql_, *params_, stream_);
      if (!timer_) timer_.emplace(conn_.alias(), sql_);
      ready = Ready::none;
    }
    const Wait w = conn_.advance(ready, *request_);
    if (w.kind != Wait::Kind::done) return w;
    const Request& r = *request_;
    if (r.error && r.plan_invalid && !r.in_transaction && !retried_ && r.rows.empty()) {
      // Failed before it ran (the plan is checked first), so running it again is safe.
      retried_ = true;
      request_.reset();
      ready = Ready::none;
      continue;
    }
    if (r.done) timer_.reset();
    if (r.error && r.rows.empty()) std::rethrow_exception(r.error);
    return {};
  }
}

void StatementSteps::cancel() noexcept {
  if (request_) conn_.abandon(*request_, true);
}

Wait ResultOp::step(Ready ready) {
  const Wait w = steps_.step(ready);
  if (w.kind == Wait::Kind::done) result = std::move(steps_.request()->result);
  return w;
}

namespace {

class ExecuteOp final : public driver::Execution {
 public:
  ExecuteOp(Connection& conn, std::string sql, std::vector<driver::Value> params)
      : steps_(conn, std::move(sql), std::move(params)) {}
  Wait step(Ready ready) override {
    const Wait w = steps_.step(ready);
    if (w.kind == Wait::Kind::done) changed = steps_.request()->changed;
    return w;
  }
  void cancel() noexcept override { steps_.cancel(); }

 private:
  StatementSteps steps_;
};

class FetchOp final : public driver::Fetch {
 public:
  FetchOp(Connection& conn, std::string sql, std::vector<driver::Value> params)
      : steps_(conn, std::move(sql), std::move(params)) {}
  Wait step(Ready ready) override {
    const Wait w = steps_.step(ready);
    if (w.kind == Wait::Kind::done) result = rows_of(steps_.request()->result.get());
    return w;
  }
  void cancel() noexcept override { steps_.cancel(); }

 private:
  StatementSteps steps_;
};

class CommitOp final : public driver::Operation {
 public:
  explicit CommitOp(Connection& conn) : steps_(conn, "COMMIT", {}) {}
  Wait step(Ready ready) override {
    Connection& conn = steps_.connection();
    try {
      const Wait w = steps_.step(ready);
      if (w.kind != Wait::Kind::done) return w;
    } catch (const DatabaseError& e) {
      if (!steps_.sent() || e.category() != DatabaseErrorCategory::connection_lost) throw;
      if (committed()) return {};  // the answer came before the connection went
      throw DatabaseError(message_prefix(conn.settings()) +
                              "the connection was lost after COMMIT was sent, so the transaction "
                              "may or may not have been committed (" +
                              e.what() + ")",
                          conn.alias(), "COMMIT", e.code(), false,
                          DatabaseErrorCategory::outcome_unknown, 0, e.sqlstate());
    }
    // COMMIT of a failed transaction rolls it back and says so, without an error.
    if (!committed())
      throw DatabaseError(
          message_prefix(conn.settings()) + "the transaction had failed, so COMMIT rolled it back",
          conn.alias(), "COMMIT", "25P02", true, DatabaseErrorCategory::other, 0, "25P02");
    return {};
  }
  void cancel() noexcept override { steps_.cancel(); }

 private:
  bool committed() const {
    const Result& r = steps_.request()->result;
    return r && std::string_view(PQcmdStatus(r.get())) == "COMMIT";
  }
  StatementSteps steps_;
};

// A session's settings once connected: a lock wait is bounded (10 s unless the URL set
// one), since no server sees a deadlock that spans two of them (the object store's two
// databases may be on two servers).
const std::string& session_setup() {
  static const std::string sql =
      "SELECT set_config('lock_timeout', '10s', false) WHERE current_setting('lock_timeout') "
      "= '0'";
  return sql;
}

class ConnectOp final : public driver::Operation {
 public:
  explicit ConnectOp(Connection& conn) : conn_(conn) {}
  Wait step(Ready ready) override {
    if (setup_) return setup_->step(ready);
    pg_conn* h = conn_.handle();
    // Before the first poll, libpq waits to write (its connection attempt under way).
    PostgresPollingStatusType status = started_ ? PQconnectPoll(h) : PGRES_POLLING_WRITING;
    started_ = true;
    // No socket (between two hosts, say): poll again at once rather than wait for nothing.
    for (int n = 0; PQsocket(h) < 0 && n < 16 &&
                    (status == PGRES_POLLING_READING || status == PGRES_POLLING_WRITING);
         ++n)
      status = PQconnectPoll(h);
    switch (status) {
      case PGRES_POLLING_READING:
        if (PQsocket(h) >= 0) return {Wait::Kind::readable, PQsocket(h)};
        break;
      case PGRES_POLLING_WRITING:
        if (PQsocket(h) >= 0) return {Wait::Kind::writable, PQsocket(h)};
        break;
      case PGRES_POLLING_OK:
        if (PQsetnonblocking(h, 1) != 0 || !PQenterPipelineMode(h)) break;
        conn_.make_sessions_read_only();
        setup_.emplace(conn_, session_setup(), std::vector<driver::Value>{});
        return setup_->step(Ready::none);
      default:
        break;
    }
    std::string why = PQerrorMessage(h);
    while (!why.empty() && (why.back() == '\n' || why.back() == ' ')) why.pop_back();
    throw connect_error(conn_.settings(), why.empty() ? "no socket to the server" : why, true);
  }

 private:
  Connection& conn_;
  bool started_ = false;
  std::optional<StatementSteps> setup_;
};

class PingOp final : public driver::Operation {
 public:
  explicit PingOp(Connection& conn) : conn_(conn) {}
  Wait step(Ready ready) override {
    if (!request_) {
      const Wait w = conn_.settle(ready);
      if (w.kind != Wait::Kind::done) return w;
      request_ = conn_.open_request("");
      conn_.seal(*request_);
      ready = Ready::none;
    }
    const Wait w = conn_.advance(ready, *request_);
    if (w.kind == Wait::Kind::done && request_->error) std::rethrow_exception(request_->error);
    return w;
  }
  void cancel() noexcept override {
    if (request_) conn_.abandon(*request_, false);
  }

 private:
  Connection& conn_;
  std::shared_ptr<Request> request_;
};

class SettleOp final : public driver::Operation {
 public:
  explicit SettleOp(Connection& conn) : conn_(conn) {}
  Wait step(Ready ready) override { return conn_.settle(ready); }

 private:
  Connection& conn_;
};

}  // namespace

std::unique_ptr<driver::Operation> settle_op(Connection& conn) {
  return std::make_unique<SettleOp>(conn);
}

std::unique_ptr<driver::Execution> execute_op(Connection& conn, std::string sql,
                                              std::vector<driver::Value> params) {
  return std::make_unique<ExecuteOp>(conn, std::move(sql), std::move(params));
}

namespace {

class ExecuteEachOp final : public driver::Operation {
 public:
  ExecuteEachOp(Connection& conn, std::string sql, std::vector<std::vector<driver::Value>> params,
                std::vector<std::int64_t>& changed)
      : conn_(conn), sql_(std::move(sql)), params_(std::move(params)), changed_(changed) {}
  Wait step(Ready ready) override {
    if (params_.empty()) {
      changed_.clear();
      return {};
    }
    if (!request_) {
      const Wait w = conn_.settle(ready);
      if (w.kind != Wait::Kind::done) return w;
      request_ = conn_.open_request(sql_);
      timer_.emplace(conn_.alias(), sql_);
      for (const auto& values : params_) conn_.add_statement(*request_, sql_, bind_values(values));
      conn_.seal(*request_);
      ready = Ready::none;
    }
    const Wait w = conn_.advance(ready, *request_);
    if (w.kind != Wait::Kind::done) return w;
    timer_.reset();
    if (request_->error) std::rethrow_exception(request_->error);
    changed_ = request_->changed_each;
    return {};
  }
  void cancel() noexcept override {
    if (request_) conn_.abandon(*request_, true);
  }

 private:
  Connection& conn_;
  std::string sql_;
  std::vector<std::vector<driver::Value>> params_;
  std::vector<std::int64_t>& changed_;
  std::shared_ptr<Request> request_;
  std::optional<StatementTimer> timer_;
};

}  // namespace

std::unique_ptr<driver::Operation> execute_each_op(Connection& conn, std::string sql,
                                                   std::vector<std::vector<driver::Value>> params,
                                                   std::vector<std::int64_t>& changed) {
  return std::make_unique<ExecuteEachOp>(conn, std::move(sql), std::move(params), changed);
}

std::unique_ptr<driver::Fetch> fetch_op(Connection& conn, std::string sql,
                                        std::vector<driver::Value> params) {
  return std::make_unique<FetchOp>(conn, std::move(sql), std::move(params));
}

std::unique_ptr<driver::Operation> commit_op(Connection& conn) {
  return std::make_unique<CommitOp>(conn);
}

std::unique_ptr<driver::Operation> connect_op(Connection& conn) {
  return std::make_unique<ConnectOp>(conn);
}

std::unique_ptr<driver::Operation> ping_op(Connection& conn) {
  return std::make_unique<PingOp>(conn);
}

}  // namespace velmor_models::backends::postgres
