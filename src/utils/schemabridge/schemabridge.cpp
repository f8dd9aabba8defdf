#include "velmor_models/utils/schemabridge.hpp"

#include <boost/json/object.hpp>
#include <boost/json/value.hpp>
#include <string>
#include <utility>

#include "velmor_models/detail/unicode.hpp"
#include "velmor_utils/errors.hpp"
#include "velmor_utils/models/data_models/enums.hpp"
#include "velmor_utils/utils/text.hpp"
#include "velmor_utils/values.hpp"

namespace velmor_models::utils::schemabridge {
namespace {

namespace json = boost::json;
using velmor_utils::errors::KeyError;
using velmor_utils::errors::TypeError;
using velmor_utils::models::data_models::enums::CoreTypes;
using velmor_utils::values::kind_name;
using velmor_utils::values::truth;
using ObjectSchema = ExternalSchemaConverter::ObjectSchema;

bool contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

template <class Markers>
bool contains_any(std::string_view text, const Markers& markers) {
  for (std::string_view m : markers)
    if (contains(text, m)) return true;
  return false;
}

template <class Names>
bool equals_any(std::string_view text, const Names& names) {
  for (std::string_view n : names)
    if (text == n) return true;
  return false;
}

const json::object& column_mapping(const json::value& column, std::size_t index) {
  if (!column.is_object())
    throw TypeError("column " + std::to_string(index) + " must be a mapping, not " +
                    std::string(kind_name(column)));
  return column.get_object();
}

const json::value& mandatory(const json::object& column, std::string_view key) {
  const json::value* v = column.if_contains(key);
  if (!v) throw KeyError(key);
  return *v;
}

std::string_view text_of(const json::value& v, std::string_view what) {
  if (!v.is_string())
    throw TypeError(std::string(what) + " must be text, not " + std::string(kind_name(v)));
  return v.get_string();
}

// `v == 0` as the host runtime evaluates it: numbers compare numerically and booleans
// count as 0 and 1, while null, text, lists and mappings are never equal to a number.
bool equals_zero(const json::value& v) {
  switch (v.kind()) {
    case json::kind::bool_:
      return !v.get_bool();
    case json::kind::int64:
      return v.get_int64() == 0;
    case json::kind::uint64:
      return v.get_uint64() == 0;
    case json::kind::double_:
      return v.get_double() == 0.0;
    default:
      return false;
  }
}

// `v > 0`; unlike equality, ordering a non-number against a number is an error.
bool greater_than_zero(const json::value& v) {
  switch (v.kind()) {
    case json::kind::bool_:
      return v.get_bool();
    case json::kind::int64:
      return v.get_int64() > 0;
    case json::kind::uint64:
      return v.get_uint64() > 0;
    case json::kind::double_:
      return v.get_double() > 0.0;
    default:
      throw TypeError("pk must be a number to compare with 0, not " + std::string(kind_name(v)));
  }
}

// Collects the parts of the schema data column by column.
class SchemaBuilder {
 public:
  // `default_value` is null when the column has no default; a JSON null default counts
  // as none as well.
  void add_property(const json::value& name, std::string core_type,
                    const json::value* default_value) {
    std::string_view key = text_of(name, "column name");
    json::object description;
    description["type"] = std::move(core_type);
    description["title"] = key;
    if (default_value && !default_value->is_null()) description["default"] = *default_value;
    // operator[] keeps the position of a name seen before and replaces its description.
    properties_[key] = std::move(description);
  }
  void add_required(const json::value& name) { required_.push_back(name); }
  void add_primary_key(const json::value& name) { primary_key_.push_back(name); }

  ObjectSchema build(std::string_view table_name,
                     std::optional<std::string_view> connection_name) && {
    json::object data;
    data["title"] = velmor_utils::utils::text::classify(table_name);
    data["__table_name__"] = table_name;
    data["properties"] = std::move(properties_);
    data["required"] = std::move(required_);
    if (!primary_key_.empty()) data["__primary_key__"] = std::move(primary_key_);
    if (connection_name && !connection_name->empty()) data["__connection__"] = *connection_name;
    return ObjectSchema(data);
  }

