#include "backends/sqlite/connection.hpp"

#include <boost/json/serialize.hpp>
#include <filesystem>
#include <limits>
#include <memory>
#include <type_traits>
#include <variant>

#include "backends/sqlite/casefold.hpp"
#include "backends/sqlite/tables.hpp"
#include "velmor_models/backends/sql/dialect.hpp"
#include "velmor_models/querysets/errors.hpp"
#include "velmor_utils/errors.hpp"

namespace velmor_models::backends::sqlite {
namespace {

using querysets::errors::DatabaseError;

// SQL: velmor_casefold(text) -> text; NULL and non-text values pass through unchanged.
void casefold_function(sqlite3_context* ctx, int, sqlite3_value** argv) {
  if (sqlite3_value_type(argv[0]) != SQLITE_TEXT) {
    sqlite3_result_value(ctx, argv[0]);
    return;
  }
  const auto* text = reinterpret_cast<const char*>(sqlite3_value_text(argv[0]));
  std::string folded = fold_case(std::string_view(text, sqlite3_value_bytes(argv[0])));
  sqlite3_result_text64(ctx, folded.data(), folded.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
}

// Errors after which the connection cannot be trusted for another statement.
bool usable_after(int rc) {
  switch (rc & 0xff) {
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
    case SQLITE_IOERR:
    case SQLITE_CANTOPEN:
    case SQLITE_NOMEM:
    case SQLITE_FULL:
    case SQLITE_MISUSE:
      return false;
    default:
      return true;
  }
}

}  // namespace

querysets::errors::DatabaseErrorCategory error_category(int rc) {
  using querysets::errors::DatabaseErrorCategory;
  if (rc == SQLITE_BUSY_SNAPSHOT) return DatabaseErrorCategory::conflict;  // a stale snapshot
  if (rc == SQLITE_IOERR_NOMEM) return DatabaseErrorCategory::out_of_space;
  switch (rc & 0xff) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return DatabaseErrorCategory::busy;
    case SQLITE_CONSTRAINT:
      return DatabaseErrorCategory::constraint;
    case SQLITE_READONLY:
      return DatabaseErrorCategory::read_only;
    case SQLITE_FULL:
    case SQLITE_NOMEM:
      return DatabaseErrorCategory::out_of_space;
    case SQLITE_INTERRUPT:
      return DatabaseErrorCategory::cancelled;
    default:
      return DatabaseErrorCategory::other;
  }
}

DatabaseError sqlite_error(const std::string& message, const Target& target, std::string sql,
                           int rc, bool opened) {
  return DatabaseError(message, target.alias, std::move(sql), std::to_string(rc),
                       opened && usable_after(rc), error_category(rc), rc);
}

namespace {

std::string describe(const Target& t, int rc, const char* native) {
  std::string msg = "SQLite database '" + t.url + "' (alias '" + t.alias + "'): " + native;
  if ((rc & 0xff) == SQLITE_BUSY || (rc & 0xff) == SQLITE_LOCKED)
    msg += " (still locked after " + std::to_string(t.busy_timeout.count()) + " ms)";
  return msg;
}

}  // namespace

Connection::Connection(const Target& target) : target_(target) {
  if (target.file) {
    // SQLite would report a missing folder only as "unable to open"; say what is wrong.
    auto folder = std::filesystem::path(target.filename).parent_path();
    std::error_code ec;
    if (!std::filesystem::is_directory(folder, ec))
      throw sqlite_error("SQLite database '" + target.url + "' (alias '" + target.alias +
                             "'): the folder '" + folder.string() + "' does not exist",
                         target, "", SQLITE_CANTOPEN, false);
  }
  int flags =
      (target.read_only ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE) |
      SQLITE_OPEN_NOMUTEX;
  if (target.uri) flags |= SQLITE_OPEN_URI;
  int rc = sqlite3_open_v2(target.filename.c_str(), &db_, flags, nullptr);
  if (rc != SQLITE_OK) {
    std::string msg = describe(target, rc, db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc));
    sqlite3_close(db_);
    throw sqlite_error(msg, target, "", rc, false);
  }
  try {
    sqlite3_extended_result_codes(db_, 1);
    sqlite3_busy_timeout(db_, static_cast<int>(std::min<std::int64_t>(
                                  target.busy_timeout.count(), std::numeric_limits<int>::max())));
    rc = sqlite3_create_function_v2(db_, "velmor_casefold", 1,
                                    SQLITE_UTF8 | SQLITE_DETERMINISTIC | SQLITE_INNOCUOUS, nullptr,
                                    casefold_function, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) fail(rc, "");
    // Reading the schema is what tells a database from any other file.
    exec("SELECT count(*) FROM sqlite_schema");
    if (target.file && !sqlite3_db_readonly(db_, "main")) {
      exec("PRAGMA journal_mode=WAL");
      exec("PRAGMA synchronous=NORMAL");
    }
  } catch (...) {
    sqlite3_close(db_);
    throw;
  }
}

