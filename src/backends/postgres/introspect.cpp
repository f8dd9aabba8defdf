#include "velmor_models/backends/postgres/introspect.hpp"

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>

#include "backends/introspection_rules.hpp"
#include "backends/postgres/pool.hpp"
#include "backends/postgres/settings.hpp"
#include "velmor_models/backends/database_url.hpp"
#include "velmor_models/utils/schemabridge.hpp"
#include "velmor_utils/errors.hpp"

namespace velmor_models::backends::postgres {
namespace {

namespace json = boost::json;

// Tables only, as SQLite's introspection reads them; an array column's data_type is
// "ARRAY", so its element type (udt_name without its leading '_') stands in with "[]",
// which the converter maps to ARRAY. Sorted by name byte by byte, whatever the collation.
constexpr const char* kColumns = R"sql(
SELECT c.table_name::text AS table_name, c.column_name::text AS column_name,
       CASE WHEN c.data_type = 'ARRAY' THEN substr(c.udt_name, 2) || '[]'
            ELSE c.data_type::text END AS data_type,
       c.is_nullable::text AS is_nullable, c.column_default::text AS column_default
FROM information_schema.columns c
JOIN information_schema.tables t
  ON t.table_schema = c.table_schema AND t.table_name = c.table_name
WHERE t.table_type = 'BASE TABLE' AND c.table_schema = coalesce($1::text, current_schema())
ORDER BY c.table_name COLLATE "C", c.ordinal_position)sql";

json::value json_of(const driver::Value& v) {
  if (const auto* text = std::get_if<std::string>(&v)) return json::string(*text);
  return nullptr;  // information_schema holds text or NULL here
}

// The alias introspection's messages name.
constexpr const char* kAlias = "introspection";

}  // namespace

std::vector<IntrospectedTable> introspect_database(const std::string& url,
                                                   std::optional<std::string_view> connection_name,
                                                   std::optional<std::string_view> schema) {
  const DatabaseUrl parsed = parse_database_url(url);
  if (parsed.scheme != "postgresql" && parsed.scheme != "postgres")
    throw velmor_utils::errors::ValueError("'" + mask_password(url) +
                                           "' is not a PostgreSQL URL (postgresql:...)");
  const std::shared_ptr<Pool> pool = Pool::open(read_settings(kAlias, parsed));
  driver::Rows rows;
  {
    driver::Lease lease = pool->acquire();
    std::vector<driver::Value> params{schema ? driver::Value(std::string(*schema))
                                             : driver::Value()};
    rows = lease->fetch(kColumns, std::move(params));
  }
  const utils::schemabridge::ExternalSchemaConverter converter;
  std::vector<IntrospectedTable> tables;
  for (std::size_t i = 0; i < rows.rows.size();) {
    const std::string name = std::get<std::string>(rows.rows[i][0]);
    json::array columns;
    for (; i < rows.rows.size() && std::get<std::string>(rows.rows[i][0]) == name; ++i) {
      const std::vector<driver::Value>& row = rows.rows[i];
      columns.push_back(json::object{{"column_name", json_of(row[1])},
                                     {"data_type", json_of(row[2])},
                                     {"is_nullable", json_of(row[3])},
                                     {"column_default", json_of(row[4])}});
    }
    if (is_store_table(name)) continue;
    const bool plain = drop_framework_columns(columns, "column_name");
    try {
      tables.push_back({name,
                        converter.postgres_schema_to_object_schema(name, columns, connection_name),
                        plain});
    } catch (const velmor_utils::errors::ValidationError& e) {
      throw velmor_utils::errors::ValidationError("table '" + name + "': " + e.what());
    }
  }
  return tables;
}

}  // namespace velmor_models::backends::postgres
