#pragma once
// A simple query on one table of an introspected database.

#include <boost/json/value.hpp>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "velmor_models/backends/introspected_table.hpp"

namespace velmor_inspect {

/// What the command line asks of one table.
struct TableQuery {
  std::string table;
  std::vector<std::string> filters;   ///< "field__lookup=value"
  std::vector<std::string> order_by;  ///< "field" or "-field"
  std::optional<std::int64_t> limit;
  std::optional<std::int64_t> offset;
};

/// A filter value as typed: JSON when it parses as JSON (21, 2.5, true, null, "x", [1,2]),
/// otherwise the text itself (a bare word).
boost::json::value filter_value(std::string_view text);

/// True when `database` names a PostgreSQL database (`postgresql:` or `postgres:`) rather
/// than a SQLite file.
bool is_postgres_url(std::string_view database);

/// The tables of `database`: a SQLite file or a PostgreSQL URL.
std::vector<velmor_models::backends::IntrospectedTable> introspect(const std::string& database);

/// Runs `query` through a query set over the table's model class, on `database` (a SQLite
/// file, opened read-only, or a PostgreSQL URL), and writes each row as one line of JSON
/// to `out`. An unknown table is a ValueError naming the tables there are.
void run_table_query(const std::string& database,
                     const std::vector<velmor_models::backends::IntrospectedTable>& tables,
                     const TableQuery& query, std::ostream& out);

}  // namespace velmor_inspect
