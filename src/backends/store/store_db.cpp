#include "backends/store/store_db.hpp"

#include <algorithm>

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "velmor_data/aliases/using.hpp"
#include "velmor_models/backends/object_store.hpp"
#include "velmor_models/backends/registry.hpp"
#include "velmor_models/backends/sql/dialect.hpp"
#include "velmor_utils/errors.hpp"

namespace velmor_models::backends::store {
namespace {

std::shared_ptr<Backend> sql_store(std::string_view alias) {
  std::shared_ptr<Backend> backend = backend_for(alias);
  if (!backend->dialect())
    throw velmor_utils::errors::TypeError(
        "The object store keeps its objects in an SQL database; "
        "alias '" +
        std::string(alias) + "' names a store that runs no SQL");
  return backend;
}

}  // namespace

std::shared_ptr<Backend> lake_store() {
  return sql_store(velmor_data::aliases::using_::LAKEHOUSE_DB_ALIAS);
}

std::shared_ptr<Backend> main_store() {
  return sql_store(velmor_data::aliases::using_::DEFAULT_DB_ALIAS);
}

awaitable<Lease> lake() {
  const std::shared_ptr<Backend> store = lake_store();
  co_return co_await store->alease();
}

awaitable<Lease> main_db() {
  const std::shared_ptr<Backend> store = main_store();
  co_return co_await store->alease();
}

awaitable<std::int64_t> run(Connection& conn, const Sql& sql) {
  return conn.aexecute(conn.dialect().with_placeholders(sql.text), sql.params);
}

namespace {
awaitable<std::optional<Value>> first_value(awaitable<Rows> fetch) {
  Rows found = co_await std::move(fetch);
  if (found.rows.empty() || found.rows.front().empty()) co_return std::nullopt;
  co_return std::move(found.rows.front().front());
}
}  // namespace

awaitable<std::optional<Value>> scalar(Connection& conn, const Sql& sql) {
  return first_value(conn.afetch(conn.dialect().with_placeholders(sql.text), sql.params));
}

awaitable<Rows> rows(Connection& conn, const Sql& sql) {
  return conn.afetch(conn.dialect().with_placeholders(sql.text), sql.params);
}

bool stores_wait_on_sockets() {
  return lake_store()->waits_on_sockets() && main_store()->waits_on_sockets();
}

awaitable<void> detail::run_detached_from_cancellation(std::function<awaitable<void>()> work) {
  const boost::asio::cancellation_state state = co_await boost::asio::this_coro::cancellation_state;
  if (state.cancelled() != boost::asio::cancellation_type::none)
    throw boost::system::system_error(boost::asio::error::operation_aborted);
  const auto executor = co_await boost::asio::this_coro::executor;
  co_await boost::asio::co_spawn(
      executor, work(),
      boost::asio::bind_cancellation_slot(boost::asio::cancellation_slot(),
                                          boost::asio::use_awaitable));
}

namespace {
awaitable<void> locked(Connection& conn, std::string statement, std::vector<std::string> names) {
  std::sort(names.begin(), names.end());
  names.erase(std::unique(names.begin(), names.end()), names.end());
  std::vector<std::vector<Value>> params;
  params.reserve(names.size());
  for (std::string& n : names) params.push_back({Value(std::move(n))});
  co_await conn.aexecute_each(std::move(statement), std::move(params));
}
awaitable<void> nothing() {
  co_return;
}
}  // namespace

awaitable<void> lock_names(Connection& conn, std::vector<std::string> names) {
  std::string statement = conn.dialect().lock_name();
  if (statement.empty() || names.empty()) return nothing();
  return locked(conn, std::move(statement), std::move(names));
}

std::string object_lock(std::string_view table, std::string_view object_id) {
  std::string out = "velmor object ";
  out += table;
  out += '\x1f';
  out += object_id;
  return out;
}

bool detail::worth_retrying(const std::exception_ptr& error, int attempt) noexcept {
  constexpr int attempts = 3;
  if (attempt >= attempts) return false;
  try {
    std::rethrow_exception(error);
  } catch (const StaleVersionError&) {
    return false;  // the caller must read the object again
  } catch (const querysets::errors::DatabaseError& e) {
    return e.category() == querysets::errors::DatabaseErrorCategory::conflict;
  } catch (...) {
  }
  return false;
}

std::string quoted(const Connection& conn, std::string_view name) {
  std::string out;
  conn.dialect().quote_identifier(out, name);
  return out;
}

}  // namespace velmor_models::backends::store
