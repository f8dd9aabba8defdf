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

/// A database refused or failed a statement. Carries what is needed to act on it: the
/// alias it ran on, the SQL text, the store's own error code (SQLite's extended result
/// code as decimal text, PostgreSQL's SQLSTATE) and whether the connection that ran it
/// can still be used.
class DatabaseError : public velmor_utils::errors::Error {
 public:
  DatabaseError(const std::string& message, std::string alias, std::string sql, std::string code,
                bool connection_usable)
      : Error(message),
        alias_(std::move(alias)),
        sql_(std::move(sql)),
        code_(std::move(code)),
        connection_usable_(connection_usable) {}

  const std::string& alias() const noexcept { return alias_; }
  const std::string& sql() const noexcept { return sql_; }
  const std::string& code() const noexcept { return code_; }
  bool connection_usable() const noexcept { return connection_usable_; }

 private:
  std::string alias_;
  std::string sql_;
  std::string code_;
  bool connection_usable_;
};

}  // namespace velmor_models::querysets::errors
