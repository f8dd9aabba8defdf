#include "backends/sqlite/tables.hpp"

#include <boost/json/serialize.hpp>

#include "backends/sqlite/rows.hpp"
#include "backends/statement_log.hpp"
#include "backends/stored_value.hpp"
#include "backends/table_layout.hpp"
#include "velmor_models/backends/query_check.hpp"
#include "velmor_models/backends/sql/dialect.hpp"
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

void insert_rows(Connection& conn, const classes::model::ModelClass& cls,
                 std::span<const boost::json::object> records) {
  std::vector<const FieldDecl*> fields;
  std::vector<std::string> columns;
  for (const auto& f : cls.fields()) {
    if (f.name == kMetadata) continue;
    fields.push_back(&f);
    columns.push_back(f.name);
  }
  columns.emplace_back(kMetadata);
  for (const FieldDecl* a : address_columns()) columns.push_back(a->name);
  const std::string sql = conn.dialect().insert(table_of(cls), columns);
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
