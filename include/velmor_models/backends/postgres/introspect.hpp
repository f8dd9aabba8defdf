#pragma once
// Introspection of an existing PostgreSQL database: one object schema and one run-time
// model class per table of a schema (backends/introspected_table.hpp), so that a database
// nobody declared C++ classes for can be queried.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "velmor_models/backends/introspected_table.hpp"

namespace velmor_models::backends::postgres {

/// Reads every table of `schema` (the connection's current schema when not given; views
/// and the object store's `_velmor_*` tables excepted) from information_schema.columns,
/// sorted by name, on the database a `postgresql:` or `postgres:` URL names (as
/// `configure` takes it). Each is converted with
/// ExternalSchemaConverter::postgres_schema_to_object_schema (array columns as their
/// element type followed by "[]"); in a table with a `_metadata` column, that column and
/// the address columns are not properties. Nothing is written.
/// `connection_name`, when given and not empty, becomes each schema's `__connection__`.
/// A URL of another kind is a ValueError; a server that cannot be reached a DatabaseError
/// naming the URL (its password masked); a table the converter refuses fails with the
/// converter's error, prefixed by the table's name.
std::vector<IntrospectedTable> introspect_database(
    const std::string& url, std::optional<std::string_view> connection_name = std::nullopt,
    std::optional<std::string_view> schema = std::nullopt);

}  // namespace velmor_models::backends::postgres
