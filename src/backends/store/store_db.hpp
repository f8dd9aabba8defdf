#pragma once
// The object store's two databases, reached through the driver of whatever SQL store each
// alias names, and the few statement helpers the store's parts share.

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "velmor_models/backends/driver/connection.hpp"

namespace velmor_models::backends::store {

using driver::Connection;
using driver::Lease;
using driver::Transaction;
using driver::Value;

/// A connection of the lakehouse (every version, the class schemas, the save log) and of
/// the default database (the latest versions), pinned for the caller. TypeError when the
/// alias names a store that runs no SQL.
Lease lake();
Lease main_db();

/// `text` with `?` placeholders, run on `conn` with `params` bound: the rows it changed.
std::int64_t run(Connection& conn, std::string_view text, const std::vector<Value>& params = {});
/// The first column of the first row of `text`; nullopt when there is no row.
std::optional<Value> scalar(Connection& conn, std::string_view text,
                            std::vector<Value> params = {});
/// The rows of `text`.
std::unique_ptr<driver::Cursor> rows(Connection& conn, std::string_view text,
                                     std::vector<Value> params = {});
/// `name` quoted by the connection's dialect (checked first).
std::string quoted(const Connection& conn, std::string_view name);

/// Text and integers as bound values.
inline Value text(std::string_view s) {
  return std::string(s);
}
inline Value integer(std::int64_t n) {
  return n;
}

}  // namespace velmor_models::backends::store
