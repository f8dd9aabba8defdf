#include "backends/store/save_log.hpp"

#include <algorithm>
#include <tuple>

#include "backends/store/object_ids.hpp"
#include "backends/store/store_tables.hpp"
#include "velmor_models/backends/object_store.hpp"
#include "velmor_models/backends/sql/dialect.hpp"
#include "velmor_models/querysets/errors.hpp"

namespace velmor_models::backends::store {
namespace {

using querysets::errors::DatabaseError;
using querysets::errors::DatabaseErrorCategory;

// Brings the default database to the lakehouse's state for one entry: a deletion removes
// the object's row; a version replaces an older row and is copied from the lakehouse,
// column by column (both tables have the same layout); a newer row stays (the default's
// unique object id leaves the copy out).
void apply_entry(Connection& lake, Connection& main, const std::string& table,
                 const std::string& object_id, std::int64_t version, bool deleted) {
  const std::string q = quoted(main, table);
  if (deleted) {
    run(main, "DELETE FROM " + q + " WHERE \"_object_id\" = ? AND \"_object_version\" <= ?",
        {text(object_id), integer(version)});
    return;
  }
  run(main, "DELETE FROM " + q + " WHERE \"_object_id\" = ? AND \"_object_version\" < ?",
      {text(object_id), integer(version)});
  auto row =
      rows(lake, "SELECT * FROM " + q + " WHERE \"_object_id\" = ? AND \"_object_version\" = ?",
           {text(object_id), integer(version)});
  if (!row->next()) return;
  std::vector<std::string> columns;
  std::vector<Value> values;
  for (std::size_t i = 0; i < row->column_count(); ++i) {
    columns.push_back(row->column_name(i));
    values.push_back(row->value(i));
  }
  row.reset();  // done with the lakehouse's statement
  main.execute(main.dialect().insert(table, columns, true), values);
}

}  // namespace

SaveLog::SaveLog() : id_(generated_id()) {}

void SaveLog::add(Connection& lake, std::string_view class_name, std::string_view table,
                  std::string_view object_id, std::int64_t version, bool deleted) {
  run(lake,
      "INSERT INTO \"_velmor_pending\" (save_id, table_name, object_id, object_version, deleted) "
      "VALUES (?, ?, ?, ?, ?)",
      {text(id_), text(table), text(object_id), integer(version), integer(deleted ? 1 : 0)});
  entries_.push_back(
      {std::string(class_name), std::string(table), std::string(object_id), version, deleted});
}

void SaveLog::apply(Connection& lake, Connection& main, const classes::model::ModelClass* cls,
                    std::span<const boost::json::object> rows) const {
  if (!cls) {
    for (const Entry& e : entries_)
      apply_entry(lake, main, e.table, e.object_id, e.version, e.deleted);
    return;
  }
  // Both write locks are held and every version is new: no row of the default database
  // can be as new as it, so older ones go and the rows are added as written.
  std::string older;
  for (const Entry& e : entries_) {
    if (e.deleted) {
      apply_entry(lake, main, e.table, e.object_id, e.version, true);
    } else if (e.version > 1) {  // a first version has no older one
      if (older.empty())
        older = main.dialect().with_placeholders(
            "DELETE FROM " + quoted(main, e.table) +
            " WHERE \"_object_id\" = ? AND \"_object_version\" < ?");
      main.execute(older, {text(e.object_id), integer(e.version)});
    }
  }
  main.insert_rows(*cls, rows);
}

void SaveLog::complete(Connection& lake, Transaction& held) const {
  try {
    held.commit();
  } catch (const DatabaseError& e) {
    // It may have committed: taking the lakehouse part back could leave the default
    // database with a version the lakehouse lacks. The replay completes it either way.
    if (e.category() == DatabaseErrorCategory::outcome_unknown) throw;
    held.rollback();
    undo(lake);
    throw;
  } catch (...) {
    held.rollback();
    undo(lake);
    throw;
  }
  forget(lake);
}

// Takes back the lakehouse writes of this save after the default database refused them
// (full, read-only, ...), newest first, so a failed save leaves no trace.
void SaveLog::undo(Connection& lake) const {
  Transaction t(lake);
  for (auto e = entries_.rbegin(); e != entries_.rend(); ++e) {
    if (e->deleted) {
      run(lake, "UPDATE \"_velmor_objects\" SET deleted = 0 WHERE class_name = ? AND object_id = ?",
          {text(e->class_name), text(e->object_id)});
      continue;
    }
    run(lake,
        "DELETE FROM " + quoted(lake, e->table) +
            " WHERE \"_object_id\" = ? AND \"_object_version\" = ?",
        {text(e->object_id), integer(e->version)});
    if (e->version == 1)
      run(lake, "DELETE FROM \"_velmor_objects\" WHERE class_name = ? AND object_id = ?",
          {text(e->class_name), text(e->object_id)});
    else
      run(lake,
          "UPDATE \"_velmor_objects\" SET latest_version = ? WHERE class_name = ? AND object_id "
          "= ? AND latest_version = ?",
          {integer(e->version - 1), text(e->class_name), text(e->object_id), integer(e->version)});
  }
  run(lake, "DELETE FROM \"_velmor_pending\" WHERE save_id = ?", {text(id_)});
  t.commit();
}

// Should the removal fail (the lakehouse locked just then, no memory), the entries stay
// behind: replaying them changes nothing, and the save they belong to is complete.
void SaveLog::forget(Connection& lake) const noexcept {
  try {
    run(lake, "DELETE FROM \"_velmor_pending\" WHERE save_id = ?", {text(id_)});
  } catch (...) {
  }
}

}  // namespace velmor_models::backends::store

