#pragma once
// Introspection of an existing SQLite database: one object schema and one run-time model
// class per table, so that a database nobody declared C++ classes for can be queried.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "velmor_models/backends/introspected_table.hpp"

namespace velmor_models::backends::sqlite {

using backends::IntrospectedTable;
using backends::model_class_of;
using backends::register_model_classes;

/// Reads every table of the SQLite database file at `path` (SQLite's own `sqlite_*` tables
/// and the object store's `_velmor_*` ones excepted), sorted by name. The file is opened read-only
/// and never created or changed. `connection_name`, when given and not empty, becomes each schema's
/// `__connection__`. A missing file, a file that is not a SQLite database or an unreadable schema
/// is a DatabaseError naming the file; a table the converter refuses fails with the converter's
/// error, prefixed by the table's name.
std::vector<IntrospectedTable> introspect_database(
    const std::string& path, std::optional<std::string_view> connection_name = std::nullopt);

}  // namespace velmor_models::backends::sqlite
