#pragma once
// The table of a model class in an SQL store: a column per declared field, `_metadata` and
// the address columns, with the types and the statements of the store's dialect.

#include <string>
#include <vector>

#include "velmor_models/backends/sql/dialect.hpp"
#include "velmor_models/classes/model.hpp"

namespace velmor_models::backends {

/// The table name of `cls`; ValueError when it has none.
std::string table_of(const classes::model::ModelClass& cls);

/// CREATE TABLE and CREATE INDEX statements for `cls`, each "IF NOT EXISTS": the table
/// (with the dialect's insertion-order column, if it has one), an index on the address
/// `(_object_id, _object_version)` unless `address_index` is false (the object store's
/// tables have a unique one), one on `_class_version`, and one per name in
/// `indexed_fields` (each a declared field), named by Dialect::index_name. Every name is
/// checked before the first statement is made.
std::vector<std::string> table_ddl(const sql::Dialect& dialect,
                                   const classes::model::ModelClass& cls,
                                   const std::vector<std::string>& indexed_fields,
                                   bool address_index = true);

}  // namespace velmor_models::backends
