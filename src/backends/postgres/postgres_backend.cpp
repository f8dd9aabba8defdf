#include "velmor_models/backends/postgres/postgres_backend.hpp"

#include "backends/postgres/casefold_setup.hpp"
#include "backends/postgres/connection.hpp"
#include "backends/postgres/cursor.hpp"
#include "backends/postgres/operations.hpp"
#include "backends/postgres/pipeline.hpp"
#include "backends/postgres/pool.hpp"
#include "backends/postgres/results.hpp"
#include "backends/postgres/settings.hpp"
#include "backends/table_layout.hpp"
#include "velmor_models/backends/query_check.hpp"
#include "velmor_models/backends/sql/compiler.hpp"
#include "velmor_models/backends/sql/dialect.hpp"

namespace velmor_models::backends {

using postgres::Pool;
using postgres::Result;

struct PostgresBackend::Impl {
  std::shared_ptr<Pool> pool;
  std::shared_ptr<postgres::Pipeline> shared;  // the coroutine reads' shared connection
};

namespace {

std::vector<driver::Value> values_of(const std::vector<boost::json::value>& params) {
  std::vector<driver::Value> out;
  out.reserve(params.size());
  for (const auto& p : params) out.push_back(driver::from_json(p));
  return out;
}

postgres::Connection& connection_of(const driver::Lease& lease) {
  return static_cast<postgres::Connection&>(*lease);
}

// A compiled statement's whole result, on a connection of the pool.
Result run_statement(Pool& pool, const sql::Statement& st) {
  driver::Lease lease = pool.acquire();
  postgres::ResultOp op(connection_of(lease), st.text, values_of(st.params));
  driver::run(op);
  return std::move(op.result);
}

// The same on the awaiting coroutine's loop, on the connection coroutine reads share.
boost::asio::awaitable<Result> arun_statement(postgres::Pipeline& shared,
                                              const sql::Statement& st) {
  std::vector<driver::Value> values = values_of(st.params);
  std::string text = st.text;
  auto run = shared.run(std::move(text), std::move(values));
  co_return co_await std::move(run);
}

// The coroutines own the statement and the pipeline: the query set may be gone by then.
boost::asio::awaitable<std::vector<velmor_glue::Data>> records(
    std::shared_ptr<postgres::Pipeline> shared, sql::Statement st) {
  auto run = arun_statement(*shared, st);
  const Result result = co_await std::move(run);
  std::vector<velmor_glue::Data> out;
  postgres::append_records(result.get(), st.columns, out);
  co_return out;
}

boost::asio::awaitable<std::int64_t> counted(std::shared_ptr<postgres::Pipeline> shared,
                                             sql::Statement st) {
  auto run = arun_statement(*shared, st);
  const Result result = co_await std::move(run);
  co_return postgres::integer_result(result.get(), st.text);
}

template <class T>
boost::asio::awaitable<T> rethrow(std::exception_ptr error) {
  std::rethrow_exception(error);
  co_return T{};
}

// The rows of one query on a connection of the cursor's own, leased on the first read and
// given back once the rows are read to their end (or the cursor ends).
struct CursorState {
  std::shared_ptr<Pool> pool;
  sql::Statement statement;
  std::optional<driver::Lease> lease;
  std::unique_ptr<postgres::RowStream> stream;  // before the lease goes
  bool done = false;

  void open(driver::Lease leased) {
    lease.emplace(std::move(leased));
    stream = std::make_unique<postgres::RowStream>(connection_of(*lease), statement.text,
                                                   values_of(statement.params));
  }
  // Takes the rows already here; true when more must be read first.
  bool take(std::size_t n, std::vector<velmor_glue::Data>& out) {
    while (out.size() < n) {
      if (stream->next_here()) {
        postgres::append_record(stream->current(), stream->row(), statement.columns, out);
        continue;
      }
      if (!stream->finished()) return true;
      release();
      return false;
    }
    return false;
  }
  void release() noexcept {
    done = true;
    stream.reset();
    lease.reset();
  }
};

class PostgresCursor final : public RecordCursor {
 public:
  explicit PostgresCursor(std::shared_ptr<CursorState> state) : state_(std::move(state)) {}
  std::vector<velmor_glue::Data> next(std::size_t n) override {
    std::vector<velmor_glue::Data> out;
    CursorState& s = *state_;
    if (s.done || n == 0) return out;
    try {
      if (!s.stream) {
        s.open(s.pool->acquire());
        driver::run(s.stream->start());
      }
      while (s.take(n, out)) driver::run(*s.stream->more());
    } catch (...) {
      s.release();
      throw;
    }
    return out;
  }
  boost::asio::awaitable<std::vector<velmor_glue::Data>> anext(std::size_t n) override {
    return read(state_, n);
  }