namespace velmor_models::backends {

void recover_pending_saves() {
  using namespace store;
  Lease l = lake();
  ensure_store_tables(*l);
  if (!scalar(*l, "SELECT 1 FROM \"_velmor_pending\" LIMIT 1")) return;
  Lease d = main_db();
  // The default database's write lock first: a save whose lakehouse part has committed
  // holds it until its default part has, so what is read below is what was left behind.
  Transaction held(*d);
  struct Entry {
    std::optional<std::string> save_id;
    std::string table, object_id;
    std::int64_t version;
    bool deleted;
  };
  std::vector<Entry> entries;
  {
    // Versions of one object in the order they were saved, its deletion last.
    auto found =
        rows(*l,
             "SELECT save_id, table_name, object_id, object_version, deleted FROM "
             "\"_velmor_pending\" ORDER BY table_name, object_id, object_version, deleted");
    while (found->next()) {
      const Value save_id = found->value(0);
      entries.push_back({std::holds_alternative<std::string>(save_id)
                             ? std::optional<std::string>(std::get<std::string>(save_id))
                             : std::nullopt,
                         driver::text_of(found->value(1), "a table name"),
                         driver::text_of(found->value(2), "an object id"),
                         driver::integer_of(found->value(3), "an object version"),
                         driver::integer_of(found->value(4), "a deletion mark") != 0});
    }
  }
  if (entries.empty()) return;
  for (const Entry& e : entries) apply_entry(*l, *d, e.table, e.object_id, e.version, e.deleted);
  held.commit();
  std::vector<std::string> saves;
  bool unnamed = false;
  for (const Entry& e : entries) {
    if (!e.save_id)
      unnamed = true;
    else if (std::find(saves.begin(), saves.end(), *e.save_id) == saves.end())
      saves.push_back(*e.save_id);
  }
  for (const std::string& id : saves)
    run(*l, "DELETE FROM \"_velmor_pending\" WHERE save_id = ?", {text(id)});
  // Entries of a log written before saves had ids.
  if (unnamed) run(*l, "DELETE FROM \"_velmor_pending\" WHERE save_id IS NULL");
}

}  // namespace velmor_models::backends
