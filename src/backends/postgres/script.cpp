// Connection::start_script: several statements in one text, which only the simple-query
// protocol runs, and pipeline mode refuses. The connection leaves pipeline mode for it
// once everything sent before is read, and enters it again when the script is over; a
// script left half way leaves the connection broken (the pool then closes it).

#include <libpq-fe.h>

#include "backends/postgres/connection.hpp"
#include "backends/postgres/error_category.hpp"

namespace velmor_models::backends::postgres {

using driver::Ready;
using driver::Wait;
using querysets::errors::DatabaseError;

class ScriptOp final : public driver::Operation {
 public:
  ScriptOp(Connection& conn, std::string sql) : conn_(conn), sql_(std::move(sql)) {}
  ~ScriptOp() override {
    if (outside_ && !over_) conn_.lose("a script was left unfinished");
  }
  ScriptOp(const ScriptOp&) = delete;
  ScriptOp& operator=(const ScriptOp&) = delete;

  Wait step(Ready ready) override {
    pg_conn* h = conn_.handle();
    if (!outside_) {
      // Everything sent before is read first (settling may send DEALLOCATEs: read too).
      for (;;) {
        const Wait w = conn_.settle(ready);
        if (w.kind != Wait::Kind::done) return w;
        ready = Ready::none;
        if (conn_.in_flight_.empty()) break;
      }
      if (!PQexitPipelineMode(h)) lost("cannot leave pipeline mode");
      outside_ = true;
      if (!PQsendQuery(h, sql_.c_str())) lost(PQerrorMessage(h));
      flushing_ = true;
    }
    if (ready == Ready::readable && !PQconsumeInput(h)) lost(PQerrorMessage(h));
    if (flushing_) {
      const int f = PQflush(h);
      if (f < 0) lost(PQerrorMessage(h));
      flushing_ = f == 1;
    }
    while (!PQisBusy(h)) {
      Result res(PQgetResult(h));
      if (!res) return finish();
      if (PQresultStatus(res.get()) == PGRES_FATAL_ERROR && !error_) record(res.get());
    }
    return {flushing_ ? Wait::Kind::either : Wait::Kind::readable, PQsocket(h)};
  }

  void cancel() noexcept override {
    if (outside_ && !over_) conn_.lose("a script was cancelled");
    over_ = true;
  }

 private:
  Wait finish() {
    over_ = true;
    if (!PQenterPipelineMode(conn_.handle())) lost("cannot enter pipeline mode again");
    if (error_) std::rethrow_exception(error_);
    return {};
  }

  void record(const pg_result* res) {
    const char* state = PQresultErrorField(res, PG_DIAG_SQLSTATE);
    const char* primary = PQresultErrorField(res, PG_DIAG_MESSAGE_PRIMARY);
    const std::string sqlstate = state ? state : "";
    error_ = std::make_exception_ptr(
        DatabaseError(message_prefix(conn_.settings()) + (primary ? primary : "a script failed"),
                      conn_.alias(), sql_.substr(0, 200), sqlstate, connection_survives(sqlstate),
                      category_of(sqlstate), 0, sqlstate));
  }

  [[noreturn]] void lost(std::string why) {
    while (!why.empty() && (why.back() == '\n' || why.back() == ' ')) why.pop_back();
    over_ = true;
    conn_.lose(why);
    conn_.check_usable();
    throw DatabaseError(message_prefix(conn_.settings()) + why, conn_.alias(), "", "", false);
  }

  Connection& conn_;
  std::string sql_;
  bool outside_ = false;  // out of pipeline mode, the script sent
  bool flushing_ = false;
  bool over_ = false;
  std::exception_ptr error_;
};

std::unique_ptr<driver::Operation> Connection::start_script(std::string sql) {
  return std::make_unique<ScriptOp>(*this, std::move(sql));
}

}  // namespace velmor_models::backends::postgres
