#pragma once
// What every SQL store implements for the layers above its queries (the object store, the
// tables): a connection that runs statements with bound values, a cursor over their rows,
// and a write transaction. Statements use the connection's dialect: its placeholders,
// quoting and the statements it composes (sql/dialect.hpp).

#include <boost/asio/awaitable.hpp>
#include <boost/json/object.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "velmor_models/backends/driver/operation.hpp"
#include "velmor_models/backends/driver/value.hpp"
#include "velmor_models/classes/model.hpp"

namespace velmor_models::backends::sql {
class Dialect;
}

namespace velmor_models::backends::driver {

/// The rows of one statement, read one at a time. It borrows its connection: nothing else
/// runs there until the cursor is gone; leaving it early releases the statement.
class Cursor {
 public:
  virtual ~Cursor() = default;
  /// Moves to the next row; false once the rows are read to their end.
  virtual bool next() = 0;
  virtual std::size_t column_count() const = 0;
  virtual std::string column_name(std::size_t i) const = 0;
  /// Column `i` of the current row.
  virtual Value value(std::size_t i) const = 0;
};

/// A statement that changes rows, as steps (operation.hpp): how many it changed, once done.
class Execution : public Operation {
 public:
  std::int64_t changed = 0;
};

/// The rows of a statement, read whole (for statements known to return few).
struct Rows {
  std::vector<std::string> columns;
  std::vector<std::vector<Value>> rows;
  /// Per column, true when its text is JSON (a column of a JSON type); empty when none is.
  std::vector<bool> json;
  bool json_column(std::size_t i) const noexcept { return i < json.size() && json[i]; }
};

/// A statement whose rows are read whole, as steps: its rows, once done.
class Fetch : public Operation {
 public:
  Rows result;
};

/// One connection to one database, used by one thread at a time, with its cache of
/// prepared statements. Failures are DatabaseErrors that say whether it is still usable.
class Connection {
 public:
  virtual ~Connection() = default;
  virtual const std::string& alias() const noexcept = 0;
  virtual const sql::Dialect& dialect() const noexcept = 0;
  /// The server session serving this connection (PostgreSQL's backend process id), for a
  /// caller that must wait until a lost session's last statement is settled; none for a
  /// database without sessions of its own.
  virtual std::optional<std::int64_t> session() const noexcept { return std::nullopt; }

  /// Runs `sql` with `params` bound, to its end; the number of rows it changed.
  virtual std::int64_t execute(const std::string& sql, const std::vector<Value>& params = {}) = 0;
  /// The steps of execute(sql, params), which execute and aexecute share. By default one
  /// blocking step that calls execute (a store whose calls block); a store driven by socket
  /// readiness returns its own steps and implements execute as run() over them.
  virtual std::unique_ptr<Execution> start_execute(std::string sql, std::vector<Value> params);
  /// The coroutine form of execute: the same steps, waiting on the awaiting coroutine's
  /// executor, never blocking it. The connection must outlive the awaitable (as the lease
  /// that pins it does).
  boost::asio::awaitable<std::int64_t> aexecute(std::string sql, std::vector<Value> params = {});
  /// Runs `sql` once for each set of bound values, in order, to its end: the rows each run
  /// changed. One statement prepared once; a failure ends the runs.
  virtual std::vector<std::int64_t> execute_each(const std::string& sql,
                                                 const std::vector<std::vector<Value>>& params);
  /// The steps of execute_each: by default those of each execution in turn.
  virtual std::unique_ptr<Operation> start_execute_each(std::string sql,
                                                        std::vector<std::vector<Value>> params,
                                                        std::vector<std::int64_t>& changed);
  boost::asio::awaitable<std::vector<std::int64_t>> aexecute_each(
      std::string sql, std::vector<std::vector<Value>> params);
  /// Runs `sql` with `params` bound and hands over its rows.
  virtual std::unique_ptr<Cursor> query(const std::string& sql, std::vector<Value> params = {}) = 0;
  /// The first column of the first row of `sql`; nullopt when it returns no row.
  std::optional<Value> scalar(const std::string& sql, std::vector<Value> params = {});
  /// The rows of `sql`, read whole.
  Rows fetch(const std::string& sql, std::vector<Value> params = {});
  /// The steps of fetch(sql, params); by default one blocking step that reads query().
  virtual std::unique_ptr<Fetch> start_fetch(std::string sql, std::vector<Value> params);
  /// The coroutine form of fetch (as aexecute).
  boost::asio::awaitable<Rows> afetch(std::string sql, std::vector<Value> params = {});

