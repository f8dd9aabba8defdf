#pragma once
// Introspection of an existing SQLite database: one object schema and one run-time model
// class per table, so that a database nobody declared C++ classes for can be queried.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "velmor_models/classes/model.hpp"
#include "velmor_utils/schemas/schema.hpp"

namespace velmor_models::backends::sqlite {

/// One table as the database describes it.
struct IntrospectedTable {
  std::string name;  ///< the table's name in the database
  /// Its columns converted by ExternalSchemaConverter; the reserved `_metadata` column is
  /// not a property.
  velmor_utils::schemas::schema::ObjectSchema schema;
  /// True when the table has no `_metadata` column: its rows are plain rows, not stored
  /// objects, and the version machinery does not apply to them.
  bool plain = true;
};

/// Reads every table of the SQLite database file at `path` (SQLite's own `sqlite_*` tables
/// excepted), sorted by name. The file is opened read-only and never created or changed.
/// `connection_name`, when given and not empty, becomes each schema's `__connection__`.
/// A missing file, a file that is not a SQLite database or an unreadable schema is a
/// DatabaseError naming the file; a table the converter refuses fails with the converter's
/// error, prefixed by the table's name.
std::vector<IntrospectedTable> introspect_database(
    const std::string& path, std::optional<std::string_view> connection_name = std::nullopt);

/// The run-time model class of a table: ModelClass::from_schema, marked as a plain table
/// when the table has no `_metadata` column.
classes::model::ModelClassPtr model_class_of(const IntrospectedTable& table);

/// Builds the model class of every table and registers it with ClassManager, so that the
/// classes resolve by name. Two tables whose class names coincide (e.g. "customer" and
/// "customers") are a ValueError naming both, raised before anything is registered.
std::vector<classes::model::ModelClassPtr> register_model_classes(
    const std::vector<IntrospectedTable>& tables);

}  // namespace velmor_models::backends::sqlite
