#include "velmor_models/backends/sqlite/sqlite_backend.hpp"

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "backends/sqlite/connection.hpp"
#include "backends/sqlite/rows.hpp"
#include "backends/sqlite/tables.hpp"
#include "backends/statement_log.hpp"
#include "backends/table_layout.hpp"
#include "backends/worker_pool.hpp"
#include "velmor_models/backends/query_check.hpp"
#include "velmor_models/backends/sql/compiler.hpp"
#include "velmor_models/backends/sql/dialect.hpp"

namespace velmor_models::backends {

using sqlite::Connection;

struct SqliteBackend::Impl : std::enable_shared_from_this<Impl> {
  Impl(std::string alias_, DatabaseUrl url_) : url(std::move(url_)) {
    static std::atomic<std::uint64_t> next_serial{1};
    serial = next_serial++;
    target.alias = std::move(alias_);
    target.url = url.text;
    target.busy_timeout = url.busy_timeout;
    if (url.kind == DatabaseUrl::Kind::sqlite_file) {
      target.filename = url.path;
      target.file = true;
      target.read_only = url.read_only;
    } else {
      // SQLite's memdb: one database for every connection that names it (the name starts
      // with '/'), alive while one of them is open.
      target.filename = "file:/velmor-memory-" + std::to_string(serial) + "?vfs=memdb";
      target.uri = true;
    }
  }

  Connection& connection();
  void release(std::thread::id thread);

  DatabaseUrl url;
  sqlite::Target target;  // before the connections, which refer to it
  std::uint64_t serial = 0;
  std::unique_ptr<Connection> anchor;  // keeps an in-memory database alive
  std::mutex mutex;
  std::unordered_map<std::thread::id, std::unique_ptr<Connection>> connections;
};

namespace {

// This thread's connections, by backend serial; closed when the thread ends.
struct ThreadConnections {
  struct Slot {
    std::weak_ptr<SqliteBackend::Impl> owner;
    Connection* connection;
  };
  std::unordered_map<std::uint64_t, Slot> slots;
  ~ThreadConnections() {
    for (auto& [serial, slot] : slots)
      if (auto owner = slot.owner.lock()) owner->release(std::this_thread::get_id());
  }
};
thread_local ThreadConnections thread_connections;

}  // namespace

Connection& SqliteBackend::Impl::connection() {
  auto& slots = thread_connections.slots;
  if (auto it = slots.find(serial); it != slots.end()) return *it->second.connection;
  auto made = std::make_unique<Connection>(target);
  Connection* conn = made.get();
  {
    std::lock_guard lock(mutex);
    connections[std::this_thread::get_id()] = std::move(made);
  }
  std::erase_if(slots, [](const auto& entry) { return entry.second.owner.expired(); });
  slots.emplace(serial, ThreadConnections::Slot{weak_from_this(), conn});
  return *conn;
}

void SqliteBackend::Impl::release(std::thread::id thread) {
  std::unique_ptr<Connection> closing;
  std::lock_guard lock(mutex);
  if (auto it = connections.find(thread); it != connections.end()) {
    closing = std::move(it->second);
    connections.erase(it);
  }
}

namespace {

std::vector<velmor_glue::Data> run_rows(Connection& conn, const sql::Statement& st) {
  sqlite3_stmt* stmt = conn.prepare(st.text);
  Connection::Use use(stmt);
  conn.bind(stmt, st.params, st.text);
  StatementTimer timer(conn.alias(), st.text);
  return sqlite::read_rows(conn, stmt, st.columns, st.text);
}

std::int64_t run_count(Connection& conn, const sql::Statement& st) {
  sqlite3_stmt* stmt = conn.prepare(st.text);
  Connection::Use use(stmt);
  conn.bind(stmt, st.params, st.text);
  StatementTimer timer(conn.alias(), st.text);
  return sqlite::read_scalar(conn, stmt, st.text);
}

// Runs `work` on this thread's connection of `impl` on a worker thread and completes on
// the caller's executor. A cancellation interrupts the statement: its connection is reset
// and stays usable, and the caller gets operation_aborted.
template <class T>
boost::asio::awaitable<T> on_connection(std::shared_ptr<SqliteBackend::Impl> impl,
                                        std::function<T(Connection&)> work) {
  return on_worker<T>([impl = std::move(impl), work = std::move(work)](Interruption& op) {
    Connection& conn = impl->connection();
    {
      std::lock_guard lock(op.mutex);
      op.throw_if_cancelled();
      op.stop = [db = conn.handle()] { sqlite3_interrupt(db); };
    }
    T result = work(conn);
    std::lock_guard lock(op.mutex);
    op.stop = nullptr;
    return result;
  });
}

// The rows of one query, on a statement of its own. Synchronous reads run on the opening
// thread's connection; a cursor read by coroutines has a connection of its own, opened on
// its first read, since each read may run on another worker thread.
struct CursorState {
  std::shared_ptr<SqliteBackend::Impl> impl;
  sql::Statement statement;
  bool coroutine = false;
  std::unique_ptr<Connection> own;  // closed after the statement is finalized
  Connection* conn = nullptr;
  Connection::OwnStatement stmt{nullptr, sqlite3_finalize};
  std::unique_ptr<sqlite::RowReader> reader;
  bool done = false;

