#pragma once
// The object store's two databases, reached through the driver of whatever SQL store each
// alias names, and the few statement helpers the store's parts share. The store's work is
// written once, as coroutines over these (its synchronous calls run them with run_sync).

#include <boost/asio/awaitable.hpp>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "backends/driver/run_sync.hpp"
#include "backends/worker_pool.hpp"
#include "velmor_models/backends/backend.hpp"
#include "velmor_models/backends/driver/connection.hpp"

namespace velmor_models::backends::store {

using boost::asio::awaitable;
using driver::Connection;
using driver::Lease;
using driver::Rows;
using driver::Transaction;
using driver::Value;

/// The stores behind the lakehouse (every version, the class schemas, the save log) and
/// the default database (the latest versions). TypeError when an alias names a store that
/// runs no SQL.
std::shared_ptr<Backend> lake_store();
std::shared_ptr<Backend> main_store();
/// A connection of each, pinned for the caller (a store with a pool may suspend).
awaitable<Lease> lake();
awaitable<Lease> main_db();

/// A statement with `?` placeholders and the values bound to them.
///
/// In the store's coroutines a statement is declared before the `co_await` that runs it:
/// g++ 12 refuses string literals and braced lists inside a `co_await` expression, and
/// destroys twice an object made there for a coroutine's parameter. For the same reason
/// the functions below are no coroutines themselves.
struct Sql {
  std::string text;
  std::vector<Value> params;
};

/// `sql` run on `conn`: the rows it changed.
awaitable<std::int64_t> run(Connection& conn, const Sql& sql);
/// The first column of the first row of `sql`; nullopt when there is no row.
awaitable<std::optional<Value>> scalar(Connection& conn, const Sql& sql);
/// The rows of `sql`, read whole.
awaitable<Rows> rows(Connection& conn, const Sql& sql);
/// Takes the dialect's transaction-scoped lock of each name (sorted and without repeats,
/// so that writers always take them in one order); nothing where the dialect has none.
awaitable<void> lock_names(Connection& conn, std::vector<std::string> names);
/// The name of the lock on object `object_id` of `table`.
std::string object_lock(std::string_view table, std::string_view object_id);

/// `name` quoted by the connection's dialect (checked first).
std::string quoted(const Connection& conn, std::string_view name);

/// True when the stores of both aliases wait on sockets (backend.hpp).
bool stores_wait_on_sockets();

namespace detail {
/// Runs `work` on the caller's executor as a coroutine of its own, which the caller's
/// cancellation does not reach; operation_aborted when the caller was cancelled already.
awaitable<void> run_detached_from_cancellation(std::function<awaitable<void>()> work);
/// True when `error` is a conflict the database settled by refusing the work (a
/// serialization failure or a deadlock: nothing was written), not a stale version, and
/// `attempt` (from 1) leaves room for another.
bool worth_retrying(const std::exception_ptr& error, int attempt) noexcept;
}  // namespace detail

/// Runs the store's work, again (a few times at most) when the database refused it over a
/// conflict with another writer.
template <class T>
awaitable<T> retried(std::function<awaitable<T>()> make) {
  for (int attempt = 1;; ++attempt) {
    std::exception_ptr failed;
    try {
      co_return co_await make();
    } catch (...) {
      failed = std::current_exception();
    }
    if (!detail::worth_retrying(failed, attempt)) std::rethrow_exception(failed);
  }
}

/// The synchronous form of store work: run on the calling thread, retried as above.
template <class T>
T in_stores(std::function<awaitable<T>()> make) {
  return driver::run_sync(retried<T>(std::move(make)));
}

/// The coroutine form of store work written once as a coroutine (`make` makes it): awaited
/// on the caller's loop when both stores wait on sockets, else run whole on the worker
/// pool (its blocking steps inline there). Either way a cancellation that arrives before
/// the work has begun means it never begins (operation_aborted); once begun it runs to
/// its end, all or nothing, and its outcome is the result.
template <class T>
awaitable<T> on_stores(std::function<awaitable<T>()> make) {
  if (!stores_wait_on_sockets()) {
    std::function<T(Interruption&)> work = [make = std::move(make)](Interruption&) {
      return driver::run_sync(retried<T>(make));
    };
    co_return co_await on_worker<T>(std::move(work));
  }
  std::optional<T> out;
  std::function<awaitable<void>()> work = [&out, make = std::move(make)]() -> awaitable<void> {
    out.emplace(co_await retried<T>(make));
  };
  co_await detail::run_detached_from_cancellation(std::move(work));
  co_return std::move(*out);
}

/// Text and integers as bound values.
inline Value text(std::string_view s) {
  return std::string(s);
}
inline Value integer(std::int64_t n) {
  return n;
}

}  // namespace velmor_models::backends::store
