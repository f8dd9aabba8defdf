#include "backends/store/store_tables.hpp"

#include <algorithm>
#include <vector>

#include "backends/stored_value.hpp"
#include "backends/table_layout.hpp"
#include "velmor_models/backends/sql/dialect.hpp"

namespace velmor_models::backends::store {
namespace {

using classes::model::CoreTypes;
using classes::model::FieldDecl;

// The columns of `table`: name and declared type.
awaitable<std::vector<std::pair<std::string, std::string>>> columns_of(Connection& conn,
                                                                      std::string table) {
  std::vector<std::pair<std::string, std::string>> out;
  const Sql list{conn.dialect().table_columns(), {text(table)}};
  const Rows found = co_await conn.afetch(list.text, list.params);
  for (const auto& row : found.rows) {
    const Value& type = row.at(1);
    out.emplace_back(driver::text_of(row.at(0), "a column name"),
                     std::holds_alternative<std::string>(type) ? std::get<std::string>(type) : "");
  }
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
  const std::string_view time = d.column_type(CoreTypes::INTEGER);  // microseconds, UTC
  // Per object: its latest version, whether it is deleted, and when it last changed (a new
  // version is never saved earlier than that).
  const sql::ColumnDef objects[] = {{"class_name", t},
                                    {"object_id", t},
                                    {"latest_version", n},
                                    {"deleted", flag},
                                    {"saved_at", time}};
  // Every deletion: the version that was the latest then, and when.
  const sql::ColumnDef deletions[] = {
      {"class_name", t}, {"object_id", t}, {"version", n}, {"deleted_at", n}};
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
      d.create_table("_velmor_pending", pending),
      d.create_table("_velmor_deletions", deletions, "PRIMARY KEY (class_name, object_id, version)")};
  // In one transaction, one process at a time: a server refuses the second of two
  // concurrent CREATE TABLE IF NOT EXISTS of one name.
  co_await lake.abegin();
  Transaction creating(lake, Transaction::begun);
  std::vector<std::string> lock{"velmor store tables"};
  co_await lock_names(lake, std::move(lock));
  for (const std::string& statement : ddl) co_await lake.aexecute(statement);
  // Columns tables made before lack: a log written before saves had ids (its entries, if
  // any, are replayed by recovery), objects without their time (NULL: the earliest).
  const std::pair<std::string, std::string_view> added[] = {{"_velmor_pending", "save_id"},
                                                           {"_velmor_objects", "saved_at"}};
  for (const auto& wanted : added) {
    const auto& [table, column] = wanted;
    const auto present = co_await columns_of(lake, table);
    if (std::find_if(present.begin(), present.end(), [&](const auto& c) {
          return c.first == wanted.second;
        }) == present.end()) {
      const std::string add = d.add_column(table, column,
                                           column == "save_id" ? d.column_type(CoreTypes::STRING)
                                                               : time);
      co_await lake.aexecute(add);
    }
  }
  co_await creating.acommit();
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
  std::string unique =
      lakehouse ? d.create_index(d.index_name(table, "___version"), table, version, true)
                : d.create_index(d.index_name(table, "___object"), table, object, true);
  co_await conn.aexecute(std::move(unique));
  std::string drop = "DROP INDEX IF EXISTS ";
  d.quote_identifier(drop, d.index_name(table, "___address"));
  co_await conn.aexecute(std::move(drop));
  // A field the table lacks gets its column; one whose core type changed keeps its column,
  // widened where the database types its columns, so that rows of both types stay as
  // stored (the version decision reads them as they were saved).
  const auto present = co_await columns_of(conn, table);
  // An address column a table made before lacks (`_saved_at`: NULL, the earliest time).
  for (const FieldDecl* a : address_columns())
    if (std::find_if(present.begin(), present.end(),
                     [&](const auto& c) { return c.first == a->name; }) == present.end()) {
      const std::string add = d.add_column(table, a->name, d.column_type(a->type));
      co_await conn.aexecute(add);
    }
  std::vector<std::string> widened;
  const std::string_view json_type = d.column_type(CoreTypes::DICTIONARY);
  for (const FieldDecl& f : cls.fields()) {
    const auto column = std::find_if(present.begin(), present.end(),
                                     [&](const auto& c) { return c.first == f.name; });
    const std::string_view type = d.column_type(f.type);
    if (column == present.end()) {
      const std::string add = d.add_column(table, f.name, type);
      co_await conn.aexecute(add);
      continue;
    }
    if (column->second == type) continue;
    if (column->second != json_type) {
      const std::string widen = d.widen_column(table, f.name, column->second);
      if (widen.empty()) continue;  // the column holds any type already
      co_await conn.aexecute(widen);
    }
    widened.push_back(f.name);
  }
  conn.widened_columns(table, std::move(widened));
}

}  // namespace velmor_models::backends::store
