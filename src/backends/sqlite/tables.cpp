#include "backends/sqlite/tables.hpp"

#include <boost/json/serialize.hpp>
#include <cmath>
#include <limits>

#include "backends/sqlite/rows.hpp"
#include "backends/statement_log.hpp"
#include "velmor_models/backends/query_check.hpp"
#include "velmor_utils/errors.hpp"

namespace velmor_models::backends::sqlite {
namespace {

using boost::json::value;
using classes::model::CoreTypes;
using classes::model::FieldDecl;
using velmor_utils::errors::TypeError;
using velmor_utils::errors::ValueError;

constexpr std::string_view kMetadata = "_metadata";

const char* column_type(const CoreTypes& t) {
  if (t == CoreTypes::INTEGER || t == CoreTypes::BOOLEAN) return "INTEGER";
  if (t == CoreTypes::NUMBER) return "REAL";
  if (t == CoreTypes::BINARY) return "BLOB";
  return "TEXT";  // STRING, DATE, DATETIME, and JSON text for ARRAY and DICTIONARY
}

[[noreturn]] void wrong_kind(const classes::model::ModelClass& cls, const FieldDecl& f,
                             const value& v) {
  throw TypeError("field '" + f.name + "' of " + cls.name() + " is " + std::string(f.type.value()) +
                  ", not " + boost::json::serialize(v));
}

// Binds one field value after checking it has the field's core type.
int bind_field(sqlite3_stmt* stmt, int i, const classes::model::ModelClass& cls, const FieldDecl& f,
               const value& v, std::string& scratch) {
  if (v.is_null()) return sqlite3_bind_null(stmt, i);
  const CoreTypes& t = f.type;
  if (t == CoreTypes::INTEGER) {
    if (v.is_int64()) return sqlite3_bind_int64(stmt, i, v.get_int64());
    if (v.is_uint64() &&
        v.get_uint64() <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
      return sqlite3_bind_int64(stmt, i, static_cast<sqlite3_int64>(v.get_uint64()));
    if (v.is_uint64())
      throw ValueError("field '" + f.name + "': " + std::to_string(v.get_uint64()) +
                       " does not fit in a 64-bit signed integer");
  } else if (t == CoreTypes::NUMBER) {
    if (v.is_number() && !v.is_double()) return sqlite3_bind_double(stmt, i, v.to_number<double>());
    if (v.is_double()) {
      if (!std::isfinite(v.get_double()))
        throw ValueError("field '" + f.name + "': a number must be finite");
      return sqlite3_bind_double(stmt, i, v.get_double());
    }
  } else if (t == CoreTypes::BOOLEAN) {
    if (v.is_bool()) return sqlite3_bind_int64(stmt, i, v.get_bool() ? 1 : 0);
    // SQLite's own spelling of a boolean.
    if ((v.is_int64() || v.is_uint64()) &&
        (v.to_number<std::int64_t>() == 0 || v.to_number<std::int64_t>() == 1))
      return sqlite3_bind_int64(stmt, i, v.to_number<std::int64_t>());
  } else if (t == CoreTypes::BINARY) {
    if (v.is_string()) {
      if (!base64_decode(v.get_string(), scratch))
        throw ValueError("field '" + f.name + "': binary values are given as base64 text");
      return sqlite3_bind_blob64(stmt, i, scratch.data(), scratch.size(), SQLITE_TRANSIENT);
    }
  } else if (t == CoreTypes::ARRAY || t == CoreTypes::DICTIONARY) {
    if ((t == CoreTypes::ARRAY && v.is_array()) || (t == CoreTypes::DICTIONARY && v.is_object())) {
      scratch = boost::json::serialize(v);
      return sqlite3_bind_text64(stmt, i, scratch.data(), scratch.size(), SQLITE_TRANSIENT,
                                 SQLITE_UTF8);
    }
  } else if (v.is_string()) {  // STRING, DATE, DATETIME
    const auto& s = v.get_string();
    return sqlite3_bind_text64(stmt, i, s.data(), s.size(), SQLITE_STATIC, SQLITE_UTF8);
  }
  wrong_kind(cls, f, v);
}

}  // namespace

bool is_address_column(std::string_view name) {
  return name == "_object_id" || name == "_object_version" || name == "_class_version";
}

std::span<const FieldDecl* const> address_fields() {
  static const FieldDecl id{"_object_id", CoreTypes::STRING, false, {}};
  static const FieldDecl version{"_object_version", CoreTypes::INTEGER, false, {}};
  static const FieldDecl class_version{"_class_version", CoreTypes::INTEGER, false, {}};
  static const FieldDecl* const all[] = {&id, &version, &class_version};
  return all;
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
    Connection::Use use(stmt);
    for (const auto& [key, v] : record) {
      if (key == kMetadata || is_address_column(key)) continue;
      (void)field_of(cls, key);  // an undeclared name is an error naming the fields
    }
    int i = 0;
    for (const FieldDecl* f : fields) {
      ++i;
      const value* v = record.if_contains(f->name);
      static const value null_value;
      int rc = bind_field(stmt, i, cls, *f, v ? *v : null_value, scratch);
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
    } else if (meta->is_object()) {
      scratch = boost::json::serialize(*meta);
      rc = sqlite3_bind_text64(stmt, i, scratch.data(), scratch.size(), SQLITE_TRANSIENT,
                               SQLITE_UTF8);
    } else {
      throw TypeError("_metadata is a mapping or its JSON text, not " +
                      boost::json::serialize(*meta));
    }
    if (rc != SQLITE_OK) conn.fail(rc, sql);
    for (const FieldDecl* f : address_fields()) {
      const value* v = record.if_contains(f->name);
      static const value null_value;
      rc = bind_field(stmt, ++i, cls, *f, v ? *v : null_value, scratch);
      if (rc != SQLITE_OK) conn.fail(rc, sql);
    }
    run_to_end(conn, stmt, sql);
  }
}

}  // namespace velmor_models::backends::sqlite
