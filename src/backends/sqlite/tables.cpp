#include "backends/sqlite/tables.hpp"

#include <boost/json/serialize.hpp>

#include "backends/sqlite/rows.hpp"
#include "backends/statement_log.hpp"
#include "backends/stored_value.hpp"
#include "velmor_models/backends/query_check.hpp"
#include "velmor_utils/errors.hpp"

namespace velmor_models::backends::sqlite {
namespace {

using boost::json::value;
using classes::model::CoreTypes;
using classes::model::FieldDecl;
using velmor_utils::errors::ValueError;

constexpr std::string_view kMetadata = "_metadata";

// Binds one field value, already checked by check_stored_value.
int bind_field(sqlite3_stmt* stmt, int i, const FieldDecl& f, const value& v,
               std::string& scratch) {
  if (v.is_null()) return sqlite3_bind_null(stmt, i);
  const CoreTypes& t = f.type;
  if (t == CoreTypes::INTEGER || t == CoreTypes::NUMBER || t == CoreTypes::BOOLEAN) {
    // Integers stay integers (a NUMBER column's affinity keeps them exact).
    if (v.is_double()) return sqlite3_bind_double(stmt, i, v.get_double());
    if (v.is_bool()) return sqlite3_bind_int64(stmt, i, v.get_bool() ? 1 : 0);
    return sqlite3_bind_int64(stmt, i, v.to_number<std::int64_t>());
  }
  if (t == CoreTypes::BINARY) {
    (void)base64_decode(v.get_string(), scratch);
    return sqlite3_bind_blob64(stmt, i, scratch.data(), scratch.size(), SQLITE_TRANSIENT);
  }
  if (t == CoreTypes::ARRAY || t == CoreTypes::DICTIONARY) {
    scratch = boost::json::serialize(v);
    return sqlite3_bind_text64(stmt, i, scratch.data(), scratch.size(), SQLITE_TRANSIENT,
                               SQLITE_UTF8);
  }
  const auto& s = v.get_string();  // STRING, DATE, DATETIME
  return sqlite3_bind_text64(stmt, i, s.data(), s.size(), SQLITE_STATIC, SQLITE_UTF8);
}

}  // namespace

const char* column_type(const CoreTypes& t) {
  if (t == CoreTypes::INTEGER || t == CoreTypes::BOOLEAN) return "INTEGER";
  // NUMERIC affinity keeps an integer an integer (REAL would round it to a double).
  if (t == CoreTypes::NUMBER) return "NUMERIC";
  if (t == CoreTypes::BINARY) return "BLOB";
  return "TEXT";  // STRING, DATE, DATETIME, and JSON text for ARRAY and DICTIONARY
}

std::string quote_identifier(std::string_view name) {
  if (name.empty()) throw ValueError("an SQL name cannot be empty");
  if (name.find('\0') != std::string_view::npos)
    throw ValueError("an SQL name cannot hold a NUL byte");
  std::string out = "\"";
  for (char c : name) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
  return out;
}

std::string table_of(const classes::model::ModelClass& cls) {
  const value& t = cls.table_name();
  if (!t.is_string() || t.get_string().empty())
    throw ValueError("model " + cls.name() + " has no table name");
  return std::string(t.get_string());
}

std::vector<std::string> table_ddl(const classes::model::ModelClass& cls,
                                   const std::vector<std::string>& indexed_fields) {
  const std::string table = table_of(cls);
  std::string ddl = "CREATE TABLE IF NOT EXISTS " + quote_identifier(table) + " (";
  for (const auto& f : cls.fields()) {
    if (f.name == kMetadata) continue;
    ddl += quote_identifier(f.name) + " " + column_type(f.type) + ", ";
  }
  // The address columns of a stored object, read by the `_address__...` filters.
  ddl +=
      "\"_metadata\" TEXT, \"_object_id\" TEXT, \"_object_version\" INTEGER, "
      "\"_class_version\" INTEGER)";
  std::vector<std::string> out{std::move(ddl)};
  out.push_back("CREATE INDEX IF NOT EXISTS " + quote_identifier(table + "___address") + " ON " +
                quote_identifier(table) + " (\"_object_id\", \"_object_version\")");
  out.push_back("CREATE INDEX IF NOT EXISTS " + quote_identifier(table + "___class_version") +
                " ON " + quote_identifier(table) + " (\"_class_version\")");
  for (const auto& name : indexed_fields) {
    const FieldDecl& f = field_of(cls, name);
    out.push_back("CREATE INDEX IF NOT EXISTS " + quote_identifier(table + "__" + f.name) + " ON " +
                  quote_identifier(table) + " (" + quote_identifier(f.name) + ")");
  }
  return out;
}

void insert_rows(Connection& conn, const classes::model::ModelClass& cls,
                 std::span<const boost::json::object> records) {
  std::vector<const FieldDecl*> fields;
  std::string sql = "INSERT INTO " + quote_identifier(table_of(cls)) + " (";
  std::string marks;
  for (const auto& f : cls.fields()) {
    if (f.name == kMetadata) continue;
    fields.push_back(&f);
    sql += quote_identifier(f.name) + ", ";
    marks += "?, ";
  }
  sql += "\"_metadata\", \"_object_id\", \"_object_version\", \"_class_version\") VALUES (" +
         marks + "?, ?, ?, ?)";
  sqlite3_stmt* stmt = conn.prepare(sql);
  std::string scratch;
  StatementTimer timer(conn.alias(), sql);
  for (const auto& record : records) {
    check_record(cls, record);
    Connection::Use use(stmt);
    int i = 0;
    for (const FieldDecl* f : fields) {
      ++i;
      const value* v = record.if_contains(f->name);
      static const value null_value;
      int rc = bind_field(stmt, i, *f, v ? *v : null_value, scratch);
      if (rc != SQLITE_OK) conn.fail(rc, sql);
    }
    ++i;
    const value* meta = record.if_contains(kMetadata);
    int rc = SQLITE_OK;
    if (!meta || meta->is_null()) {
      rc = sqlite3_bind_null(stmt, i);
    } else if (meta->is_string()) {
      const auto& s = meta->get_string();
      rc = sqlite3_bind_text64(stmt, i, s.data(), s.size(), SQLITE_STATIC, SQLITE_UTF8);
    } else {
      scratch = boost::json::serialize(*meta);
      rc = sqlite3_bind_text64(stmt, i, scratch.data(), scratch.size(), SQLITE_TRANSIENT,
                               SQLITE_UTF8);
    }
    if (rc != SQLITE_OK) conn.fail(rc, sql);
    for (const FieldDecl* f : address_columns()) {
      const value* v = record.if_contains(f->name);
      static const value null_value;
      rc = bind_field(stmt, ++i, *f, v ? *v : null_value, scratch);
      if (rc != SQLITE_OK) conn.fail(rc, sql);
    }
    run_to_end(conn, stmt, sql);
  }
}

}  // namespace velmor_models::backends::sqlite
