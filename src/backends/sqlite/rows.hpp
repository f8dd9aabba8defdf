#pragma once
// Reading a statement's rows into records whose values keep their core types.

#include <sqlite3.h>

#include <vector>

#include "backends/sqlite/connection.hpp"
#include "velmor_glue/glue.hpp"
#include "velmor_models/backends/sql/statement.hpp"

namespace velmor_models::backends::sqlite {

/// Steps `stmt` (bound, not yet run) to its end: one record per row, each column decoded
/// as `columns` says (by name and storage class when `columns` is empty).
std::vector<velmor_glue::Data> read_rows(Connection& conn, sqlite3_stmt* stmt,
                                         const std::vector<sql::ResultColumn>& columns,
                                         const std::string& sql);

/// Decodes the rows of a bound statement into records, as many at a time as asked for.
class RowReader {
 public:
  /// `columns`, `sql` and `conn` must outlive the reader.
  RowReader(Connection& conn, sqlite3_stmt* stmt, const std::vector<sql::ResultColumn>& columns,
            const std::string& sql);
  /// Steps up to `max` rows into `out`; false once the statement has no more.
  bool read(std::size_t max, std::vector<velmor_glue::Data>& out);

 private:
  Connection& conn_;
  sqlite3_stmt* stmt_;
  const std::vector<sql::ResultColumn>& columns_;
  const std::string& sql_;
  int count_;
  std::vector<std::string> names_;
  int metadata_column_ = -1;
};

/// Steps `stmt` to its one row and returns the integer in its first column.
std::int64_t read_scalar(Connection& conn, sqlite3_stmt* stmt, const std::string& sql);

/// Steps a statement that returns no rows.
void run_to_end(Connection& conn, sqlite3_stmt* stmt, const std::string& sql);

}  // namespace velmor_models::backends::sqlite
