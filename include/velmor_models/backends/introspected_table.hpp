#pragma once
// A table of an existing database as introspection found it, and the run-time model class
// made from it: what every store's introspection (sqlite/introspect.hpp,
// postgres/introspect.hpp) returns, so that a database nobody declared C++ classes for can
// be queried.

#include <string>
#include <vector>

#include "velmor_models/classes/model.hpp"
#include "velmor_utils/schemas/schema.hpp"

namespace velmor_models::backends {

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

/// The run-time model class of a table: ModelClass::from_schema, marked as a plain table
/// when the table has no `_metadata` column.
classes::model::ModelClassPtr model_class_of(const IntrospectedTable& table);

/// Builds the model class of every table and registers it with ClassManager, so that the
/// classes resolve by name. Two tables whose class names coincide (e.g. "customer" and
/// "customers") are a ValueError naming both, raised before anything is registered.
std::vector<classes::model::ModelClassPtr> register_model_classes(
    const std::vector<IntrospectedTable>& tables);

}  // namespace velmor_models::backends
