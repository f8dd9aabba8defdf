#pragma once
// The tables of the object store: its own (class schemas, objects, the save log) and one
// per model class in each database.

#include <string>

#include "backends/store/store_db.hpp"
#include "velmor_models/classes/model.hpp"

namespace velmor_models::backends::store {

/// Creates the store's own tables in the lakehouse unless they exist, and brings an older
/// save log to the current layout.
awaitable<void> ensure_store_tables(Connection& lake);

/// Creates the table of `cls` unless it exists, or adds the columns of the fields a newer
/// schema gained (a table keeps the columns of dropped fields: old versions hold them),
/// with its unique address index: the object id in the default database, the object id
/// and version in the `lakehouse`.
awaitable<void> ensure_table(Connection& conn, const classes::model::ModelClass& cls,
                             bool lakehouse);

/// True when the database behind `conn` has the table `name` (reading creates nothing).
awaitable<bool> has_table(Connection& conn, std::string name);

}  // namespace velmor_models::backends::store