 private:
  json::object properties_;
  json::array required_;
  json::array primary_key_;
};

}  // namespace

std::string ExternalSchemaConverter::sqlite_type_to_core_type(std::string_view sqlite_type) {
  const std::string t = velmor_models::detail::unicode_upper(sqlite_type);
  if (contains(t, "INT")) return CoreTypes::INTEGER.str();
  if (contains_any(t, kSqliteStringMarkers)) return CoreTypes::STRING.str();
  if (contains_any(t, kSqliteBinaryMarkers)) return CoreTypes::BINARY.str();
  if (contains_any(t, kSqliteNumberMarkers)) return CoreTypes::NUMBER.str();
  if (contains(t, "DATE") || contains(t, "TIME")) {
    if (contains(t, "TIME") && contains(t, "DATE")) return CoreTypes::DATETIME.str();
    if (contains(t, "STAMP")) return CoreTypes::DATETIME.str();
    if (contains(t, "DATE")) return CoreTypes::DATE.str();
    return CoreTypes::DATETIME.str();
  }
  if (contains(t, "BOOL")) return CoreTypes::BOOLEAN.str();
  return CoreTypes::STRING.str();
}

std::string ExternalSchemaConverter::postgres_type_to_core_type(std::string_view postgres_type) {
  static constexpr std::array<std::string_view, 6> kIntegerNames{
      "smallint", "integer", "bigint", "serial", "bigserial", "smallserial"};
  static constexpr std::array<std::string_view, 4> kNumberNames{"real", "double precision",
                                                                "numeric", "decimal"};
  const std::string t = velmor_models::detail::unicode_lower(postgres_type);
  if (equals_any(t, kIntegerNames)) return CoreTypes::INTEGER.str();
  if (equals_any(t, kNumberNames)) return CoreTypes::NUMBER.str();
  if (t.ends_with("[]")) return CoreTypes::ARRAY.str();
  if (contains_any(t, kPostgresStringMarkers)) return CoreTypes::STRING.str();
  if (contains(t, "bytea")) return CoreTypes::BINARY.str();
  if (t == "boolean") return CoreTypes::BOOLEAN.str();
  if (t == "date") return CoreTypes::DATE.str();
  if (contains_any(t, kPostgresDateTimeMarkers)) return CoreTypes::DATETIME.str();
  if (contains_any(t, kPostgresDocumentMarkers)) return CoreTypes::DICTIONARY.str();
  return CoreTypes::STRING.str();
}

std::string ExternalSchemaConverter::map_sqlite_type(std::string_view sqlite_type) const {
  return sqlite_type_to_core_type(sqlite_type);
}

std::string ExternalSchemaConverter::map_postgres_type(std::string_view postgres_type) const {
  return postgres_type_to_core_type(postgres_type);
}

ObjectSchema ExternalSchemaConverter::sqlite_schema_to_object_schema(
    std::string_view table_name, const json::array& columns,
    std::optional<std::string_view> connection_name) const {
  SchemaBuilder schema;
  for (std::size_t i = 0; i < columns.size(); ++i) {
    const json::object& column = column_mapping(columns[i], i);
    const json::value& name = mandatory(column, "name");
    const json::value& type = mandatory(column, "type");
    const bool nullable = equals_zero(mandatory(column, "notnull"));
    const bool primary_key = greater_than_zero(mandatory(column, "pk"));
    const json::value* default_value = column.if_contains("dflt_value");
    schema.add_property(name, map_sqlite_type(text_of(type, "column type")), default_value);
    // A key column is never listed as required, whatever its notnull says.
    if (!nullable && !primary_key) schema.add_required(name);
    if (primary_key) schema.add_primary_key(name);
  }
  return std::move(schema).build(table_name, connection_name);
}

ObjectSchema ExternalSchemaConverter::postgres_schema_to_object_schema(
    std::string_view table_name, const json::array& columns,
    std::optional<std::string_view> connection_name) const {
  SchemaBuilder schema;
  for (std::size_t i = 0; i < columns.size(); ++i) {
    const json::object& column = column_mapping(columns[i], i);
    const json::value& name = mandatory(column, "column_name");
    const json::value& type = mandatory(column, "data_type");
    // Only an absent is_nullable reads as "YES"; any present value but the text "YES"
    // (null, false, 0 and the empty text included) makes the column required.
    const json::value* is_nullable = column.if_contains("is_nullable");
    const bool nullable =
        !is_nullable || (is_nullable->is_string() && is_nullable->get_string() == "YES");
    const json::value* default_value = column.if_contains("column_default");
    schema.add_property(name, map_postgres_type(text_of(type, "data_type")), default_value);
    if (!nullable) schema.add_required(name);
  }
  return std::move(schema).build(table_name, connection_name);
}

ObjectSchema ExternalSchemaConverter::generic_schema_to_object_schema(
    std::string_view table_name, const json::array& columns,
    std::optional<std::string_view> connection_name, TypeConverter type_converter) const {
  if (!type_converter)
    type_converter = [this](std::string_view type) { return map_sqlite_type(type); };
  SchemaBuilder schema;
  for (std::size_t i = 0; i < columns.size(); ++i) {
    const json::object& column = column_mapping(columns[i], i);
    const json::value& name = mandatory(column, "name");
    const json::value& type = mandatory(column, "type");
    // Truth values are free of side effects, so reading and testing at once is safe.
    const json::value* nullable = column.if_contains("nullable");
    const json::value* required = column.if_contains("required");
    const json::value* primary_key = column.if_contains("primary_key");
    const json::value* default_value = column.if_contains("default");
    const bool is_nullable = !nullable || truth(*nullable);
    const bool is_required = required && truth(*required);
    const bool is_key = primary_key && truth(*primary_key);
    schema.add_property(name, type_converter(text_of(type, "column type")), default_value);
    if (!is_nullable || is_required) schema.add_required(name);
    if (is_key) schema.add_primary_key(name);
  }
  return std::move(schema).build(table_name, connection_name);
}

}  // namespace velmor_models::utils::schemabridge
