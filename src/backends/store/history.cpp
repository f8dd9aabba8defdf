// An object's history, read from the lakehouse: its versions and its deletions.
#include "velmor_models/backends/history.hpp"

#include <algorithm>
#include <functional>
#include <limits>

#include "backends/store/store_db.hpp"
#include "backends/store/store_tables.hpp"
#include "backends/stored_value.hpp"
#include "backends/table_layout.hpp"
#include "velmor_models/querysets/errors.hpp"
#include "velmor_utils/errors.hpp"

namespace velmor_models::backends {
namespace {

namespace json = boost::json;
using classes::model::FieldDecl;
using classes::model::ModelClassPtr;
using namespace store;
using Time = std::chrono::sys_time<std::chrono::microseconds>;

Time time_of(const Value& v) {
  const auto* n = std::get_if<std::int64_t>(&v);
  return Time(std::chrono::microseconds(n ? *n : std::numeric_limits<std::int64_t>::min()));
}

// The versions (whose fields are `fields` of the class's, or all when empty) and the
// deletions of one object, in order.
awaitable<std::vector<HistoryEntry>> read_history(ModelClassPtr cls, std::string object_id,
                                                  std::vector<std::int64_t> versions) {
  if (!cls) throw velmor_utils::errors::TypeError("history needs a model class");
  const std::string table = table_of(*cls);
  Lease l = co_await lake();
  std::vector<HistoryEntry> out;
  const std::string classes = "_velmor_classes";
  if (!co_await has_table(*l, table) || !co_await has_table(*l, classes))
    throw querysets::errors::ObjectDoesNotExistError("No stored " + cls->name() +
                                                     " has the object id '" + object_id + "'");
  std::string sql = "SELECT * FROM " + quoted(*l, table) + " WHERE \"_object_id\" = ?";
  std::vector<Value> params{text(object_id)};
  if (!versions.empty()) {
    sql += " AND \"_object_version\" IN (";
    for (std::size_t i = 0; i < versions.size(); ++i) {
      sql += i ? ", ?" : "?";
      params.push_back(integer(versions[i]));
    }
    sql += ')';
  }
  sql += " ORDER BY \"_object_version\"";
  const Sql read{std::move(sql), std::move(params)};
  const Rows found = co_await rows(*l, read);
  auto column = [&](std::string_view name) -> std::optional<std::size_t> {
    for (std::size_t i = 0; i < found.columns.size(); ++i)
      if (found.columns[i] == name) return i;
    return std::nullopt;
  };
  const std::optional<std::size_t> version_at = column("_object_version"),
                                   class_at = column("_class_version"),
                                   time_at = column("_saved_at");
  for (const auto& row : found.rows) {
    HistoryEntry e;
    e.address.class_name = cls->name();
    e.address.object_id = object_id;
    e.address.object_version = driver::integer_of(row.at(*version_at), "a version");
    if (class_at)
      if (const auto* n = std::get_if<std::int64_t>(&row.at(*class_at)))
        e.address.class_version = *n;
    e.at = time_at ? time_of(row.at(*time_at)) : time_of(Value());
    if (time_at && std::holds_alternative<std::int64_t>(row.at(*time_at)))
      e.address.saved_at = e.at;
    // The fields as stored: the class's by their types, any other (a dropped field) as is.
    for (std::size_t i = 0; i < found.columns.size(); ++i) {
      const std::string& name = found.columns[i];
      if (name == "_metadata" || is_address_column(name) || name.starts_with("_velmor_")) continue;
      const FieldDecl* f = nullptr;
      for (const FieldDecl& d : cls->fields())
        if (d.name == name) f = &d;
      e.values.emplace(name, stored_json(row.at(i), f ? f->type : classes::model::CoreTypes::STRING,
                                         found.json_column(i)));
    }
    out.push_back(std::move(e));
  }
  if (out.empty())
    throw querysets::errors::ObjectDoesNotExistError(
        "No stored " + cls->name() + " has the object id '" + object_id + "'" +
        (versions.empty() ? std::string() : " at the versions asked for"));
  if (!versions.empty()) co_return out;
  const std::string deletions = "_velmor_deletions";
  if (!co_await has_table(*l, deletions)) co_return out;
  const Sql ends{
      "SELECT \"version\", \"deleted_at\" FROM \"_velmor_deletions\" WHERE "
      "\"class_name\" = ? AND \"object_id\" = ? ORDER BY \"version\"",
      {text(cls->name()), text(object_id)}};
  const Rows ended = co_await rows(*l, ends);
  for (const auto& row : ended.rows) {
    const std::int64_t version = driver::integer_of(row.at(0), "a version");
    auto after = std::find_if(out.begin(), out.end(), [&](const HistoryEntry& e) {
      return !e.deletion && e.address.object_version == version;
    });
    if (after == out.end()) continue;
    HistoryEntry d;
    d.address = after->address;
    d.at = time_of(row.at(1));
    d.deletion = true;
    out.insert(after + 1, std::move(d));
  }
  co_return out;
}

}  // namespace

std::vector<HistoryEntry> history(const ModelClassPtr& cls, std::string_view object_id) {
  return in_stores<std::vector<HistoryEntry>>(
      [&] { return read_history(cls, std::string(object_id), {}); });
}

awaitable<std::vector<HistoryEntry>> ahistory(ModelClassPtr cls, std::string object_id) {
  std::function<awaitable<std::vector<HistoryEntry>>()> read =
      [cls = std::move(cls), id = std::move(object_id)] { return read_history(cls, id, {}); };
  return on_stores<std::vector<HistoryEntry>>(std::move(read));
}

std::vector<FieldChange> changes_between(const ModelClassPtr& cls, std::string_view object_id,
                                         std::int64_t from, std::int64_t to) {
  const std::vector<HistoryEntry> two = in_stores<std::vector<HistoryEntry>>([&] {
    return read_history(cls, std::string(object_id), {from, to});
  });
  auto at = [&](std::int64_t version) -> const json::object& {
    for (const HistoryEntry& e : two)
      if (e.address.object_version == version) return e.values;
    throw querysets::errors::ObjectDoesNotExistError("No version " + std::to_string(version) +
                                                     " of " + cls->name() + " '" +
                                                     std::string(object_id) + "' is stored");
  };
  const json::object& before = at(from);
  const json::object& after = at(to);
  std::vector<std::string> names;
  for (const FieldDecl& f : cls->fields()) names.push_back(f.name);
  std::vector<std::string> others;
  for (const json::object* o : {&before, &after})
    for (const auto& kv : *o)
      if (std::find(names.begin(), names.end(), kv.key()) == names.end() &&
          std::find(others.begin(), others.end(), kv.key()) == others.end())
        others.emplace_back(kv.key());
  std::sort(others.begin(), others.end());
  names.insert(names.end(), others.begin(), others.end());
  std::vector<FieldChange> out;
  for (const std::string& name : names) {
    const json::value* b = before.if_contains(name);
    const json::value* a = after.if_contains(name);
    const json::value none;
    if ((b ? *b : none) != (a ? *a : none)) out.push_back({name, b ? *b : none, a ? *a : none});
  }
  return out;
}

}  // namespace velmor_models::backends
