#include "backends/store/store_tables.hpp"

#include <algorithm>
#include <vector>

#include "backends/table_layout.hpp"
#include "velmor_models/backends/sql/dialect.hpp"

namespace velmor_models::backends::store {
namespace {

using classes::model::CoreTypes;
using classes::model::FieldDecl;

std::vector<std::string> column_names(Connection& conn, std::string_view table) {
  std::vector<std::string> out;
  auto cursor = conn.query(conn.dialect().column_names(), {text(table)});
  while (cursor->next()) out.push_back(driver::text_of(cursor->value(0), "a column name"));
  return out;
}

}  // namespace

bool has_table(Connection& conn, std::string_view name) {
  return conn.scalar(conn.dialect().table_exists(), {text(name)}).has_value();
}

void ensure_store_tables(Connection& lake) {
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
  lake.execute(
      d.create_table("_velmor_classes", classes, "PRIMARY KEY (class_name, class_version)"));
  lake.execute(d.create_table("_velmor_objects", objects, "PRIMARY KEY (class_name, object_id)"));
  lake.execute(d.create_table("_velmor_pending", pending));
  // A log written before saves had ids: its entries (if any) are replayed by recovery.
  const std::vector<std::string> present = column_names(lake, "_velmor_pending");
  if (std::find(present.begin(), present.end(), "save_id") == present.end())
    lake.execute(d.add_column("_velmor_pending", "save_id", d.column_type(CoreTypes::STRING)));
  // No index on save_id: the log holds only the saves in flight, a few rows.
}

void ensure_table(Connection& conn, const classes::model::ModelClass& cls, bool lakehouse) {
  const sql::Dialect& d = conn.dialect();
  const std::string table = table_of(cls);
  for (const std::string& ddl : table_ddl(d, cls, {}, false)) conn.execute(ddl);
  // The address is unique in each database (the object in the default one, the object
  // and version in the lakehouse), and that index serves every address lookup; a plain
  // one on the same columns (as tables made before had) only slows every write.
  const std::string_view object[] = {"_object_id"};
  const std::string_view version[] = {"_object_id", "_object_version"};
  if (lakehouse)
    conn.execute(d.create_index(table + "___version", table, version, true));
  else
    conn.execute(d.create_index(table + "___object", table, object, true));
  std::string drop = "DROP INDEX IF EXISTS ";
  d.quote_identifier(drop, table + "___address");
  conn.execute(drop);
  const std::vector<std::string> present = column_names(conn, table);
  for (const FieldDecl& f : cls.fields())
    if (std::find(present.begin(), present.end(), f.name) == present.end())
      conn.execute(d.add_column(table, f.name, d.column_type(f.type)));
}

}  // namespace velmor_models::backends::store
