#include "backends/postgres/connection.hpp"

#include <libpq-fe.h>
#include <poll.h>

#include <boost/asio/post.hpp>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <type_traits>

#include "backends/postgres/columns.hpp"
#include "backends/postgres/cursor.hpp"
#include "backends/postgres/error_category.hpp"
#include "backends/postgres/insert_rows.hpp"
#include "backends/postgres/operations.hpp"
#include "backends/postgres/params.hpp"
#include "backends/worker_pool.hpp"
#include "velmor_models/backends/sql/dialect.hpp"
#include "velmor_utils/errors.hpp"

namespace velmor_models::backends::postgres {

static_assert(std::is_same_v<Oid, std::uint32_t>, "type oids are passed to libpq as they are");

using querysets::errors::DatabaseError;
using querysets::errors::DatabaseErrorCategory;

void ResultDeleter::operator()(pg_result* r) const noexcept {
  PQclear(r);
}

// A cancel request, sent from a worker thread: libpq's PQcancel blocks until the server
// has taken it.
struct CancelRequest {
  std::mutex mutex;
  std::condition_variable cv;
  bool finished = false;
  void finish() {
    {
      std::lock_guard lock(mutex);
      finished = true;
    }
    cv.notify_all();
  }
  bool is_finished() {
    std::lock_guard lock(mutex);
    return finished;
  }
  void wait() {
    std::unique_lock lock(mutex);
    cv.wait(lock, [this] { return finished; });
  }
};

namespace {

// libpq's messages end with a newline.
std::string trimmed(const char* message) {
  std::string s = message ? message : "";
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  return s;
}

// Whether libpq takes the connection parameters: the connection string (a key=value
// string, a URI, or a database name alone) and the keywords given after '?'.
bool parameters_valid(const Settings& s) {
  for (const auto& [key, value] : s.libpq) {
    if (key == "dbname") {
      const bool expanded = value.find('=') != std::string::npos ||
                            value.starts_with("postgresql://") || value.starts_with("postgres://");
      if (!expanded) continue;
      char* error = nullptr;
      PQconninfoOption* parsed = PQconninfoParse(value.c_str(), &error);
      PQfreemem(error);
      if (!parsed) return false;
      PQconninfoFree(parsed);
      continue;
    }
    PQconninfoOption* known = PQconndefaults();
    bool found = false;
    for (const PQconninfoOption* o = known; o && o->keyword && !found; ++o)
      found = key == o->keyword;
    PQconninfoFree(known);
    if (!found) return false;
  }
  return true;
}

}  // namespace

std::string message_prefix(const Settings& s) {
  return "PostgreSQL database '" + s.url + "' (alias '" + s.alias + "'): ";
}

DatabaseError read_only_error(const Settings& s, const std::string& sql,
                              const std::string& server_message) {
  std::string message = message_prefix(s) +
                        "the alias names a read-only server (a standby, or a connection string "
                        "that asks for one with target_session_attrs), which takes no writes: "
                        "write through an alias of the primary";
  if (!server_message.empty()) (message += " (") += server_message + ")";
  return DatabaseError(message, s.alias, sql, "25006", true, DatabaseErrorCategory::read_only, 0,
                       "25006");
}

DatabaseError connect_error(const Settings& s, const std::string& why, bool started) {
  // Refused for the parameters themselves, or by the server or the way to it.
  return DatabaseError(
      message_prefix(s) + "cannot connect: " + why, s.alias, "", started ? "08001" : "", false,
      started ? DatabaseErrorCategory::connection_lost : DatabaseErrorCategory::other, 0,
      started ? "08001" : "");
}

Connection::Connection(const Settings& settings)
    : settings_(settings), cache_(settings.statement_cache) {
  std::vector<const char*> keys;
  std::vector<const char*> values;
  for (const auto& [key, value] : settings.libpq) {
    keys.push_back(key.c_str());
    values.push_back(value.c_str());
  }
  keys.push_back(nullptr);
  values.push_back(nullptr);
  conn_ = PQconnectStartParams(keys.data(), values.data(), 1);
  if (!conn_) throw std::bad_alloc();
  if (PQstatus(conn_) == CONNECTION_BAD) {
    const std::string why = trimmed(PQerrorMessage(conn_));
    PQfinish(conn_);
    // libpq also tries the first address at once: a server that is down (its Unix socket
    // gone) fails here as well, and is no fault of the parameters.
    throw connect_error(settings, why, parameters_valid(settings));
  }
  // As libpq read it (from the URL, a key=value string or PGTARGETSESSIONATTRS).
  if (PQconninfoOption* options = PQconninfo(conn_)) {
    for (const PQconninfoOption* o = options; o->keyword; ++o) {
      if (std::string_view(o->keyword) != "target_session_attrs" || !o->val) continue;
      const std::string_view target = o->val;
      read_only_target_ =
          target == "read-only" || target == "standby" || target == "prefer-standby";
    }
    PQconninfoFree(options);
  }
  // The server's notices (a table that exists already, ...) are remarks, not results: they
  // would otherwise go to standard error.
  PQsetNoticeProcessor(
      conn_, [](void*, const char*) {}, nullptr);
}

void Connection::widened_columns(const std::string& table, std::vector<std::string> columns) {
  std::lock_guard lock(settings_.widened->mutex);
  if (columns.empty())
    settings_.widened->by_table.erase(table);
  else
    settings_.widened->by_table[table] = std::move(columns);
}

Connection::~Connection() {
  PQfinish(conn_);
}

std::unique_ptr<driver::Operation> Connection::start_connect() {
  return connect_op(*this);
}

std::unique_ptr<driver::Operation> Connection::start_ping() {
  return ping_op(*this);
}

const sql::Dialect& Connection::dialect() const noexcept {
  return sql::postgres_dialect();
}

bool Connection::broken() const noexcept {
  return broken_ || PQstatus(conn_) != CONNECTION_OK;
}

TxState Connection::tx_state() const noexcept {
  if (broken()) return TxState::unknown;
  if (!in_flight_.empty()) return TxState::busy;
  switch (PQtransactionStatus(conn_)) {
    case PQTRANS_IDLE:
      return TxState::idle;
    case PQTRANS_INTRANS:
      return TxState::open;
    case PQTRANS_INERROR:
      return TxState::failed;
    case PQTRANS_ACTIVE:
      return TxState::busy;
    default:
      return TxState::unknown;
  }
}

int Connection::server_pid() const noexcept {
  return PQbackendPID(conn_);
}

namespace {
bool parameter_on(pg_conn* conn, const char* name) {
  const char* value = PQparameterStatus(conn, name);
  return value && std::string_view(value) == "on";
}
}  // namespace

// Servers from 14 on report both settings, and again whenever they change (a standby
// promoted, a SET).
bool Connection::refuses_writes() const noexcept {
  return read_only_target_ || parameter_on(conn_, "in_hot_standby") ||
         parameter_on(conn_, "default_transaction_read_only");
}

void Connection::check_writable(const std::string& sql) const {
  if (refuses_writes()) throw read_only_error(settings_, sql);
}

void Connection::make_sessions_read_only() {
  if (!read_only_target_ || parameter_on(conn_, "default_transaction_read_only")) return;
  static constexpr const char* sql = "SET default_transaction_read_only = on";
  std::shared_ptr<Request> r = open_request(sql);
  add_housekeeping(*r, sql);
  seal(*r);
  r->abandoned = true;
}

bool Connection::closed_by_server() noexcept {
  // A closed connection is readable: what the server said last (a FATAL message), then
  // the end of the stream. A few reads at most, none of which waits.
  for (int i = 0; i < 4 && !broken(); ++i) {
    pollfd p{PQsocket(conn_), POLLIN, 0};
    if (::poll(&p, 1, 0) <= 0) break;
    if (!PQconsumeInput(conn_)) broken_ = true;
  }
  return broken();
}

Connection::CacheStats Connection::cache_stats() const noexcept {
  return {cache_.hits(), cache_.misses(), cache_.size()};
}

void Connection::check_usable() const {
  if (broken())
    throw DatabaseError(message_prefix(settings_) + "the connection is broken", settings_.alias, "",
                        "08006", false, DatabaseErrorCategory::connection_lost, 0, "08006");
}

void Connection::lose(const std::string& why) noexcept {
  broken_ = true;
  flushing_ = false;
  for (const auto& r : in_flight_) {
    if (r->done) continue;
    r->done = true;
    if (r->error) continue;
    try {
      r->sqlstate = "08006";
      r->error = std::make_exception_ptr(DatabaseError(
          message_prefix(settings_) + "the connection was lost: " + why, settings_.alias, r->sql,
          "08006", false, DatabaseErrorCategory::connection_lost, 0, "08006"));
    } catch (...) {
      r->error = std::current_exception();
    }
  }
  in_flight_.clear();
}

void Connection::send_failed(const std::string& sql) {
  const std::string why = trimmed(PQerrorMessage(conn_));
  const bool lost = PQstatus(conn_) != CONNECTION_OK;
  // Part of a request may have gone out: the connection no longer knows where it stands.
  lose(why);
  throw DatabaseError(message_prefix(settings_) + "cannot send a statement: " + why,
                      settings_.alias, sql, lost ? "08006" : "", false,
                      lost ? DatabaseErrorCategory::connection_lost : DatabaseErrorCategory::other,
                      0, lost ? "08006" : "");
}

std::shared_ptr<Request> Connection::open_request(std::string sql) {
  check_usable();
  auto r = std::make_shared<Request>();
  r->sql = std::move(sql);
  r->in_transaction = !tx_idle_;
  in_flight_.push_back(r);
  if (leading_rollback_) {
    leading_rollback_ = false;
    add_housekeeping(*r, "ROLLBACK");
  }
  return r;
}

void Connection::add_housekeeping(Request& r, const char* sql) {
  if (!PQsendQueryParams(conn_, sql, 0, nullptr, nullptr, nullptr, nullptr, 0)) send_failed(sql);
  r.commands.push_back({Request::Kind::housekeeping, {}, {}, false});
  flushing_ = true;
}

void Connection::add_statement(Request& r, const std::string& sql, const Params& p, bool stream) {
  check_usable();
  if (p.size() > 65535)
    throw velmor_utils::errors::ValueError(
        "PostgreSQL takes at most 65535 values per statement, not " + std::to_string(p.size()));
  const int n = static_cast<int>(p.size());
  if (cache_.capacity() == 0) {
    // No named statements (a pooler that cannot keep them): parsed on every run.
    if (!PQsendQueryParams(conn_, sql.c_str(), n, p.types(), p.values(), p.lengths(), p.formats(),
                           0))
      send_failed(sql);
    r.commands.push_back({Request::Kind::statement, {}, {}, stream});
  } else {
    std::string key = sql;
    key += '\0';
    p.append_signature(key);
    StatementCache::Entry& e = cache_.use(key);
    if (!e.sent) {
      if (!PQsendPrepare(conn_, e.name.c_str(), sql.c_str(), n, p.types())) send_failed(sql);
      e.sent = true;
      r.commands.push_back({Request::Kind::prepare, e.key, e.name, false});
    }
    if (!PQsendQueryPrepared(conn_, e.name.c_str(), n, p.values(), p.lengths(), p.formats(),
                             e.result_format))
      send_failed(sql);
    r.commands.push_back({Request::Kind::statement, e.key, e.name, stream});
  }
  flushing_ = true;
}

void Connection::seal(Request& r) {
  if (!PQpipelineSync(conn_)) send_failed(r.sql);
  r.sealed = true;
  flushing_ = true;
}

std::shared_ptr<Request> Connection::send_statement(const std::string& sql, const Params& params,
                                                    bool stream) {
  std::shared_ptr<Request> r = open_request(sql);
  add_statement(*r, sql, params, stream);
  seal(*r);
  return r;
}

void Connection::send_rollback_now() {
  std::shared_ptr<Request> r = open_request("ROLLBACK");
  if (r->commands.empty()) add_housekeeping(*r, "ROLLBACK");
  seal(*r);
  r->abandoned = true;
  rollback_pending_ = false;
}

driver::Wait Connection::io_wait() const noexcept {
  driver::Wait w{flushing_ ? driver::Wait::Kind::either : driver::Wait::Kind::readable,
                 PQsocket(conn_)};
  // Every wait starts the bound afresh: it limits the silence between two arrivals, not a
  // statement's whole time.
  if (settings_.io_timeout.count() > 0 && !in_flight_.empty())
    w.deadline = std::chrono::steady_clock::now() + settings_.io_timeout;
  return w;
}

bool Connection::pump(driver::Ready ready) {
  if (broken_) return false;
  if (ready == driver::Ready::timed_out) {
    // Where the exchange stands is unknown (a reply may still come): the connection goes.
    lose("nothing came from the server for " + std::to_string(settings_.io_timeout.count()) +
         " ms (io_timeout_ms)");
    return false;
  }
  // Reading whenever the socket is readable, flushing or not: a server that cannot send
  // stops reading too.
  if (ready == driver::Ready::readable && !PQconsumeInput(conn_)) {
    lose(trimmed(PQerrorMessage(conn_)));
    return false;
  }
  if (flushing_) {
    const int f = PQflush(conn_);
    if (f < 0) {
      lose(trimmed(PQerrorMessage(conn_)));
      return false;
    }
    flushing_ = f == 1;
  }
  return flushing_;
}

driver::Wait Connection::advance(driver::Ready ready, const Request& until) {
  pump(ready);
  if (!broken_) read_results(&until);
  // A failure that ends the connection (a FATAL error) ends every request still waiting.
  if (broken_) lose(trimmed(PQerrorMessage(conn_)));
  if (until.ready()) return {};
  return io_wait();
}

void Connection::read_results(const Request* until) {
  while (!in_flight_.empty()) {
    if (until && until->ready()) return;
    Request& r = *in_flight_.front();
    if (PQstatus(conn_) == CONNECTION_BAD) {
      lose(trimmed(PQerrorMessage(conn_)));
      return;
    }
    const bool at_sync = r.current == r.commands.size();
    if (at_sync && !r.sealed) return;  // more commands are coming
    // Single-row mode is set for a command before anything reads its results.
    if (!at_sync && r.commands[r.current].stream && !r.armed) {
      r.armed = true;
      (void)PQsetSingleRowMode(conn_);  // when refused, the rows come whole, and read as well
    }
    if (PQisBusy(conn_)) return;
    Result res(PQgetResult(conn_));
    if (!at_sync) {
      if (!res) {  // the command's results are over
        ++r.current;
        r.armed = false;
        continue;
      }
      take(r, std::move(res));
      continue;
    }
    if (!res || PQresultStatus(res.get()) != PGRES_PIPELINE_SYNC) {
      lose("the results are out of step with the statements sent");
      return;
    }
    r.done = true;
    in_flight_.pop_front();
  }
}

void Connection::learn_format(const Request::Command& c, const pg_result* res) {
  if (c.key.empty()) return;
  StatementCache::Entry* e = cache_.find(c.key, c.name);
  if (!e || e->format_known) return;
  std::vector<std::uint32_t> types(static_cast<std::size_t>(PQnfields(res)));
  for (std::size_t i = 0; i < types.size(); ++i) types[i] = PQftype(res, static_cast<int>(i));
  e->result_format = reads_binary(types) ? 1 : 0;
  e->format_known = true;
}

void Connection::take(Request& r, Result res) {
  const Request::Command& c = r.commands[r.current];
  const ExecStatusType status = PQresultStatus(res.get());
  if (c.kind == Request::Kind::housekeeping) return;
  if (c.kind == Request::Kind::prepare) {
    if (status == PGRES_COMMAND_OK) {
      if (StatementCache::Entry* e = cache_.find(c.key, c.name)) e->prepared = true;
      return;
    }
    if (status == PGRES_FATAL_ERROR) {
      record_error(r, res.get());
      // A statement of that name exists already: ours was lost track of. Closed, then
      // prepared again under another name.
      if (r.sqlstate == "42P05") {
        r.plan_invalid = true;
        cache_.drop(c.key, c.name, true);
        return;
      }
    }
    cache_.drop(c.key, c.name, false);  // the server has no such statement
    return;
  }
  switch (status) {
    case PGRES_SINGLE_TUPLE:
      learn_format(c, res.get());
      r.streamed = true;
      if (!r.abandoned) r.rows.push_back(std::move(res));
      return;
    case PGRES_TUPLES_OK:
    case PGRES_COMMAND_OK:
    case PGRES_EMPTY_QUERY:
      learn_format(c, res.get());
      r.changed += std::atoll(PQcmdTuples(res.get()));
      r.changed_each.push_back(std::atoll(PQcmdTuples(res.get())));
      if (r.abandoned) return;
      if (!c.stream)
        r.result = std::move(res);
      else if (!r.streamed)
        r.rows.push_back(std::move(res));  // no row came alone: this one holds them, or none
      return;
    case PGRES_FATAL_ERROR:
      record_error(r, res.get());
      if (r.sqlstate == "26000" || r.sqlstate == "0A000") {
        // 26000: the server has no such statement; 0A000 from the plan cache: the tables
        // under it changed, so its result type would.
        const char* where = PQresultErrorField(res.get(), PG_DIAG_SOURCE_FUNCTION);
        const bool stale_plan =
            r.sqlstate == "26000" || (where && std::string_view(where) == "RevalidateCachedQuery");
        if (stale_plan && !c.key.empty()) {
          r.plan_invalid = true;
          cache_.drop(c.key, c.name, r.sqlstate != "26000");
        }
      }
      return;
    case PGRES_PIPELINE_ABORTED:
      if (!r.error) {
        r.error = std::make_exception_ptr(
            DatabaseError(message_prefix(settings_) + "the statement was skipped after a failure",
                          settings_.alias, r.sql, "", true));
      }
      return;
    default: {
      // COPY and the like: never sent by this store.
      const std::string what = PQresStatus(status);
      if (!r.error)
        r.error = std::make_exception_ptr(
            DatabaseError(message_prefix(settings_) + "unexpected result " + what, settings_.alias,
                          r.sql, "", false));
      broken_ = true;
    }
  }
}

void Connection::record_error(Request& r, const pg_result* res) {
  if (r.error) return;
  const char* state = PQresultErrorField(res, PG_DIAG_SQLSTATE);
  const char* primary = PQresultErrorField(res, PG_DIAG_MESSAGE_PRIMARY);
  const char* detail = PQresultErrorField(res, PG_DIAG_MESSAGE_DETAIL);
  r.sqlstate = state ? state : "";
  const bool bad = PQstatus(conn_) != CONNECTION_OK;
  const bool usable = !bad && (r.sqlstate.empty() || connection_survives(r.sqlstate));
  if (!usable) broken_ = true;
  DatabaseErrorCategory category = category_of(r.sqlstate);
  if (r.sqlstate.empty() && bad) category = DatabaseErrorCategory::connection_lost;
  const std::string said = primary ? std::string(primary) : trimmed(PQresultErrorMessage(res));
  if (r.sqlstate == "25006" && refuses_writes()) {
    r.error = std::make_exception_ptr(read_only_error(settings_, r.sql, said));
    return;
  }
  std::string message = message_prefix(settings_) + said;
  if (detail) (message += " (") += std::string(detail) + ")";
  r.error = std::make_exception_ptr(
      DatabaseError(message, settings_.alias, r.sql, r.sqlstate, usable, category, 0, r.sqlstate));
}

driver::Wait Connection::settle(driver::Ready ready) {
  check_usable();
  if (!in_flight_.empty()) {
    // Results in order: once the last request is read, so is every one before it.
    const std::shared_ptr<Request> last = in_flight_.back();
    const driver::Wait w = advance(ready, *last);
    if (w.kind != driver::Wait::Kind::done) return w;
    check_usable();
  }
  if (cancel_) {
    // A cancel request still on its way could stop the next statement instead.
    if (!cancel_->is_finished()) {
      if (!awaiting_cancel_) {
        awaiting_cancel_ = true;
        return {driver::Wait::Kind::blocking};
      }
      cancel_->wait();
    }
    awaiting_cancel_ = false;
    cancel_.reset();
  }
  const PGTransactionStatusType status = PQtransactionStatus(conn_);
  if (status != PQTRANS_IDLE && status != PQTRANS_INTRANS && status != PQTRANS_INERROR) {
    lose("the connection is in an unexpected state");
    check_usable();
  }
  leading_rollback_ = rollback_pending_ && status != PQTRANS_IDLE;
  rollback_pending_ = false;
  tx_idle_ = status == PQTRANS_IDLE || leading_rollback_;
  // Statements dropped from the cache are closed outside transactions only: inside a
  // failed one, DEALLOCATE would fail too.
  if (status == PQTRANS_IDLE) close_dropped();
  return {};
}

void Connection::close_dropped() {
  for (const std::string& name : cache_.take_closing()) {
    std::string sql = "DEALLOCATE ";
    sql::postgres_dialect().quote_identifier(sql, name);
    std::shared_ptr<Request> r = open_request(sql);
    add_housekeeping(*r, sql.c_str());
    seal(*r);
    r->abandoned = true;
  }
}

void Connection::abandon(Request& r, bool cancel) noexcept {
  if (r.done) return;
  r.abandoned = true;
  r.rows.clear();
  r.result.reset();
  try {
    // Half sent: what went out is rolled back, and the sync closes it.
    if (!r.sealed) {
      add_housekeeping(r, "ROLLBACK");
      seal(r);
    }
    // Its end may be here already (a read left after its first row, say): no need then to
    // trouble the server.
    (void)advance(driver::Ready::readable, r);
  } catch (...) {
    broken_ = true;
    return;
  }
  if (!cancel || r.done || cancel_ || broken()) return;
  PGcancel* handle = PQgetCancel(conn_);
  if (!handle) return;
  try {
    auto request = std::make_shared<CancelRequest>();
    boost::asio::post(worker_pool(), [handle, request] {
      char error[256];
      (void)PQcancel(handle, error, sizeof error);  // a cancel that failed changes nothing
      PQfreeCancel(handle);
      request->finish();
    });
    cancel_ = std::move(request);
  } catch (...) {
    PQfreeCancel(handle);
  }
}

bool Connection::recycle() noexcept {
  if (broken()) return false;
  const TxState state = tx_state();
  if (state == TxState::unknown || (state == TxState::busy && in_flight_.empty())) return false;
  try {
    if (rollback_pending_ || state != TxState::idle) send_rollback_now();
  } catch (...) {
    return false;
  }
  return !broken();
}

// The driver interface: the synchronous forms run the same steps with poll.

std::int64_t Connection::execute(const std::string& sql, const std::vector<driver::Value>& params) {
  std::unique_ptr<driver::Execution> op = start_execute(sql, params);
  driver::run(*op);
  return op->changed;
}

std::unique_ptr<driver::Execution> Connection::start_execute(std::string sql,
                                                             std::vector<driver::Value> params) {
  return execute_op(*this, std::move(sql), std::move(params));
}

std::unique_ptr<driver::Operation> Connection::start_execute_each(
    std::string sql, std::vector<std::vector<driver::Value>> params,
    std::vector<std::int64_t>& changed) {
  return execute_each_op(*this, std::move(sql), std::move(params), changed);
}

std::vector<std::int64_t> Connection::execute_each(
    const std::string& sql, const std::vector<std::vector<driver::Value>>& params) {
  std::vector<std::int64_t> changed;
  auto op = start_execute_each(sql, params, changed);
  driver::run(*op);
  return changed;
}

std::unique_ptr<driver::Cursor> Connection::query(const std::string& sql,
                                                  std::vector<driver::Value> params) {
  return open_cursor(*this, sql, std::move(params));
}

std::unique_ptr<driver::Fetch> Connection::start_fetch(std::string sql,
                                                       std::vector<driver::Value> params) {
  return fetch_op(*this, std::move(sql), std::move(params));
}

void Connection::insert_rows(const classes::model::ModelClass& cls,
                             std::span<const boost::json::object> records) {
  std::unique_ptr<driver::Operation> op = start_insert_rows(cls, records);
  driver::run(*op);
}

std::unique_ptr<driver::Operation> Connection::start_insert_rows(
    const classes::model::ModelClass& cls, std::span<const boost::json::object> records) {
  check_writable("INSERT");
  return insert_rows_op(*this, cls, records);
}

void Connection::begin() {
  std::unique_ptr<driver::Operation> op = start_begin();
  driver::run(*op);
}

void Connection::commit() {
  std::unique_ptr<driver::Operation> op = start_commit();
  driver::run(*op);
}

void Connection::rollback() noexcept {
  rollback_pending_ = true;
}

std::unique_ptr<driver::Operation> Connection::start_begin() {
  // Refused here rather than by the server: a standby refuses a serializable BEGIN with a
  // code that says nothing of read-only, and a read-only target on the primary would take
  // the write.
  check_writable(std::string(dialect().begin_write()));
  return execute_op(*this, std::string(dialect().begin_write()), {});
}

std::unique_ptr<driver::Operation> Connection::start_commit() {
  return commit_op(*this);
}

}  // namespace velmor_models::backends::postgres
