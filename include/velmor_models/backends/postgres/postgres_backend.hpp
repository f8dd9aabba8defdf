#pragma once
// The PostgreSQL store, for URLs `postgresql://user@host:port/db?...` and `postgresql:` or
// `postgres:` followed by a libpq key=value string. libpq receives the connection string
// whole (TLS modes, several hosts, target_session_attrs, keepalives: as libpq documents
// them); the store's own parameters are taken out first:
//  - `pool_min` (0): connections kept open; `pool_max` (8): connections at most;
//  - `acquire_timeout_ms` (5000): how long a caller waits for a connection (connecting
//    included) before a DatabaseError of category busy;
//  - `max_lifetime_s` (3600): a connection older than that is closed when it comes back;
//  - `idle_check_s` (30): a connection idle longer than that is checked with a round trip
//    before it is handed out (never on every acquire);
//  - `statement_cache` (128): prepared statements kept per connection; 0 prepares none
//    (for poolers that cannot keep them);
//  - `io_timeout_ms` (0: none): how long a call waits without hearing from the server
//    while it awaits an answer; then the connection counts as lost (`connection_lost`, or
//    `outcome_unknown` for a COMMIT). Only this ends a wait for a reply that a network
//    drops while keeping the connection open; it must exceed the longest silent statement.
//
// An alias of a read-only server (a hot standby, or a connection string with
// target_session_attrs read-only, standby or prefer-standby) reads as any other; its
// writes (begin, insert_rows, so create_table, insert and the object store's saves) fail
// before anything is sent with a DatabaseError of category read_only that says so.
//
// Threading: connections come from a pool per alias, one caller at a time each. The
// synchronous calls block their thread (poll); the coroutine forms wait on the awaiting
// coroutine's event loop and use no thread of their own (only a cancel request, which
// libpq sends blocking, goes to the worker pool). aquery and acount share one connection
// of the pool: their statements are pipelined and their results come back in order.

#include <cstdint>
#include <memory>
#include <string>

#include "velmor_models/backends/backend.hpp"
#include "velmor_models/backends/database_url.hpp"

namespace velmor_models::backends {

class PostgresBackend : public Backend {
 public:
  /// Opens the pool for `alias` and checks a connection at once: a DatabaseError naming the
  /// URL (its password masked) when the URL cannot be read or the server reached.
  PostgresBackend(std::string alias, const DatabaseUrl& url);
  ~PostgresBackend() override;
  PostgresBackend(const PostgresBackend&) = delete;
  PostgresBackend& operator=(const PostgresBackend&) = delete;

  std::vector<velmor_glue::Data> query(const QuerySetReader& qs) override;
  std::int64_t count(const QuerySetReader& qs) override;
  boost::asio::awaitable<std::vector<velmor_glue::Data>> aquery(const QuerySetReader& qs) override;
  boost::asio::awaitable<std::int64_t> acount(const QuerySetReader& qs) override;
  const sql::Dialect* dialect() const noexcept override;
  void create_table(const classes::model::ModelClass& cls,
                    const std::vector<std::string>& indexed_fields) override;
  void insert(const classes::model::ModelClass& cls,
              std::span<const boost::json::object> records) override;
  /// Rows one at a time on a connection of the cursor's own (held until it ends).
  std::unique_ptr<RecordCursor> open_cursor(const QuerySetReader& qs, bool coroutine) override;
  /// A connection from the pool; waits up to acquire_timeout_ms for one.
  driver::Lease lease() override;
  boost::asio::awaitable<driver::Lease> alease() override;
  bool waits_on_sockets() const noexcept override { return true; }

  const std::string& alias() const noexcept;
  /// The pool's state: connections open (idle, in use or being opened), idle, and callers
  /// waiting.
  struct PoolStats {
    std::size_t open = 0;
    std::size_t idle = 0;
    std::size_t waiting = 0;
  };
  PoolStats pool_stats() const;

  struct Impl;  ///< the pool (postgres_backend.cpp)

 private:
  std::shared_ptr<Impl> impl_;
};

}  // namespace velmor_models::backends
