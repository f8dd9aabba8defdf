#pragma once
// A model class's table in SQLite: its DDL and the insertion of records.

#include <boost/json/object.hpp>
#include <span>
#include <string>
#include <vector>

#include "backends/sqlite/connection.hpp"
#include "velmor_models/classes/model.hpp"

namespace velmor_models::backends::sqlite {

/// `name` as a quoted SQL identifier; ValueError for a NUL byte or the empty name.
std::string quote_identifier(std::string_view name);

/// The table name of `cls`; ValueError when it has none.
std::string table_of(const classes::model::ModelClass& cls);

/// CREATE TABLE and CREATE INDEX statements for `cls`, each "IF NOT EXISTS".
std::vector<std::string> table_ddl(const classes::model::ModelClass& cls,
                                   const std::vector<std::string>& indexed_fields);

/// The declared type of a column holding values of core type `t`.
const char* column_type(const classes::model::CoreTypes& t);

/// Inserts `records` into the table of `cls` inside the caller's transaction; a record may
/// give the address columns too.
void insert_rows(Connection& conn, const classes::model::ModelClass& cls,
                 std::span<const boost::json::object> records);

}  // namespace velmor_models::backends::sqlite