Connection::~Connection() {
  for (auto& e : lru_) sqlite3_finalize(e.stmt);
  sqlite3_close(db_);
}

sqlite3_stmt* Connection::prepare(const std::string& sql) {
  if (auto it = index_.find(sql); it != index_.end()) {
    ++hits_;
    lru_.splice(lru_.begin(), lru_, it->second);
    return it->second->stmt;
  }
  ++misses_;
  sqlite3_stmt* stmt = nullptr;
  int rc = sqlite3_prepare_v3(db_, sql.data(), static_cast<int>(sql.size()),
                              SQLITE_PREPARE_PERSISTENT, &stmt, nullptr);
  if (rc != SQLITE_OK) fail(rc, sql);
  // Finalized unless the cache takes it: a statement left behind by a failed allocation
  // would keep the connection from closing.
  std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> owned(stmt, sqlite3_finalize);
  if (lru_.size() >= capacity) {
    index_.erase(lru_.back().sql);
    sqlite3_finalize(lru_.back().stmt);
    lru_.pop_back();
  }
  lru_.push_front(Entry{sql, stmt});
  try {
    index_.emplace(lru_.front().sql, lru_.begin());
  } catch (...) {
    lru_.pop_front();
    throw;
  }
  return owned.release();
}

Connection::OwnStatement Connection::prepare_own(const std::string& sql) {
  sqlite3_stmt* stmt = nullptr;
  int rc = sqlite3_prepare_v3(db_, sql.data(), static_cast<int>(sql.size()), 0, &stmt, nullptr);
  OwnStatement owned(stmt, sqlite3_finalize);
  if (rc != SQLITE_OK) fail(rc, sql);
  return owned;
}

void Connection::bind(sqlite3_stmt* stmt, const std::vector<boost::json::value>& params,
                      const std::string& sql) {
  int expected = sqlite3_bind_parameter_count(stmt);
  if (static_cast<std::size_t>(expected) != params.size())
    throw velmor_utils::errors::ValueError("the statement takes " + std::to_string(expected) +
                                           " values, " + std::to_string(params.size()) +
                                           " were given: " + sql);
  int i = 0;
  for (const auto& v : params) {
    ++i;
    int rc = SQLITE_OK;
    switch (v.kind()) {
      case boost::json::kind::null:
        rc = sqlite3_bind_null(stmt, i);
        break;
      case boost::json::kind::bool_:
        rc = sqlite3_bind_int64(stmt, i, v.get_bool() ? 1 : 0);
        break;
      case boost::json::kind::int64:
        rc = sqlite3_bind_int64(stmt, i, v.get_int64());
        break;
      case boost::json::kind::uint64:
        if (v.get_uint64() > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
          throw velmor_utils::errors::ValueError("the integer " + std::to_string(v.get_uint64()) +
                                                 " does not fit in a 64-bit signed integer");
        rc = sqlite3_bind_int64(stmt, i, static_cast<sqlite3_int64>(v.get_uint64()));
        break;
      case boost::json::kind::double_:
        rc = sqlite3_bind_double(stmt, i, v.get_double());
        break;
      case boost::json::kind::string: {
        const auto& s = v.get_string();
        rc = sqlite3_bind_text64(stmt, i, s.data(), s.size(), SQLITE_STATIC, SQLITE_UTF8);
        break;
      }
      case boost::json::kind::array:
      case boost::json::kind::object: {
        // JSON values travel as their compact text (json_each, JSON columns).
        std::string text = boost::json::serialize(v);
        rc = sqlite3_bind_text64(stmt, i, text.data(), text.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
        break;
      }
    }
    if (rc != SQLITE_OK) fail(rc, sql);
  }
}

void Connection::exec(const std::string& sql) {
  char* err = nullptr;
  int rc = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &err);
  sqlite3_free(err);
  if (rc != SQLITE_OK) fail(rc, sql);
}

void Connection::fail(int rc, std::string_view sql) const {
  int code = db_ ? sqlite3_extended_errcode(db_) : rc;
  if ((code & 0xff) != (rc & 0xff)) code = rc;
  throw sqlite_error(describe(target_, code, db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc)),
                     target_, std::string(sql), code);
}

