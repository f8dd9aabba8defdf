#include "velmor_models/backends/sqlite/introspect.hpp"

#include <sqlite3.h>

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>
#include <filesystem>
#include <memory>

#include "backends/introspection_rules.hpp"
#include "backends/sqlite/connection.hpp"
#include "velmor_models/querysets/errors.hpp"
#include "velmor_models/utils/schemabridge.hpp"
#include "velmor_utils/errors.hpp"

namespace velmor_models::backends::sqlite {
namespace {

namespace json = boost::json;
using querysets::errors::DatabaseError;

[[noreturn]] void fail(const std::string& path, const std::string& why, int code,
                       const std::string& sql = {}) {
  throw DatabaseError("SQLite database '" + path + "': " + why, "", sql, std::to_string(code),
                      false, error_category(code), code);
}

struct CloseDatabase {
  void operator()(sqlite3* db) const { sqlite3_close(db); }
};
struct FinalizeStatement {
  void operator()(sqlite3_stmt* stmt) const { sqlite3_finalize(stmt); }
};
using Database = std::unique_ptr<sqlite3, CloseDatabase>;
using Statement = std::unique_ptr<sqlite3_stmt, FinalizeStatement>;

// Read-only, and never created: SQLite would otherwise make an empty database of any
// path it is given.
Database open_read_only(const std::string& path) {
  std::error_code ec;
  const auto status = std::filesystem::status(path, ec);
  if (!std::filesystem::exists(status)) fail(path, "no such file", SQLITE_CANTOPEN);
  if (std::filesystem::is_directory(status)) fail(path, "is a directory", SQLITE_CANTOPEN);
  sqlite3* raw = nullptr;
  const int rc = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
  Database db(raw);
  if (rc != SQLITE_OK) fail(path, raw ? sqlite3_errmsg(raw) : sqlite3_errstr(rc), rc);
  sqlite3_extended_result_codes(raw, 1);
  return db;
}

// One prepared statement; `text` is bound to its first parameter when given.
Statement prepare(sqlite3* db, const std::string& path, const std::string& sql,
                  std::optional<std::string_view> text = std::nullopt) {
  sqlite3_stmt* raw = nullptr;
  int rc = sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &raw, nullptr);
  Statement stmt(raw);
  // A file that is not a database shows itself on the first read of the schema.
  if (rc != SQLITE_OK) fail(path, sqlite3_errmsg(db), sqlite3_extended_errcode(db), sql);
  if (text) {
    rc = sqlite3_bind_text64(raw, 1, text->data(), text->size(), SQLITE_TRANSIENT, SQLITE_UTF8);
    if (rc != SQLITE_OK) fail(path, sqlite3_errmsg(db), rc, sql);
  }
  return stmt;
}

json::value cell(sqlite3_stmt* stmt, int i) {
  switch (sqlite3_column_type(stmt, i)) {
    case SQLITE_INTEGER:
      return sqlite3_column_int64(stmt, i);
    case SQLITE_FLOAT:
      return sqlite3_column_double(stmt, i);
    case SQLITE_NULL:
      return nullptr;
    default: {
      const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, i));
      return json::string(text ? text : "",
                          static_cast<std::size_t>(sqlite3_column_bytes(stmt, i)));
    }
  }
}

// Every row of the statement as a mapping from column name to value.
json::array rows_of(sqlite3* db, const std::string& path, const std::string& sql,
                    std::optional<std::string_view> text = std::nullopt) {
  Statement stmt = prepare(db, path, sql, text);
  json::array rows;
  int rc;
  while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW) {
    json::object row;
    for (int i = 0; i < sqlite3_column_count(stmt.get()); ++i)
      row[sqlite3_column_name(stmt.get(), i)] = cell(stmt.get(), i);
    rows.push_back(std::move(row));
  }
  if (rc != SQLITE_DONE) fail(path, sqlite3_errmsg(db), sqlite3_extended_errcode(db), sql);
  return rows;
}

}  // namespace

std::vector<IntrospectedTable> introspect_database(
    const std::string& path, std::optional<std::string_view> connection_name) {
  Database db = open_read_only(path);
  // SQLite reserves every name that begins with "sqlite_" (in any case) for itself.
  const json::array names = rows_of(db.get(), path,
                                    "SELECT name FROM sqlite_schema WHERE type = 'table' AND "
                                    "name NOT LIKE 'sqlite\\_%' ESCAPE '\\' ORDER BY name");
  const utils::schemabridge::ExternalSchemaConverter converter;
  std::vector<IntrospectedTable> tables;
  tables.reserve(names.size());
  for (const json::value& row : names) {
    std::string name(row.at("name").as_string());
    if (is_store_table(name)) continue;
    json::array columns = rows_of(db.get(), path,
                                  "SELECT cid, name, type, \"notnull\", dflt_value, pk "
                                  "FROM pragma_table_info(?1)",
                                  name);
    const bool plain = drop_framework_columns(columns, "name");
    if (!plain) {
      // The store declares NUMBER columns NUMERIC, so that integers stay exact.
      for (json::value& c : columns) {
        json::value& type = c.as_object()["type"];
        if (type.is_string() && type.get_string() == "NUMERIC") type = "REAL";
      }
    }
    try {
      tables.push_back(
          {name, converter.sqlite_schema_to_object_schema(name, columns, connection_name), plain});
    } catch (const velmor_utils::errors::ValidationError& e) {
      throw velmor_utils::errors::ValidationError("table '" + name + "': " + e.what());
    }
  }
  return tables;
}

}  // namespace velmor_models::backends::sqlite
