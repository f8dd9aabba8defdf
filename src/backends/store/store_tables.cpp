#include "backends/store/store_tables.hpp"

#include <algorithm>
#include <vector>

#include "backends/table_layout.hpp"
#include "velmor_models/backends/sql/dialect.hpp"

namespace velmor_models::backends::store {
namespace {

using classes::model::CoreTypes;
using classes::model::FieldDecl;

awaitable<std::vector<std::string>> column_names(Connection& conn, std::string table) {
  std::vector<std::string> out;
  const Sql list{conn.dialect().column_names(), {text(table)}};
  const Rows found = co_await conn.afetch(list.text, list.params);
  for (const auto& row : found.rows) out.push_back(driver::text_of(row.at(0), "a column name"));
  co_return out;
}

}  // namespace

awaitable<bool> has_table(Connection& conn, std::string name) {
  const Sql exists{conn.dialect().table_exists(), {text(name)}};
  const Rows found = co_await conn.afetch(exists.text, exists.params);
  co_return !found.rows.empty();
}

awaitable<void> ensure_store_tables(Connection& lake) {
  const sql::Dialect& d = lake.dialect();
  const std::string t = std::string(d.column_type(CoreTypes::STRING)) + " NOT NULL";
  const std::string n = std::string(d.column_type(CoreTypes::INTEGER)) + " NOT NULL";
  const std::string flag = n + " DEFAULT 0";
  const sql::ColumnDef classes[] = {
      {"class_name", t}, {"class_version", n}, {"table_name", t}, {"schema", t}};
  const sql::ColumnDef objects[] = {
      {"class_name", t}, {"object_id", t}, {"latest_version", n}, {"deleted", flag}};
  // One entry per object a save in flight writes, keyed by the save: with several writers
  // the entries of different saves interleave. An entry without a save id (as a log of an
  // older layout holds them) is left to the replay.
  const sql::ColumnDef pending[] = {{"save_id", d.column_type(CoreTypes::STRING)},
                                    {"table_name", t},
                                    {"object_id", t},
                                    {"object_version", n},
                                    {"deleted", n}};
  const std::string ddl[] = {
      d.create_table("_velmor_classes", classes, "PRIMARY KEY (class_name, class_version)"),
      d.create_table("_velmor_objects", objects, "PRIMARY KEY (class_name, object_id)"),
      d.create_table("_velmor_pending", pending)};
  for (const std::string& statement : ddl) co_await lake.aexecute(statement);
  // A log written before saves had ids: its entries (if any) are replayed by recovery.
  const std::string log = "_velmor_pending";
  const std::vector<std::string> present = co_await column_names(lake, log);
  if (std::find(present.begin(), present.end(), "save_id") == present.end()) {
    const std::string add = d.add_column(log, "save_id", d.column_type(CoreTypes::STRING));
    co_await lake.aexecute(add);
  }
  // No index on save_id: the log holds only the saves in flight, a few rows.
}

awaitable<void> ensure_table(Connection& conn, const classes::model::ModelClass& cls,
                             bool lakehouse) {
  const sql::Dialect& d = conn.dialect();
  const std::string table = table_of(cls);
  const std::vector<std::string> statements = table_ddl(d, cls, {}, false);
  for (const std::string& ddl : statements) co_await conn.aexecute(ddl);
  // The address is unique in each database (the object in the default one, the object
  // and version in the lakehouse), and that index serves every address lookup; a plain
  // one on the same columns (as tables made before had) only slows every write.
  const std::string_view object[] = {"_object_id"};
  const std::string_view version[] = {"_object_id", "_object_version"};
  std::string unique = lakehouse ? d.create_index(table + "___version", table, version, true)
                                 : d.create_index(table + "___object", table, object, true);
  co_await conn.aexecute(std::move(unique));
  std::string drop = "DROP INDEX IF EXISTS ";
  d.quote_identifier(drop, table + "___address");
  co_await conn.aexecute(std::move(drop));
  const std::vector<std::string> present = co_await column_names(conn, table);
  for (const FieldDecl& f : cls.fields())
    if (std::find(present.begin(), present.end(), f.name) == present.end()) {
      const std::string add = d.add_column(table, f.name, d.column_type(f.type));
      co_await conn.aexecute(add);
    }
}

}  // namespace velmor_models::backends::store
