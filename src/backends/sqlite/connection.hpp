#pragma once
// One SQLite connection, used by one thread at a time, with its cache of prepared
// statements.

#include <sqlite3.h>

#include <boost/json/value.hpp>
#include <chrono>
#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

#include "velmor_models/backends/driver/connection.hpp"
#include "velmor_models/querysets/errors.hpp"

namespace velmor_models::backends::sqlite {

/// What a connection opens and how failures are reported.
struct Target {
  std::string alias;
  std::string url;         ///< as configured, for messages
  std::string filename;    ///< what sqlite3_open_v2 receives
  bool uri = false;        ///< `filename` is a URI (the shared in-memory database)
  bool file = false;       ///< a database file (WAL mode)
  bool read_only = false;  ///< opened read-only: never created, never changed
  std::chrono::milliseconds busy_timeout{5000};
};

/// The category of SQLite's (extended) result code `rc`.
querysets::errors::DatabaseErrorCategory error_category(int rc);

/// The DatabaseError for SQLite's (extended) result code `rc`: its category, whether the
/// connection is still usable (never, when it failed to open), the code.
querysets::errors::DatabaseError sqlite_error(const std::string& message, const Target& target,
                                              std::string sql, int rc, bool opened = true);

class Connection final : public driver::Connection {
 public:
  /// Opens `target` and checks that it is a database; DatabaseError naming the URL when
  /// it is not. `target` must outlive the connection.
  explicit Connection(const Target& target);
  ~Connection() override;
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  /// A statement from the cache, handed back reset and unbound when the use ends, so a
  /// failure or an abandoned read never leaves it half-run.
  class Use {
   public:
    explicit Use(sqlite3_stmt* stmt) noexcept : stmt_(stmt) {}
    ~Use() {
      sqlite3_reset(stmt_);
      sqlite3_clear_bindings(stmt_);
    }
    Use(const Use&) = delete;
    Use& operator=(const Use&) = delete;
    sqlite3_stmt* get() const noexcept { return stmt_; }

   private:
    sqlite3_stmt* stmt_;
  };

  /// The prepared form of `sql`, from the cache when it was prepared before.
  sqlite3_stmt* prepare(const std::string& sql);
  /// A statement of its own, outside the cache (a cursor that other statements of the
  /// same text must not reset), finalized when released.
  using OwnStatement = std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)>;
  OwnStatement prepare_own(const std::string& sql);
  /// Binds `params` to the placeholders of `stmt`, in order.
  void bind(sqlite3_stmt* stmt, const std::vector<boost::json::value>& params,
            const std::string& sql);
  /// Binds driver values to the placeholders of `stmt`, in order; text and bytes are not
  /// copied, so `params` must outlive the statement's run.
  void bind_values(sqlite3_stmt* stmt, const std::vector<driver::Value>& params,
                   const std::string& sql);
  /// Runs SQL that returns no rows, outside the cache.
  void exec(const std::string& sql);

  // The driver interface.
  const sql::Dialect& dialect() const noexcept override;
  std::int64_t execute(const std::string& sql, const std::vector<driver::Value>& params) override;
  /// Every run in one blocking step.
  std::unique_ptr<driver::Operation> start_execute_each(
      std::string sql, std::vector<std::vector<driver::Value>> params,
      std::vector<std::int64_t>& changed) override;
  std::unique_ptr<driver::Cursor> query(const std::string& sql,
                                        std::vector<driver::Value> params) override;
  void insert_rows(const classes::model::ModelClass& cls,
                   std::span<const boost::json::object> records) override;
  void begin() override;
  void commit() override;
  void rollback() noexcept override;
  /// A DatabaseError for the result code `rc` of running `sql`.
  [[noreturn]] void fail(int rc, std::string_view sql) const;

  sqlite3* handle() const noexcept { return db_; }
  const std::string& alias() const noexcept override { return target_.alias; }
  std::uint64_t hits() const noexcept { return hits_; }
  std::uint64_t misses() const noexcept { return misses_; }
  std::size_t cached() const noexcept { return lru_.size(); }
  static constexpr std::size_t capacity = 128;

 private:
  struct Entry {
    std::string sql;
    sqlite3_stmt* stmt;
  };
  const Target& target_;
  sqlite3* db_ = nullptr;
  std::list<Entry> lru_;  // most recently used first
  std::unordered_map<std::string_view, std::list<Entry>::iterator> index_;
  std::uint64_t hits_ = 0;
  std::uint64_t misses_ = 0;
};

}  // namespace velmor_models::backends::sqlite
