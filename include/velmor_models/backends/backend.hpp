#pragma once
// A store that runs query sets: what an alias resolves to.

#include <boost/asio/awaitable.hpp>
#include <boost/json/object.hpp>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "velmor_glue/glue.hpp"
#include "velmor_models/backends/driver/connection.hpp"
#include "velmor_models/querysets/executor.hpp"

namespace velmor_models::backends {

namespace sql {
class Dialect;
}

using querysets::executor::QuerySetReader;

/// The records of one query, read as they are asked for (QuerySet::iterate and aiterate):
/// memory holds one chunk at a time. Ending it early releases the statement. One thread at
/// a time uses it; the synchronous `next` runs on the thread that opened the cursor.
class RecordCursor {
 public:
  virtual ~RecordCursor() = default;
  /// Up to `n` more records, in delivery order; fewer only at the end, none after it.
  virtual std::vector<velmor_glue::Data> next(std::size_t n) = 0;
  /// The same without blocking the caller's event loop.
  virtual boost::asio::awaitable<std::vector<velmor_glue::Data>> anext(std::size_t n) = 0;
};

/// One database behind an alias. The synchronous operations run on the caller's thread;
/// the coroutine forms never block the caller's event loop and own what they need once
/// called (the query set may go away before they are awaited to the end).
class Backend {
 public:
  virtual ~Backend() = default;
  /// The records of a query set, in delivery order.
  virtual std::vector<velmor_glue::Data> query(const QuerySetReader& qs) = 0;
  /// The number of records `query` would return.
  virtual std::int64_t count(const QuerySetReader& qs) = 0;
  virtual boost::asio::awaitable<std::vector<velmor_glue::Data>> aquery(
      const QuerySetReader& qs) = 0;
  virtual boost::asio::awaitable<std::int64_t> acount(const QuerySetReader& qs) = 0;
  /// The SQL dialect the store speaks; null for a store that runs no SQL.
  virtual const sql::Dialect* dialect() const noexcept { return nullptr; }
  /// Creates the table of `cls` unless it exists, with an index per named field
  /// (tables.hpp).
  virtual void create_table(const classes::model::ModelClass& cls,
                            const std::vector<std::string>& indexed_fields);
  /// Adds records to the table of `cls`, all or none (tables.hpp).
  virtual void insert(const classes::model::ModelClass& cls,
                      std::span<const boost::json::object> records);
  /// A cursor over the records `query` would return; `coroutine` when it will be read with
  /// `anext`. The query is checked and compiled here. The default reads them all at once
  /// (a store in memory holds them anyway).
  virtual std::unique_ptr<RecordCursor> open_cursor(const QuerySetReader& qs, bool coroutine);
  /// One connection of the store, pinned to the caller until the lease ends (the object
  /// store's transactions). TypeError for a store that runs no SQL.
  virtual driver::Lease lease();
  /// The coroutine form of lease(): a store with a pool suspends the caller while it
  /// waits for a connection. By default lease() itself.
  virtual boost::asio::awaitable<driver::Lease> alease();
  /// True when the store's connections wait for their sockets (a client library in
  /// non-blocking mode): work over them can be awaited on the caller's event loop. A store
  /// whose calls block (SQLite) says false, and such work runs on the worker pool.
  virtual bool waits_on_sockets() const noexcept { return false; }
};

}  // namespace velmor_models::backends