 private:
  static boost::asio::awaitable<std::vector<velmor_glue::Data>> read(
      std::shared_ptr<CursorState> state, std::size_t n) {
    std::vector<velmor_glue::Data> out;
    CursorState& s = *state;
    if (s.done || n == 0) co_return out;
    std::exception_ptr error;
    try {
      if (!s.stream) {
        driver::Lease leased = co_await s.pool->aacquire();
        s.open(std::move(leased));
        // Not owned here: the stream outlives the wait (the state is held).
        const std::shared_ptr<driver::Operation> start(state, &s.stream->start());
        co_await driver::arun(start);
      }
      while (s.take(n, out)) {
        const std::shared_ptr<driver::Operation> more = s.stream->more();
        co_await driver::arun(more);
      }
    } catch (...) {
      error = std::current_exception();
    }
    if (error) {
      s.release();
      std::rethrow_exception(error);
    }
    co_return out;
  }

  std::shared_ptr<CursorState> state_;
};

}  // namespace

PostgresBackend::PostgresBackend(std::string alias, const DatabaseUrl& url)
    : impl_(std::make_shared<Impl>()) {
  impl_->pool = Pool::open(postgres::read_settings(std::move(alias), url));
  {
    driver::Lease lease = impl_->pool->acquire();
    postgres::prepare_database(connection_of(lease));
  }
  impl_->shared = std::make_shared<postgres::Pipeline>(impl_->pool);
}

PostgresBackend::~PostgresBackend() = default;

const std::string& PostgresBackend::alias() const noexcept {
  return impl_->pool->settings().alias;
}

const sql::Dialect* PostgresBackend::dialect() const noexcept {
  return &sql::postgres_dialect();
}

PostgresBackend::PoolStats PostgresBackend::pool_stats() const {
  const Pool::Stats s = impl_->pool->stats();
  return {s.open, s.idle, s.waiting};
}

std::vector<velmor_glue::Data> PostgresBackend::query(const QuerySetReader& qs) {
  const sql::Statement st = sql::compile_select(check_query(qs), sql::postgres_dialect());
  const Result result = run_statement(*impl_->pool, st);
  std::vector<velmor_glue::Data> out;
  postgres::append_records(result.get(), st.columns, out);
  return out;
}

std::int64_t PostgresBackend::count(const QuerySetReader& qs) {
  const sql::Statement st = sql::compile_count(check_query(qs), sql::postgres_dialect());
  const Result result = run_statement(*impl_->pool, st);
  return postgres::integer_result(result.get(), st.text);
}

// Compiled on the caller's thread when called: the statement owns everything, so the
// query set may go away before the result arrives. Errors surface when awaited.
boost::asio::awaitable<std::vector<velmor_glue::Data>> PostgresBackend::aquery(
    const QuerySetReader& qs) {
  sql::Statement st;
  try {
    st = sql::compile_select(check_query(qs), sql::postgres_dialect());
  } catch (...) {
    return rethrow<std::vector<velmor_glue::Data>>(std::current_exception());
  }
  return records(impl_->shared, std::move(st));
}

boost::asio::awaitable<std::int64_t> PostgresBackend::acount(const QuerySetReader& qs) {
  sql::Statement st;
  try {
    st = sql::compile_count(check_query(qs), sql::postgres_dialect());
  } catch (...) {
    return rethrow<std::int64_t>(std::current_exception());
  }
  return counted(impl_->shared, std::move(st));
}

void PostgresBackend::create_table(const classes::model::ModelClass& cls,
                                   const std::vector<std::string>& indexed_fields) {
  const std::vector<std::string> ddl = table_ddl(sql::postgres_dialect(), cls, indexed_fields);
  driver::Lease lease = impl_->pool->acquire();
  driver::Transaction t(*lease);
  for (const std::string& statement : ddl) lease->execute(statement, {});
  t.commit();
}

void PostgresBackend::insert(const classes::model::ModelClass& cls,
                             std::span<const boost::json::object> records) {
  // Outside a transaction, insert_rows is one of its own: all the records or none.
  driver::Lease lease = impl_->pool->acquire();
  lease->insert_rows(cls, records);
}

std::unique_ptr<RecordCursor> PostgresBackend::open_cursor(const QuerySetReader& qs, bool) {
  auto state = std::make_shared<CursorState>();
  state->pool = impl_->pool;
  state->statement = sql::compile_select(check_query(qs), sql::postgres_dialect());
  return std::make_unique<PostgresCursor>(std::move(state));
}

driver::Lease PostgresBackend::lease() {
  return impl_->pool->acquire();
}

boost::asio::awaitable<driver::Lease> PostgresBackend::alease() {
  co_return co_await impl_->pool->aacquire();
}

// Opens `postgresql:` and `postgres:` URLs for the registry.
namespace detail {
std::shared_ptr<Backend> open_postgres_store(std::string alias, const DatabaseUrl& url) {
  return std::make_shared<PostgresBackend>(std::move(alias), url);
}
}  // namespace detail

}  // namespace velmor_models::backends