  /// Adds `records` to the table of `cls`, each value bound as its field's core type
  /// requires (checked first), together with `_metadata` and the address columns.
  virtual void insert_rows(const classes::model::ModelClass& cls,
                           std::span<const boost::json::object> records) = 0;
  /// The steps of insert_rows; by default one blocking step that calls it. `cls` and
  /// `records` must outlive the operation.
  virtual std::unique_ptr<Operation> start_insert_rows(const classes::model::ModelClass& cls,
                                                       std::span<const boost::json::object> records);
  /// Learns that `columns` of `table` hold values of any type as JSON (widened:
  /// Dialect::widen_column), so that insert_rows writes their values as JSON. Nothing to
  /// learn for a database whose columns hold any type anyway.
  virtual void widened_columns(const std::string& table, std::vector<std::string> columns) {
    (void)table, (void)columns;
  }
  /// The coroutine form of insert_rows; `cls` and `records` must outlive the awaitable.
  boost::asio::awaitable<void> ainsert_rows(const classes::model::ModelClass& cls,
                                            std::span<const boost::json::object> records);

  /// Opens a write transaction (the dialect's begin_write), commits it, rolls it back.
  virtual void begin() = 0;
  virtual void commit() = 0;
  /// Rolls back the open transaction, if there is one; the transaction is gone either way.
  /// A store driven by socket readiness may defer the ROLLBACK to the connection's next
  /// use (or its return to its pool), so that a destructor never waits for a server.
  virtual void rollback() noexcept = 0;
  /// The steps of begin and commit; by default one blocking step each.
  virtual std::unique_ptr<Operation> start_begin();
  virtual std::unique_ptr<Operation> start_commit();
  boost::asio::awaitable<void> abegin();
  boost::asio::awaitable<void> acommit();
};

/// A write transaction on one connection, rolled back when left without a commit.
class Transaction {
 public:
  /// Begins a transaction on `conn`.
  explicit Transaction(Connection& conn) : conn_(conn) { conn_.begin(); }
  /// Takes charge of the transaction the caller has begun (`co_await conn.abegin()`).
  struct Begun {};
  static constexpr Begun begun{};
  Transaction(Connection& conn, Begun) noexcept : conn_(conn) {}
  ~Transaction() { rollback(); }
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  /// Commits; when the commit fails the transaction is still to be rolled back.
  void commit() {
    conn_.commit();
    done_ = true;
  }
  boost::asio::awaitable<void> acommit();
  /// The transaction was committed by an operation of the caller's (a Sequence).
  void committed() noexcept { done_ = true; }
  void rollback() noexcept {
    if (!done_) conn_.rollback();
    done_ = true;
  }
  Connection& connection() const noexcept { return conn_; }

 private:
  Connection& conn_;
  bool done_ = false;
};

/// One connection of an alias pinned to its holder, for the length of a transaction: the
/// store hands it out and takes it back when the lease ends.
class Lease {
 public:
  /// `owner` keeps the connection alive; `give_back` (optional) returns it to its store.
  Lease(Connection& conn, std::shared_ptr<void> owner,
        std::function<void(Connection&)> give_back = {}) noexcept
      : conn_(&conn), owner_(std::move(owner)), give_back_(std::move(give_back)) {}
  Lease(Lease&& other) noexcept
      : conn_(other.conn_),
        owner_(std::move(other.owner_)),
        give_back_(std::move(other.give_back_)) {
    other.give_back_ = nullptr;
  }
  Lease& operator=(Lease&&) = delete;
  Lease(const Lease&) = delete;
  ~Lease() {
    if (give_back_) give_back_(*conn_);
  }
  Connection& operator*() const noexcept { return *conn_; }
  Connection* operator->() const noexcept { return conn_; }

 private:
  Connection* conn_;
  std::shared_ptr<void> owner_;
  std::function<void(Connection&)> give_back_;
};

}  // namespace velmor_models::backends::driver
