#pragma once
// Error kinds raised by query sets and by the stores that run them.

#include <string>
#include <utility>

#include "velmor_utils/errors.hpp"

namespace velmor_models::querysets::errors {

class ObjectDoesNotExistError : public velmor_utils::errors::Error {
 public:
  using Error::Error;
};

class MultipleObjectsReturnedError : public velmor_utils::errors::Error {
 public:
  using Error::Error;
};

class BulkOperationError : public velmor_utils::errors::Error {
 public:
  using Error::Error;
};

/// A query names a field that its model does not have, or walks into a field that holds
/// no JSON value. The message names the field, the model and the fields it has.
class FieldError : public velmor_utils::errors::ValueError {
 public:
  using ValueError::ValueError;
};

/// What kind of failure a DatabaseError is, for code that acts on it.
enum class DatabaseErrorCategory {
  other,            ///< none of the kinds below (a bad statement, a corrupt file, ...)
  connection_lost,  ///< the connection broke; a new one may succeed
  busy,             ///< a lock was not granted within the busy or lock timeout
  conflict,         ///< a serialization failure, deadlock or stale version: safe to retry
  constraint,       ///< a constraint of the database refused the write
  read_only,        ///< the database, or this connection to it, takes no writes
  out_of_space,     ///< the disk or the memory is full
  cancelled,        ///< the statement was cancelled or interrupted
  outcome_unknown,  ///< a commit whose answer never arrived: it may or may not have happened
};

/// A database refused or failed a statement. Carries what is needed to act on it: the
/// alias it ran on, the SQL text, the store's own error code (SQLite's extended result
/// code as decimal text, PostgreSQL's SQLSTATE), whether the connection that ran it can
/// still be used, the category, the native code as a number and the SQLSTATE where the
/// database has one.
class DatabaseError : public velmor_utils::errors::Error {
 public:
  DatabaseError(const std::string& message, std::string alias, std::string sql, std::string code,
                bool connection_usable,
                DatabaseErrorCategory category = DatabaseErrorCategory::other,
                long long native_code = 0, std::string sqlstate = {})
      : Error(message),
        alias_(std::move(alias)),
        sql_(std::move(sql)),
        code_(std::move(code)),
        sqlstate_(std::move(sqlstate)),
        native_code_(native_code),
        category_(category),
        connection_usable_(connection_usable) {}

  const std::string& alias() const noexcept { return alias_; }
  const std::string& sql() const noexcept { return sql_; }
  const std::string& code() const noexcept { return code_; }
  bool connection_usable() const noexcept { return connection_usable_; }
  DatabaseErrorCategory category() const noexcept { return category_; }
  /// The store's own error number (SQLite's extended result code); 0 when there is none.
  long long native_code() const noexcept { return native_code_; }
  /// The five-character SQLSTATE; empty for a store that has none (SQLite).
  const std::string& sqlstate() const noexcept { return sqlstate_; }
  /// True for the kinds after which running the same work again is safe and may succeed
  /// (a conflict, a lock not granted).
  bool retryable() const noexcept {
    return category_ == DatabaseErrorCategory::conflict || category_ == DatabaseErrorCategory::busy;
  }

 private:
  std::string alias_;
  std::string sql_;
  std::string code_;
  std::string sqlstate_;
  long long native_code_;
  DatabaseErrorCategory category_;
  bool connection_usable_;
};

}  // namespace velmor_models::querysets::errors
