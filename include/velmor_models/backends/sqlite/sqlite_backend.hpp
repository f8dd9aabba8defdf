#pragma once
// The SQLite store.
//
// Threading: every thread that runs a query on an alias gets its own connection to that
// alias's database, opened on first use and kept until the thread ends or the alias is
// reconfigured. Files are put in WAL mode, so readers never wait for each other or for a
// writer; a statement that meets a lock waits up to the busy timeout and then fails with
// a DatabaseError (never hangs). `sqlite::memory:` is one database in memory shared by all
// threads of the process (SQLite's memdb), alive as long as its alias is configured. The
// coroutine forms compile on the caller's thread and run SQLite on a worker pool whose
// threads use their own connections; they resume on the caller's executor.

#include <cstdint>
#include <memory>
#include <string>

#include "velmor_models/backends/backend.hpp"
#include "velmor_models/backends/database_url.hpp"
#include "velmor_models/backends/sql/statement.hpp"

namespace velmor_models::backends {

class SqliteBackend : public Backend {
 public:
  /// Opens (and checks) the database at `url` for `alias`: an error naming the URL when
  /// it cannot be opened or is not a database.
  SqliteBackend(std::string alias, DatabaseUrl url);
  ~SqliteBackend() override;
  SqliteBackend(const SqliteBackend&) = delete;
  SqliteBackend& operator=(const SqliteBackend&) = delete;

  std::vector<velmor_glue::Data> query(const QuerySetReader& qs) override;
  std::int64_t count(const QuerySetReader& qs) override;
  boost::asio::awaitable<std::vector<velmor_glue::Data>> aquery(const QuerySetReader& qs) override;
  boost::asio::awaitable<std::int64_t> acount(const QuerySetReader& qs) override;
  const sql::Dialect* dialect() const noexcept override;
  void create_table(const classes::model::ModelClass& cls,
                    const std::vector<std::string>& indexed_fields) override;
  void insert(const classes::model::ModelClass& cls,
              std::span<const boost::json::object> records) override;
  /// A statement of its own on this thread's connection, or (`coroutine`) on a connection
  /// of the cursor's own, which its reads on worker threads use.
  std::unique_ptr<RecordCursor> open_cursor(const QuerySetReader& qs, bool coroutine) override;
  /// This thread's connection: every statement of a thread runs there.
  driver::Lease lease() override;

  /// Runs a compiled statement on this thread's connection: its rows decoded per
  /// `statement.columns`.
  std::vector<velmor_glue::Data> run(const sql::Statement& statement);
  /// Runs a statement whose one result is a number (a count).
  std::int64_t run_scalar(const sql::Statement& statement);
  /// Runs statements that return no rows (DDL, writes) in one transaction.
  void run_script(const std::vector<sql::Statement>& statements);
  boost::asio::awaitable<std::vector<velmor_glue::Data>> arun(sql::Statement statement);
  boost::asio::awaitable<std::int64_t> arun_scalar(sql::Statement statement);

  /// How this thread's connection's prepared-statement cache has served so far.
  struct CacheStats {
    std::uint64_t hits = 0;
    std::uint64_t misses = 0;
    std::size_t size = 0;
  };
  CacheStats statement_cache_stats();
  /// The most prepared statements a connection keeps.
  static constexpr std::size_t statement_cache_capacity = 128;

  const std::string& alias() const noexcept;
  const DatabaseUrl& url() const noexcept;

  struct Impl;  ///< connections and their threads (sqlite_backend.cpp)

 private:
  std::shared_ptr<Impl> impl_;
};

}  // namespace velmor_models::backends