void Connection::bind_values(sqlite3_stmt* stmt, const std::vector<driver::Value>& params,
                             const std::string& sql) {
  if (static_cast<std::size_t>(sqlite3_bind_parameter_count(stmt)) != params.size())
    throw velmor_utils::errors::ValueError(
        "the statement takes " + std::to_string(sqlite3_bind_parameter_count(stmt)) + " values, " +
        std::to_string(params.size()) + " were given: " + sql);
  int i = 0;
  for (const driver::Value& v : params) {
    ++i;
    int rc = std::visit(
        [&](const auto& x) {
          using T = std::decay_t<decltype(x)>;
          if constexpr (std::is_same_v<T, std::monostate>)
            return sqlite3_bind_null(stmt, i);
          else if constexpr (std::is_same_v<T, std::int64_t>)
            return sqlite3_bind_int64(stmt, i, x);
          else if constexpr (std::is_same_v<T, double>)
            return sqlite3_bind_double(stmt, i, x);
          else if constexpr (std::is_same_v<T, std::string>)
            return sqlite3_bind_text64(stmt, i, x.data(), x.size(), SQLITE_STATIC, SQLITE_UTF8);
          else
            return sqlite3_bind_blob64(stmt, i, x.bytes.data(), x.bytes.size(), SQLITE_STATIC);
        },
        v);
    if (rc != SQLITE_OK) fail(rc, sql);
  }
}

namespace {

// The rows of one cached statement; the statement is reset and unbound when it ends.
class Cursor final : public driver::Cursor {
 public:
  Cursor(Connection& conn, sqlite3_stmt* stmt, const std::string& sql,
         std::vector<driver::Value> params)
      : conn_(conn), use_(stmt), sql_(sql), params_(std::move(params)) {
    conn_.bind_values(stmt, params_, sql_);
  }
  bool next() override {
    if (done_) return false;
    const int rc = sqlite3_step(use_.get());
    if (rc == SQLITE_ROW) return true;
    done_ = true;
    if (rc != SQLITE_DONE) conn_.fail(rc, sql_);
    return false;
  }
  std::size_t column_count() const override {
    return static_cast<std::size_t>(sqlite3_column_count(use_.get()));
  }
  std::string column_name(std::size_t i) const override {
    return sqlite3_column_name(use_.get(), static_cast<int>(i));
  }
  driver::Value value(std::size_t index) const override {
    sqlite3_stmt* stmt = use_.get();
    const int i = static_cast<int>(index);
    switch (sqlite3_column_type(stmt, i)) {
      case SQLITE_INTEGER:
        return static_cast<std::int64_t>(sqlite3_column_int64(stmt, i));
      case SQLITE_FLOAT:
        return sqlite3_column_double(stmt, i);
      case SQLITE_TEXT:
        return std::string(reinterpret_cast<const char*>(sqlite3_column_text(stmt, i)),
                           static_cast<std::size_t>(sqlite3_column_bytes(stmt, i)));
      case SQLITE_BLOB: {
        const auto* p = static_cast<const char*>(sqlite3_column_blob(stmt, i));
        return driver::Blob{
            std::string(p, p ? static_cast<std::size_t>(sqlite3_column_bytes(stmt, i)) : 0)};
      }
      default:
        return std::monostate{};
    }
  }

 private:
  Connection& conn_;
  Connection::Use use_;
  std::string sql_;
  std::vector<driver::Value> params_;
  bool done_ = false;
};

}  // namespace

const sql::Dialect& Connection::dialect() const noexcept {
  return sql::sqlite_dialect();
}

std::int64_t Connection::execute(const std::string& sql, const std::vector<driver::Value>& params) {
  sqlite3_stmt* stmt = prepare(sql);
  Use use(stmt);
  bind_values(stmt, params, sql);
  int rc;
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
  }
  if (rc != SQLITE_DONE) fail(rc, sql);
  return sqlite3_changes64(db_);
}

std::unique_ptr<driver::Cursor> Connection::query(const std::string& sql,
                                                  std::vector<driver::Value> params) {
  sqlite3_stmt* stmt = prepare(sql);
  return std::make_unique<Cursor>(*this, stmt, sql, std::move(params));
}

void Connection::insert_rows(const classes::model::ModelClass& cls,
                             std::span<const boost::json::object> records) {
  sqlite::insert_rows(*this, cls, records);
}

std::unique_ptr<driver::Operation> Connection::start_execute_each(
    std::string sql, std::vector<std::vector<driver::Value>> params,
    std::vector<std::int64_t>& changed) {
  return driver::blocking_call(
      [this, sql = std::move(sql), params = std::move(params), &changed] {
        changed = execute_each(sql, params);
      });
}

// Prepared once, from the cache: a save opens and commits transactions on two databases.
void Connection::begin() {
  static const std::string begin_write(sql::sqlite_dialect().begin_write());
  execute(begin_write, {});
}

void Connection::commit() {
  static const std::string commit_sql = "COMMIT";
  execute(commit_sql, {});
}

void Connection::rollback() noexcept {
  if (!sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
}

}  // namespace velmor_models::backends::sqlite
