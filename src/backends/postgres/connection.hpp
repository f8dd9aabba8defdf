#pragma once
// One PostgreSQL connection: libpq in non-blocking pipeline mode, driven as a state machine
// that never waits itself. Operations (operations.hpp) advance it step by step and say
// which readiness of its socket they need next; driver::run waits for it with poll and
// driver::arun on the awaiting coroutine's event loop. Statements go out prepared (a cached
// statement's first run sends its preparation in the same flush), each group of commands
// closed by a sync, and results are read back in order into the requests that sent them.

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "backends/postgres/request.hpp"
#include "backends/postgres/settings.hpp"
#include "backends/postgres/statement_cache.hpp"
#include "velmor_models/backends/driver/connection.hpp"
#include "velmor_models/querysets/errors.hpp"

struct pg_conn;

namespace velmor_models::backends::postgres {

class Params;
struct CancelRequest;  // a cancel request on a worker thread (connection.cpp)

/// Where a connection stands between statements.
enum class TxState {
  idle,     ///< outside a transaction
  open,     ///< inside one
  failed,   ///< inside a failed one (only ROLLBACK helps)
  busy,     ///< results still to read
  unknown,  ///< the connection is bad
};

class Connection final : public driver::Connection {
 public:
  /// Starts connecting (start_connect finishes it); DatabaseError naming the URL when the
  /// parameters are refused at once. `settings` must outlive the connection.
  explicit Connection(const Settings& settings);
  ~Connection() override;
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  /// The steps that finish connecting (PQconnectPoll), then enter pipeline mode.
  std::unique_ptr<driver::Operation> start_connect();
  /// A round trip that checks the connection (a sync alone).
  std::unique_ptr<driver::Operation> start_ping();
  /// Runs `sql`, several statements separated by semicolons, through the simple-query
  /// protocol (one implicit transaction): once what was sent before is read, outside
  /// pipeline mode, which the connection enters again afterwards. Its first failure is
  /// thrown once the script is over. For installing functions (script.cpp).
  std::unique_ptr<driver::Operation> start_script(std::string sql);

  // The driver interface.
  const std::string& alias() const noexcept override { return settings_.alias; }
  std::optional<std::int64_t> session() const noexcept override { return server_pid(); }
  const sql::Dialect& dialect() const noexcept override;
  std::int64_t execute(const std::string& sql, const std::vector<driver::Value>& params) override;
  std::unique_ptr<driver::Execution> start_execute(std::string sql,
                                                   std::vector<driver::Value> params) override;
  /// Every run in one round trip (one request of pipelined statements).
  std::vector<std::int64_t> execute_each(
      const std::string& sql, const std::vector<std::vector<driver::Value>>& params) override;
  std::unique_ptr<driver::Operation> start_execute_each(
      std::string sql, std::vector<std::vector<driver::Value>> params,
      std::vector<std::int64_t>& changed) override;
  /// Rows one at a time (single-row mode): memory holds one row, whatever the result's
  /// size. Leaving early drops the rest as it arrives, after asking the server to stop a
  /// read outside a transaction.
  std::unique_ptr<driver::Cursor> query(const std::string& sql,
                                        std::vector<driver::Value> params) override;
  std::unique_ptr<driver::Fetch> start_fetch(std::string sql,
                                             std::vector<driver::Value> params) override;
  void insert_rows(const classes::model::ModelClass& cls,
                   std::span<const boost::json::object> records) override;
  void widened_columns(const std::string& table, std::vector<std::string> columns) override;
  std::unique_ptr<driver::Operation> start_insert_rows(
      const classes::model::ModelClass& cls, std::span<const boost::json::object> records) override;
  void begin() override;
  void commit() override;
  /// Never waits: the ROLLBACK goes out ahead of the next statement, or when the
  /// connection returns to its pool.
  void rollback() noexcept override;
  std::unique_ptr<driver::Operation> start_begin() override;
  std::unique_ptr<driver::Operation> start_commit() override;