  void start() {
    if (conn || done) return;
    if (coroutine) own = std::make_unique<Connection>(impl->target);
    Connection& c = coroutine ? *own : impl->connection();
    stmt = c.prepare_own(statement.text);
    c.bind(stmt.get(), statement.params, statement.text);
    reader = std::make_unique<sqlite::RowReader>(c, stmt.get(), statement.columns, statement.text);
    conn = &c;
  }
  std::vector<velmor_glue::Data> read(std::size_t n) {
    std::vector<velmor_glue::Data> out;
    if (done || n == 0) return out;
    try {
      done = !reader->read(n, out);
    } catch (...) {
      done = true;  // a statement stepped again would start over
      release();
      throw;
    }
    if (done) release();  // released as soon as it is read to its end
    return out;
  }
  void release() noexcept {
    reader.reset();
    stmt.reset();
    own.reset();
  }
};

class SqliteCursor final : public RecordCursor {
 public:
  explicit SqliteCursor(std::shared_ptr<CursorState> state) : state_(std::move(state)) {}
  std::vector<velmor_glue::Data> next(std::size_t n) override {
    state_->start();
    return state_->read(n);
  }
  boost::asio::awaitable<std::vector<velmor_glue::Data>> anext(std::size_t n) override {
    return on_worker<std::vector<velmor_glue::Data>>([state = state_, n](Interruption& op) {
      state->start();
      {
        std::lock_guard lock(op.mutex);
        op.throw_if_cancelled();
        if (state->conn) op.stop = [db = state->conn->handle()] { sqlite3_interrupt(db); };
      }
      std::vector<velmor_glue::Data> out = state->read(n);
      std::lock_guard lock(op.mutex);
      op.stop = nullptr;
      return out;
    });
  }

