#pragma once
/// @file
/// Schema converter for external connections.
///
/// Converts raw schema information from external connections (SQLite, PostgreSQL, etc.)
/// into VELMOR ObjectSchema format for model generation.

#include <array>
#include <boost/json/array.hpp>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "velmor_utils/schemas/schema.hpp"

namespace velmor_models::utils::schemabridge {

/// Converts external database schema information to ObjectSchema format.
///
/// Supports:
/// - SQLite (PRAGMA table_info output)
/// - PostgreSQL (information_schema format)
/// - Generic schema formats
///
/// Example:
/// @code
///   ExternalSchemaConverter converter;
///   boost::json::array columns = boost::json::parse(R"([
///     {"name": "id", "type": "INTEGER", "notnull": 1, "pk": 1, "dflt_value": null},
///     {"name": "username", "type": "TEXT", "notnull": 1, "pk": 0, "dflt_value": null},
///     {"name": "email", "type": "TEXT", "notnull": 0, "pk": 0, "dflt_value": null}
///   ])").as_array();
///   ObjectSchema schema = converter.sqlite_schema_to_object_schema("users", columns);
///   // schema.title() == "User", properties id (integer), username (string),
///   // email (string); required ["username"]; primary key ["id"].
/// @endcode
///
/// Column descriptions are mappings (JSON objects); keys are read in a fixed order and a
/// missing mandatory key is a KeyError naming it. A column description that is not a
/// mapping, or a column name or type that is not text, is a TypeError. Errors raised by
/// ObjectSchema, by classify or by a type converter propagate unchanged. The converter
/// holds no state, so a failed conversion leaves nothing behind.
///
/// Case conversion in the type mappings is Unicode-aware and locale-independent: the
/// default (full) Unicode case mappings are applied, including one-to-many expansions
/// ("straße" -> "STRASSE", "İ" -> "i" + U+0307); bytes that are not well-formed UTF-8 pass
/// through unchanged.
class ExternalSchemaConverter {
 public:
  using ObjectSchema = velmor_utils::schemas::schema::ObjectSchema;
  /// Maps a type name to a core type name.
  using TypeConverter = std::function<std::string(std::string_view)>;

  // Marker lists of the type mappings, tested in this order (plain substring tests on
  // the case-converted type name).
  static constexpr std::array<std::string_view, 3> kSqliteStringMarkers{"CHAR", "CLOB", "TEXT"};
  static constexpr std::array<std::string_view, 2> kSqliteBinaryMarkers{"BLOB", "BINARY"};
  static constexpr std::array<std::string_view, 3> kSqliteNumberMarkers{"REAL", "FLOA", "DOUB"};
  static constexpr std::array<std::string_view, 3> kPostgresStringMarkers{"char", "varchar",
                                                                          "text"};
  static constexpr std::array<std::string_view, 2> kPostgresDateTimeMarkers{"timestamp", "time"};
  static constexpr std::array<std::string_view, 2> kPostgresDocumentMarkers{"json", "jsonb"};

  virtual ~ExternalSchemaConverter() = default;

  /// Convert SQLite type to VELMOR CoreType.
  ///
  /// Args:
  ///     sqlite_type: SQLite type name (e.g., 'INTEGER', 'TEXT', 'BLOB')
  ///
  /// Returns:
  ///     str: CoreType value
  static std::string sqlite_type_to_core_type(std::string_view sqlite_type);

  /// Convert PostgreSQL type to VELMOR CoreType.
  ///
  /// Args:
  ///     postgres_type: PostgreSQL type name (e.g., 'integer', 'varchar', 'jsonb')
  ///
  /// Returns:
  ///     str: CoreType value
  static std::string postgres_type_to_core_type(std::string_view postgres_type);

  // The conversions reach the type mappings only through these two hooks. A static
  // function cannot be overridden, so a derived converter that wants its own mapping
  // overrides the hook; by default each hook is the static mapping of the same database.

  /// The SQLite type mapping this converter uses; sqlite_type_to_core_type by default.
  virtual std::string map_sqlite_type(std::string_view sqlite_type) const;
  /// The PostgreSQL type mapping this converter uses; postgres_type_to_core_type by default.
  virtual std::string map_postgres_type(std::string_view postgres_type) const;

  /// Convert SQLite PRAGMA table_info output to ObjectSchema.
  ///
  /// Args:
  ///     table_name: Name of the table
  ///     columns: List of column info dicts from PRAGMA table_info
  ///     connection_name: Optional connection name for the model
  ///
  /// Returns:
  ///     ObjectSchema instance
  ///
  /// Reads "name", "type", "notnull", "pk" (all mandatory) and "dflt_value" (optional).
  /// A column is nullable when notnull == 0 and part of the primary key when pk > 0; a
  /// column that is neither is required. Numbers compare numerically, false and true as 0
  /// and 1; any other value is never equal to 0, and a pk that cannot be ordered against a
  /// number is a TypeError.
  ObjectSchema sqlite_schema_to_object_schema(
      std::string_view table_name, const boost::json::array& columns,
      std::optional<std::string_view> connection_name = std::nullopt) const;

  /// Convert PostgreSQL information_schema output to ObjectSchema.
  ///
  /// Args:
  ///     table_name: Name of the table
  ///     columns: List of column info dicts from information_schema.columns
  ///     connection_name: Optional connection name for the model
  ///
  /// Returns:
  ///     ObjectSchema instance
  ///
  /// Reads "column_name", "data_type" (mandatory), "is_nullable" and "column_default"
  /// (optional). A column is nullable when is_nullable is absent or exactly the text "YES"
  /// (compared case-sensitively); any other value (null, false, 0 and "" included) makes
  /// it required.
  /// The result never has a primary key.
  ObjectSchema postgres_schema_to_object_schema(
      std::string_view table_name, const boost::json::array& columns,
      std::optional<std::string_view> connection_name = std::nullopt) const;

  /// Convert generic schema format to ObjectSchema.
  ///
  /// This is a flexible converter that works with various schema formats.
  /// It expects columns to have at minimum: 'name' and 'type' fields.
  ///
  /// Args:
  ///     table_name: Name of the table
  ///     columns: List of column info dicts
  ///     connection_name: Optional connection name for the model
  ///     type_converter: Optional callable to convert type strings to CoreTypes
  ///                     Defaults to SQLite converter if not provided
  ///
  /// Returns:
  ///     ObjectSchema instance
  ///
  /// Reads "name", "type" (mandatory), "nullable" (default true), "required" (default
  /// false), "primary_key" (default false) and "default" (optional), taking their truth
  /// values. A column is required when it is not nullable or marked required; the result
  /// of type_converter is stored without a check of its own.
  ObjectSchema generic_schema_to_object_schema(
      std::string_view table_name, const boost::json::array& columns,
      std::optional<std::string_view> connection_name = std::nullopt,
      TypeConverter type_converter = {}) const;
};

}  // namespace velmor_models::utils::schemabridge