  // For the pool.
  const Settings& settings() const noexcept { return settings_; }
  bool broken() const noexcept;
  /// Checks without waiting whether the server has closed the connection (a restart, a
  /// shutdown, a terminated backend): what has arrived is read, and true when the
  /// connection turned out to be gone. For connections that waited idle in the pool.
  bool closed_by_server() noexcept;
  TxState tx_state() const noexcept;
  /// Back in its pool: false when it cannot serve again (broken, or in a state it cannot
  /// account for); otherwise a transaction left open is rolled back now (sent, not
  /// awaited: its locks go at once) and it is ready for its next holder.
  bool recycle() noexcept;
  /// The server process serving this connection.
  int server_pid() const noexcept;
  /// True when writes are refused before they are sent: the connection string asks libpq
  /// for a standby or a read-only server (target_session_attrs read-only, standby or
  /// prefer-standby, which may still land on the primary), or the server is a hot standby
  /// or makes its transactions read-only by default.
  bool refuses_writes() const noexcept;
  /// DatabaseError (read_only) naming the alias as one of a read-only server when
  /// refuses_writes(); `sql` is the write refused.
  void check_writable(const std::string& sql) const;
  /// For a connection that refuses writes although its server takes them (a read-only
  /// target that landed on the primary): its transactions are made read-only on the
  /// server too, so a statement sent directly is refused there as well. Sent, not awaited.
  void make_sessions_read_only();
  const std::chrono::steady_clock::time_point opened_at = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point last_used = opened_at;

  struct CacheStats {
    std::uint64_t hits = 0;
    std::uint64_t misses = 0;
    std::size_t size = 0;
  };
  CacheStats cache_stats() const noexcept;

  // The engine, for the operations.

  /// Gets ready to send: reads what earlier requests left (those of cancelled operations),
  /// waits for a cancel request still on its way (a blocking step), closes dropped cached
  /// statements when outside a transaction. Done when the next request may go out.
  driver::Wait settle(driver::Ready ready);
  /// Sends DEALLOCATE for the statements dropped from the cache (outside a transaction
  /// only: the caller knows it is).
  void close_dropped();
  /// A request of its own for one statement (after the deferred ROLLBACK, if one is due),
  /// sealed.
  std::shared_ptr<Request> send_statement(const std::string& sql, const Params& params,
                                          bool stream);
  /// A request to which statements are added one by one, then sealed (bulk inserts).
  std::shared_ptr<Request> open_request(std::string sql);
  void add_statement(Request& request, const std::string& sql, const Params& params,
                     bool stream = false);
  /// Adds a statement whose outcome nobody reads.
  void add_housekeeping(Request& request, const char* sql);
  void seal(Request& request);
  /// Does the I/O that is due (reading when `ready` says readable, flushing what is
  /// unsent) and reads results, until `until` is ready; otherwise the wait it needs.
  driver::Wait advance(driver::Ready ready, const Request& until);
  /// The same without a request to wait for: true while output is still unsent.
  bool pump(driver::Ready ready);
  /// The wait for more I/O: readable, or either while output is unsent; with io_timeout_ms
  /// set and requests awaiting answers, a deadline that far ahead (pump then loses the
  /// connection when it is given Ready::timed_out).
  driver::Wait io_wait() const noexcept;
  /// Nobody reads `request` any more: its results are dropped as they arrive (an unsealed
  /// one is rolled back and sealed). With `cancel`, the server is asked to stop it.
  void abandon(Request& request, bool cancel) noexcept;
  /// DatabaseError (connection_lost) when the connection is broken.
  void check_usable() const;
  pg_conn* handle() const noexcept { return conn_; }

 private:
  friend class ScriptOp;  // steps outside pipeline mode, and loses the connection on the way
  void read_results(const Request* until);
  void take(Request& r, Result res);
  void learn_format(const Request::Command& c, const pg_result* res);
  void record_error(Request& r, const pg_result* res);
  void lose(const std::string& why) noexcept;
  [[noreturn]] void send_failed(const std::string& sql);
  void send_rollback_now();

  const Settings& settings_;
  pg_conn* conn_ = nullptr;
  StatementCache cache_;
  std::deque<std::shared_ptr<Request>> in_flight_;
  std::shared_ptr<CancelRequest> cancel_;
  bool awaiting_cancel_ = false;
  bool flushing_ = false;
  bool broken_ = false;
  bool rollback_pending_ = false;  // rollback() was called
  bool leading_rollback_ = false;  // the next request starts with ROLLBACK
  bool tx_idle_ = true;            // outside a transaction when the next request goes out
  bool read_only_target_ = false;  // target_session_attrs asks for a read-only server
};

/// "PostgreSQL database '<url>' (alias '<alias>'): ", how every message of the store starts.
std::string message_prefix(const Settings& settings);
/// The DatabaseError (read_only) of a write refused because the alias names a read-only
/// server; `server_message` is the server's own words, when it refused the write itself.
querysets::errors::DatabaseError read_only_error(const Settings& settings, const std::string& sql,
                                                 const std::string& server_message = {});
/// A connection refused for its parameters (`started` false) or while connecting.
querysets::errors::DatabaseError connect_error(const Settings& settings, const std::string& why,
                                               bool started);

}  // namespace velmor_models::backends::postgres
