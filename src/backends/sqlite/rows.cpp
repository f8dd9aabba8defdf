#include "backends/sqlite/rows.hpp"

#include <boost/json/parser.hpp>
#include <limits>

#include "backends/stored_value.hpp"
#include "velmor_utils/errors.hpp"

namespace velmor_models::backends::sqlite {
namespace {

using boost::json::value;
using sql::CoreTypes;

std::string_view text_of(sqlite3_stmt* stmt, int i) {
  const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(stmt, i));
  return {p, static_cast<std::size_t>(sqlite3_column_bytes(stmt, i))};
}

// A JSON column's value; text that is not JSON is kept as text rather than lost.
value parse_json(std::string_view text) {
  thread_local boost::json::parser parser;
  parser.reset();
  boost::system::error_code ec;
  parser.write(text, ec);
  if (ec) return value(text);
  return parser.release();
}

value by_storage(sqlite3_stmt* stmt, int i, int storage) {
  switch (storage) {
    case SQLITE_INTEGER:
      return value(static_cast<std::int64_t>(sqlite3_column_int64(stmt, i)));
    case SQLITE_FLOAT:
      return value(sqlite3_column_double(stmt, i));
    case SQLITE_TEXT:
      return value(text_of(stmt, i));
    case SQLITE_BLOB: {
      const auto* p = static_cast<const unsigned char*>(sqlite3_column_blob(stmt, i));
      return value(
          base64_encode(std::string_view(reinterpret_cast<const char*>(p),
                                         static_cast<std::size_t>(sqlite3_column_bytes(stmt, i)))));
    }
    default:
      return value(nullptr);
  }
}

value decode(sqlite3_stmt* stmt, int i, const CoreTypes& type) {
  int storage = sqlite3_column_type(stmt, i);
  if (storage == SQLITE_NULL) return value(nullptr);
  if (type == CoreTypes::NUMBER && storage == SQLITE_INTEGER)
    return number_value(sqlite3_column_int64(stmt, i));
  if (type == CoreTypes::BOOLEAN && storage == SQLITE_INTEGER)
    return value(sqlite3_column_int64(stmt, i) != 0);
  if ((type == CoreTypes::ARRAY || type == CoreTypes::DICTIONARY) && storage == SQLITE_TEXT)
    return parse_json(text_of(stmt, i));
  return by_storage(stmt, i, storage);
}

}  // namespace

RowReader::RowReader(Connection& conn, sqlite3_stmt* stmt,
                     const std::vector<sql::ResultColumn>& columns, const std::string& sql)
    : conn_(conn), stmt_(stmt), columns_(columns), sql_(sql), count_(sqlite3_column_count(stmt)) {
  if (columns.empty())
    for (int i = 0; i < count_; ++i) names_.emplace_back(sqlite3_column_name(stmt, i));
  else if (columns.size() != static_cast<std::size_t>(count_))
    throw velmor_utils::errors::ValueError("the statement returns " + std::to_string(count_) +
                                           " columns, " + std::to_string(columns.size()) +
                                           " were described: " + sql);
  // A row saved without metadata has none: its NULL `_metadata` is left out of the record
  // rather than handed to materialisation as a null mapping.
  for (std::size_t i = 0; i < columns.size(); ++i)
    if (columns[i].name == "_metadata") metadata_column_ = static_cast<int>(i);
}

bool RowReader::read(std::size_t max, std::vector<velmor_glue::Data>& out) {
  for (std::size_t k = 0; k < max; ++k) {
    int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_DONE) return false;
    if (rc != SQLITE_ROW) conn_.fail(rc, sql_);
    boost::json::object record(static_cast<std::size_t>(count_));
    for (int i = 0; i < count_; ++i) {
      if (columns_.empty())
        record.emplace(names_[i], by_storage(stmt_, i, sqlite3_column_type(stmt_, i)));
      else if (i != metadata_column_ || sqlite3_column_type(stmt_, i) != SQLITE_NULL)
        record.emplace(columns_[i].name, decode(stmt_, i, columns_[i].type));
    }
    out.push_back(velmor_glue::Data{std::move(record), boost::json::object()});
  }
  return true;
}

std::vector<velmor_glue::Data> read_rows(Connection& conn, sqlite3_stmt* stmt,
                                         const std::vector<sql::ResultColumn>& columns,
                                         const std::string& sql) {
  std::vector<velmor_glue::Data> out;
  RowReader(conn, stmt, columns, sql).read(std::numeric_limits<std::size_t>::max(), out);
  return out;
}

std::int64_t read_scalar(Connection& conn, sqlite3_stmt* stmt, const std::string& sql) {
  int rc = sqlite3_step(stmt);
  if (rc != SQLITE_ROW) conn.fail(rc == SQLITE_DONE ? SQLITE_MISMATCH : rc, sql);
  return sqlite3_column_int64(stmt, 0);
}

void run_to_end(Connection& conn, sqlite3_stmt* stmt, const std::string& sql) {
  int rc;
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
  }
  if (rc != SQLITE_DONE) conn.fail(rc, sql);
}

}  // namespace velmor_models::backends::sqlite
