#pragma once
// Reading a libpq result: a value as a driver value, the rows whole, the rows as records.

#include <cstdint>
#include <vector>

#include "velmor_glue/glue.hpp"
#include "velmor_models/backends/driver/connection.hpp"
#include "velmor_models/backends/sql/statement.hpp"

struct pg_result;

namespace velmor_models::backends::postgres {

/// Column `column` of row `row`: NULL, or its value as columns.hpp reads it.
driver::Value value_at(const pg_result* res, int row, int column);

/// The column names and every row.
driver::Rows rows_of(const pg_result* res);

/// Appends the rows of `res` as records, each column decoded as `columns` says (stored_json;
/// by name and value when `columns` is empty). A NULL `_metadata` is left out, as a row
/// saved without metadata has none.
void append_records(const pg_result* res, const std::vector<sql::ResultColumn>& columns,
                    std::vector<velmor_glue::Data>& out);
/// The same for row `row` alone.
void append_record(const pg_result* res, int row, const std::vector<sql::ResultColumn>& columns,
                   std::vector<velmor_glue::Data>& out);

/// The integer in the first column of the first row (a count).
std::int64_t integer_result(const pg_result* res, const std::string& sql);

}  // namespace velmor_models::backends::postgres