 private:
  std::shared_ptr<CursorState> state_;  // shared with a read in flight
};

template <class T>
boost::asio::awaitable<T> rethrow(std::exception_ptr error) {
  std::rethrow_exception(error);
  co_return T{};
}

}  // namespace

SqliteBackend::SqliteBackend(std::string alias, DatabaseUrl url)
    : impl_(std::make_shared<Impl>(std::move(alias), std::move(url))) {
  if (!impl_->target.file) impl_->anchor = std::make_unique<Connection>(impl_->target);
  // Opening once here reports a URL that cannot be opened at configuration time.
  (void)impl_->connection();
}

SqliteBackend::~SqliteBackend() = default;

const std::string& SqliteBackend::alias() const noexcept {
  return impl_->target.alias;
}
const DatabaseUrl& SqliteBackend::url() const noexcept {
  return impl_->url;
}
const sql::Dialect* SqliteBackend::dialect() const noexcept {
  return &sql::sqlite_dialect();
}

std::vector<velmor_glue::Data> SqliteBackend::run(const sql::Statement& statement) {
  return run_rows(impl_->connection(), statement);
}

std::int64_t SqliteBackend::run_scalar(const sql::Statement& statement) {
  return run_count(impl_->connection(), statement);
}

void SqliteBackend::run_script(const std::vector<sql::Statement>& statements) {
  Connection& conn = impl_->connection();
  conn.exec("BEGIN IMMEDIATE");
  try {
    for (const auto& st : statements) {
      sqlite3_stmt* stmt = conn.prepare(st.text);
      Connection::Use use(stmt);
      conn.bind(stmt, st.params, st.text);
      StatementTimer timer(conn.alias(), st.text);
      sqlite::run_to_end(conn, stmt, st.text);
    }
    conn.exec("COMMIT");
  } catch (...) {
    sqlite3_exec(conn.handle(), "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
}

boost::asio::awaitable<std::vector<velmor_glue::Data>> SqliteBackend::arun(
    sql::Statement statement) {
  return on_connection<std::vector<velmor_glue::Data>>(
      impl_, [st = std::move(statement)](Connection& conn) { return run_rows(conn, st); });
}

boost::asio::awaitable<std::int64_t> SqliteBackend::arun_scalar(sql::Statement statement) {
  return on_connection<std::int64_t>(
      impl_, [st = std::move(statement)](Connection& conn) { return run_count(conn, st); });
}

std::vector<velmor_glue::Data> SqliteBackend::query(const QuerySetReader& qs) {
  return run(sql::compile_select(check_query(qs), sql::sqlite_dialect()));
}

std::int64_t SqliteBackend::count(const QuerySetReader& qs) {
  return run_scalar(sql::compile_count(check_query(qs), sql::sqlite_dialect()));
}

// Compiled on the caller's thread when called: the statement owns everything, so the
// query set may go away before the result arrives. Errors surface when awaited.
boost::asio::awaitable<std::vector<velmor_glue::Data>> SqliteBackend::aquery(
    const QuerySetReader& qs) {
  sql::Statement st;
  try {
    st = sql::compile_select(check_query(qs), sql::sqlite_dialect());
  } catch (...) {
    return rethrow<std::vector<velmor_glue::Data>>(std::current_exception());
  }
  return arun(std::move(st));
}

boost::asio::awaitable<std::int64_t> SqliteBackend::acount(const QuerySetReader& qs) {
  sql::Statement st;
  try {
    st = sql::compile_count(check_query(qs), sql::sqlite_dialect());
  } catch (...) {
    return rethrow<std::int64_t>(std::current_exception());
  }
  return arun_scalar(std::move(st));
}

void SqliteBackend::create_table(const classes::model::ModelClass& cls,
                                 const std::vector<std::string>& indexed_fields) {
  std::vector<sql::Statement> statements;
  for (auto& text : table_ddl(sql::sqlite_dialect(), cls, indexed_fields))
    statements.push_back(sql::Statement{std::move(text), {}, {}});
  run_script(statements);
}

void SqliteBackend::insert(const classes::model::ModelClass& cls,
                           std::span<const boost::json::object> records) {
  Connection& conn = impl_->connection();
  conn.exec("BEGIN IMMEDIATE");
  try {
    sqlite::insert_rows(conn, cls, records);
    conn.exec("COMMIT");
  } catch (...) {
    sqlite3_exec(conn.handle(), "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
}

std::unique_ptr<RecordCursor> SqliteBackend::open_cursor(const QuerySetReader& qs, bool coroutine) {
  auto state = std::make_shared<CursorState>();
  state->impl = impl_;
  state->statement = sql::compile_select(check_query(qs), sql::sqlite_dialect());
  state->coroutine = coroutine;
  return std::make_unique<SqliteCursor>(std::move(state));
}

driver::Lease SqliteBackend::lease() {
  return driver::Lease(impl_->connection(), impl_);
}

SqliteBackend::CacheStats SqliteBackend::statement_cache_stats() {
  Connection& conn = impl_->connection();
  return {conn.hits(), conn.misses(), conn.cached()};
}

// Opens `sqlite:` URLs for the registry.
namespace detail {
std::shared_ptr<Backend> open_sqlite_store(std::string alias, const DatabaseUrl& url) {
  return std::make_shared<SqliteBackend>(std::move(alias), url);
}
}  // namespace detail

}  // namespace velmor_models::backends
