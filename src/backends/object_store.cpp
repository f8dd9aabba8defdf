// The public operations of the store of versioned objects: new objects, new versions,
// deletions and bulk updates, each atomic across the default database and the lakehouse
// (save_log.hpp says how), on whatever SQL store each alias names.
#include "velmor_models/backends/object_store.hpp"

#include <algorithm>
#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <functional>
#include <mutex>

#include "backends/store/class_versions.hpp"
#include "backends/store/object_ids.hpp"
#include "backends/store/save_log.hpp"
#include "backends/store/shared_database.hpp"
#include "backends/store/store_db.hpp"
#include "backends/store/store_tables.hpp"
#include "backends/stored_value.hpp"
#include "backends/table_layout.hpp"
#include "backends/worker_pool.hpp"
#include "velmor_data/aliases/using.hpp"
#include "velmor_models/backends/query_check.hpp"
#include "velmor_models/backends/registry.hpp"
#include "velmor_models/backends/sql/compiler.hpp"
#include "velmor_models/backends/sql/dialect.hpp"
#include "velmor_models/querysets/errors.hpp"
#include "velmor_models/querysets/qsetkit/query_set_core.hpp"

namespace velmor_models::backends {
namespace {

namespace json = boost::json;
using classes::model::FieldDecl;
using classes::model::ModelClass;
using classes::model::ModelClassPtr;
using querysets::errors::ObjectDoesNotExistError;
using velmor_utils::errors::TypeError;
using velmor_utils::errors::ValueError;
using namespace store;

// The row stored for one version: validated values of the declared fields, `_metadata`
// and the address columns.
json::object stored_row(const ModelClass& cls, const json::object& values,
                        std::int64_t class_version, const std::string& object_id,
                        std::int64_t object_version) {
  std::unique_ptr<classes::model::Model> valid = cls.construct(values);  // ValidationError
  json::object row(cls.fields().size() + 4);
  for (const FieldDecl& f : cls.fields()) {
    const json::value* v = valid->find(f.name);
    row.emplace(f.name, v ? *v : json::value(nullptr));
  }
  for (const auto& kv : values)
    if (!row.contains(kv.key()) && kv.key() != "_object_id")
      throw ValueError("model " + cls.name() + " has no field '" + std::string(kv.key()) + "'");
  // As its JSON text (both databases store the same text, made once), written directly:
  // the same text serialising the mapping {object_id, object_version,
  // class_schema_reference: {ref: {class_name, object_version}}} gives.
  const std::string id_text = json::serialize(json::value(json::string(object_id)));
  std::string meta = "{\"object_id\":";
  meta += json::serialize(json::value(json::string(id_text)));
  meta += ",\"object_version\":";
  meta += std::to_string(object_version);
  meta += ",\"class_schema_reference\":{\"ref\":{\"class_name\":";
  meta += json::serialize(json::value(json::string(cls.name())));
  meta += ",\"object_version\":";
  meta += std::to_string(class_version);
  meta += "}}}";
  row["_metadata"] = std::move(meta);
  row.emplace("_object_id", object_id);
  row.emplace("_object_version", object_version);
  row.emplace("_class_version", class_version);
  return row;
}

// Recovery runs before the first save on each pair of databases: once per process, and
// again when the configuration replaces either of them. (Concurrent first saves may each
// replay: the replay is idempotent.)
std::mutex recovery_mutex;
std::weak_ptr<Backend> recovered_lake, recovered_main;
awaitable<void> recover_once() {
  std::shared_ptr<Backend> l = lake_store();
  std::shared_ptr<Backend> d = main_store();
  {
    std::lock_guard lock(recovery_mutex);
    if (recovered_lake.lock() == l && recovered_main.lock() == d && !take_recovery_request())
      co_return;
  }
  co_await recover_pending();
  std::lock_guard lock(recovery_mutex);
  recovered_lake = l;
  recovered_main = d;
}

// The objects of a save in one fixed order (by object id), so that writers that lock rows
// as they go (a server store) always take them in the same order and cannot deadlock.
template <class T, class Id>
std::vector<T*> by_object_id(std::vector<T>& items, Id id) {
  std::vector<T*> out;
  out.reserve(items.size());
  for (T& item : items) out.push_back(&item);
  std::sort(out.begin(), out.end(), [&](const T* a, const T* b) { return id(*a) < id(*b); });
  return out;
}

// One save: a connection of each database and the save's log. The lakehouse part runs
// inside its transaction, which stays open; then `finish_save` does the default
// database's part (its transaction begun and the log applied before the lakehouse
// commits: a default database that is locked, full or read-only, or memory that runs
// out, fails the save with nothing written anywhere), the two commits in order and the
// log's last step. Only the default's commit follows the lakehouse's.
struct SaveParts {
  Lease lake;
  Lease main;
  SaveLog log;
};

awaitable<SaveParts> open_save() {
  // Both aliases in one database: the default part goes in the lakehouse's transaction.
  const std::optional<SharedDatabase> shared = co_await shared_database();
  Lease l = co_await lake();
  if (shared) {
    Lease d = default_view(*l, *shared);
    co_return SaveParts{std::move(l), std::move(d), SaveLog()};
  }
  Lease d = co_await main_db();
  co_return SaveParts{std::move(l), std::move(d), SaveLog()};
}

awaitable<void> finish_save(SaveParts& save, Transaction& lake_transaction, const ModelClass* cls,
                            std::span<const json::object> rows) {
  co_await save.log.write(*save.lake);
  co_await save.main->abegin();
  Transaction held(*save.main, Transaction::begun);
  co_await save.log.apply(*save.lake, *save.main, cls, rows);
  co_await save.log.commit(lake_transaction, held);
}

awaitable<std::vector<ObjectAddress>> saved_batch(ModelClassPtr cls,
                                                  std::span<const json::object> values) {
  if (!cls) throw TypeError("save_new_batch needs a model class");
  co_await recover_once();
  const std::int64_t class_version = co_await class_version_for(cls);
  const std::string table = table_of(*cls);
  std::vector<ObjectAddress> out;
  std::vector<json::object> rows;
  out.reserve(values.size());
  rows.reserve(values.size());
  for (const json::object& v : values) {  // everything validated before anything is written
    std::string id;
    if (const json::value* given = v.if_contains("_object_id")) {
      if (!given->is_string() || given->get_string().empty())
        throw TypeError("_object_id must be non-empty text");
      id = std::string(given->get_string());
    } else {
      id = generated_id();
    }
    rows.push_back(stored_row(*cls, v, class_version, id, 1));
    out.push_back({cls->name(), class_version, std::move(id), 1});
  }
  if (rows.empty()) co_return out;
  SaveParts save = co_await open_save();
  Connection& l = *save.lake;
  co_await l.abegin();
  Transaction t(l, Transaction::begun);
  const std::string claim = l.dialect().insert(
      "_velmor_objects", std::vector<std::string>{"class_name", "object_id", "latest_version"},
      true);
  const std::vector<ObjectAddress*> ordered = by_object_id(
      out, [](const ObjectAddress& x) -> const std::string& { return x.object_id; });
  std::vector<std::vector<Value>> claims;
  claims.reserve(ordered.size());
  for (const ObjectAddress* a : ordered)
    claims.push_back({text(a->class_name), text(a->object_id), integer(1)});
  const std::vector<std::int64_t> claimed = co_await l.aexecute_each(claim, std::move(claims));
  for (std::size_t i = 0; i < ordered.size(); ++i)
    if (claimed.at(i) == 0)
      throw ValueError("object id '" + ordered[i]->object_id + "' of " + ordered[i]->class_name +
                       " is already in use; nothing was saved");
  co_await l.ainsert_rows(*cls, rows);
  for (const ObjectAddress& a : out) save.log.add(cls->name(), table, a.object_id, 1, false);
  co_await finish_save(save, t, cls.get(), rows);
  co_return out;
}

awaitable<ObjectAddress> saved_version(ModelClassPtr cls, std::string id,
                                       std::int64_t base_version, json::object values) {
  if (!cls) throw TypeError("save_version needs a model class");
  co_await recover_once();
  const std::int64_t class_version = co_await class_version_for(cls);
  const std::int64_t version = base_version + 1;
  json::object row = stored_row(*cls, values, class_version, id, version);
  const std::string table = table_of(*cls);
  SaveParts save = co_await open_save();
  Connection& l = *save.lake;
  co_await l.abegin();
  Transaction t(l, Transaction::begun);
  // The optimistic lock: only a writer whose base is still the latest moves it on.
  const Sql move_on{
      "UPDATE \"_velmor_objects\" SET latest_version = ? WHERE "
      "class_name = ? AND object_id = ? AND latest_version = ? AND deleted = 0",
      {integer(version), text(cls->name()), text(id), integer(base_version)}};
  if (co_await run(l, move_on) == 0) {
    const Sql state_of{
        "SELECT latest_version, deleted FROM \"_velmor_objects\" WHERE class_name = ? AND "
        "object_id = ?",
        {text(cls->name()), text(id)}};
    const Rows state = co_await rows(l, state_of);
    if (state.rows.empty())
      throw ObjectDoesNotExistError("No stored " + cls->name() + " has the object id '" + id + "'");
    if (driver::integer_of(state.rows[0].at(1), "a deletion mark") != 0)
      throw StaleVersionError(cls->name() + " '" + id + "' was deleted; no new version was saved");
    throw StaleVersionError("version " + std::to_string(base_version) + " of " + cls->name() +
                            " '" + id + "' is not its latest (" +
                            std::to_string(driver::integer_of(state.rows[0].at(0), "a version")) +
                            "); nothing was saved");
  }
  const std::span<const json::object> one(&row, 1);
  co_await l.ainsert_rows(*cls, one);
  save.log.add(cls->name(), table, id, version, false);
  co_await finish_save(save, t, cls.get(), one);
  co_return ObjectAddress{cls->name(), class_version, id, version};
}

awaitable<ObjectAddress> saved_version_after(ModelClassPtr cls, std::optional<ObjectAddress> base,
                                             json::object values) {
  if (!cls) throw TypeError("save_version needs a model class");
  ObjectAddress a = stored_address(base);
  if (a.class_name != cls->name())
    throw ValueError("the base version is one of " + a.class_name + ", not of " + cls->name());
  co_return co_await saved_version(std::move(cls), std::move(a.object_id), a.object_version,
                                   std::move(values));
}

awaitable<void> deleted(ModelClassPtr cls, std::string id) {
  if (!cls) throw TypeError("delete_object needs a model class");
  co_await recover_once();
  SaveParts save = co_await open_save();
  Connection& l = *save.lake;
  co_await ensure_store_tables(l);
  co_await l.abegin();
  Transaction t(l, Transaction::begun);
  const Sql latest_of{
      "SELECT latest_version FROM \"_velmor_objects\" WHERE class_name = ? AND object_id = ? "
      "AND deleted = 0",
      {text(cls->name()), text(id)}};
  std::optional<Value> latest = co_await scalar(l, latest_of);
  if (!latest)
    throw ObjectDoesNotExistError("No stored " + cls->name() + " has the object id '" + id + "'");
  const Sql mark{
      "UPDATE \"_velmor_objects\" SET deleted = 1 WHERE class_name = ? AND object_id = ?",
      {text(cls->name()), text(id)}};
  co_await run(l, mark);
  save.log.add(cls->name(), table_of(*cls), id, driver::integer_of(*latest, "a version"), true);
  co_await finish_save(save, t, nullptr, {});
}

// The values of the declared fields of one stored version, read from the lakehouse.
awaitable<json::object> lakehouse_values(Connection& lake, const ModelClass& cls,
                                         const std::string& table, const std::string& object_id,
                                         std::int64_t version) {
  const Sql read{"SELECT * FROM " + quoted(lake, table) +
                     " WHERE \"_object_id\" = ? AND \"_object_version\" = ?",
                 {text(object_id), integer(version)}};
  const Rows found = co_await rows(lake, read);
  json::object values;
  if (found.rows.empty()) co_return values;
  for (std::size_t i = 0; i < found.columns.size(); ++i)
    for (const FieldDecl& f : cls.fields())
      if (f.name == found.columns[i])
        values[f.name] = stored_json(found.rows[0].at(i), f.type, found.json_column(i));
  co_return values;
}

// A bulk update of the objects `qs` selects, its class checked already.
awaitable<std::int64_t> updated(std::shared_ptr<const querysets::executor::QuerySetReader> qs,
                                classes::model::Model changes) {
  const ModelClassPtr& cls = changes.model_class();
  co_await recover_once();
  const std::int64_t class_version = co_await class_version_for(cls);
  const std::string table = table_of(*cls);
  // All objects in one lakehouse transaction and one default one: every object gets its
  // new version, or (a value the class refuses, a database that refuses) none does.
  SaveParts save = co_await open_save();
  Connection& l = *save.lake;
  Connection& d = *save.main;
  co_await l.abegin();
  Transaction t(l, Transaction::begun);
  // Both write locks before the selection, the lakehouse's first as every save takes
  // them: a save that committed its lakehouse part has committed its default part too,
  // so the rows read below are the latest versions and stay so until this commits. A
  // selection read earlier could be overtaken, and its values would undo another
  // writer's version. The selection runs on the held connection, inside its transaction.
  co_await d.abegin();
  Transaction held(d, Transaction::begun);
  CheckedQuery whole = check_query(*qs);
  whole.select_every_field();
  const sql::Statement st = sql::compile_select(whole, d.dialect());
  std::vector<Value> params;
  for (const json::value& p : st.params) params.push_back(driver::from_json(p));
  const Rows found = co_await d.afetch(st.text, std::move(params));
  struct Selected {
    std::string object_id;
    std::int64_t read_version;
    json::object values;
  };
  std::vector<Selected> selected;
  for (const auto& row : found.rows) {
    json::object values;
    std::optional<json::value> meta;
    for (std::size_t i = 0; i < st.columns.size(); ++i) {
      json::value v = stored_json(row.at(i), st.columns[i].type, found.json_column(i));
      if (st.columns[i].name == "_metadata")
        meta = std::move(v);
      else
        values.emplace(st.columns[i].name, std::move(v));
    }
    if (!meta || !meta->is_string()) continue;
    json::value m = json::parse(meta->get_string());
    const json::value* id_text = m.is_object() ? m.as_object().if_contains("object_id") : nullptr;
    const json::value* read = m.is_object() ? m.as_object().if_contains("object_version") : nullptr;
    if (!id_text || !id_text->is_string() || !read || !read->is_int64()) continue;
    json::value id = json::parse(id_text->get_string());
    if (!id.is_string()) continue;
    selected.push_back({std::string(id.get_string()), read->get_int64(), std::move(values)});
  }
  std::vector<json::object> rows;
  for (Selected* s : by_object_id(
           selected, [](const Selected& x) -> const std::string& { return x.object_id; })) {
    // The object's latest version, locked until this commits (where the lakehouse's write
    // lock does not hold every object already), in the order of the objects' ids.
    const Sql latest_of{
        "SELECT latest_version FROM \"_velmor_objects\" WHERE class_name = ? AND object_id = ? "
        "AND deleted = 0" + std::string(l.dialect().lock_rows()),
        {text(cls->name()), text(s->object_id)}};
    std::optional<Value> latest = co_await scalar(l, latest_of);
    if (!latest || !std::holds_alternative<std::int64_t>(*latest)) continue;  // deleted since
    const std::int64_t latest_version = std::get<std::int64_t>(*latest);
    json::object& values = s->values;
    // The default database lags the lakehouse where a save has committed its lakehouse
    // part only (a writer killed before the replay, or, on a server, one still writing its
    // default part): the new version builds on the latest one, read from the lakehouse.
    if (latest_version != s->read_version) {
      values = co_await lakehouse_values(l, *cls, table, s->object_id, latest_version);
      s->read_version = latest_version;
    }
    for (const FieldDecl& f : cls->fields())
      if (const json::value* v = changes.find(f.name)) values[f.name] = *v;
    const std::int64_t version = s->read_version + 1;
    rows.push_back(stored_row(*cls, values, class_version, s->object_id, version));
    const Sql move_on{
        "UPDATE \"_velmor_objects\" SET latest_version = ? WHERE class_name = ? AND "
        "object_id = ? AND latest_version = ? AND deleted = 0",
        {integer(version), text(cls->name()), text(s->object_id), integer(s->read_version)}};
    if (co_await run(l, move_on) == 0)
      throw StaleVersionError(cls->name() + " '" + s->object_id +
                              "' moved on while it was being updated; no object was updated");
    save.log.add(cls->name(), table, s->object_id, version, false);
  }
  if (rows.empty()) co_return 0;
  co_await l.ainsert_rows(*cls, rows);
  co_await save.log.write(l);
  co_await save.log.apply(l, d, cls.get(), rows);
  co_await save.log.commit(t, held);
  co_return static_cast<std::int64_t>(rows.size());
}

// A query set's reading part, owned: what a bulk update run later reads.
class OwnedQuery final : public querysets::executor::QuerySetReader {
 public:
  explicit OwnedQuery(const querysets::qsetkit::QuerySetCore& qs)
      : entity_(qs.entity()),
        entity_name_(qs.entity_name()),
        table_name_(qs.table_name()),
        conditions_(qs.get_conditions()),
        select_related_(qs.get_select_related()),
        specifier_(qs.get_query_specifier()),
        order_by_(qs.get_order_by()),
        using_(qs.get_using()),
        paginator_(qs.get_paginator()) {}
  const ModelClassPtr& entity() const override { return entity_; }
  std::string entity_name() const override { return entity_name_; }
  std::string table_name() const override { return table_name_; }
  const velmor_utils::query::Q& get_conditions() const override { return conditions_; }
  const querysets::executor::SelectRelated& get_select_related() const override {
    return select_related_;
  }
  const querysets::executor::QuerySpecifier& get_query_specifier() const override {
    return specifier_;
  }
  const std::vector<querysets::executor::OrderBy>& get_order_by() const override {
    return order_by_;
  }
  const std::string& get_using() const override { return using_; }
  const querysets::executor::NumberPaginator& get_paginator() const override { return paginator_; }

 private:
  ModelClassPtr entity_;
  std::string entity_name_, table_name_;
  velmor_utils::query::Q conditions_;
  querysets::executor::SelectRelated select_related_;
  querysets::executor::QuerySpecifier specifier_;
  std::vector<querysets::executor::OrderBy> order_by_;
  std::string using_;
  querysets::executor::NumberPaginator paginator_;
};

template <class T>
awaitable<T> rethrow(std::exception_ptr error) {
  std::rethrow_exception(error);
  co_return T{};
}

awaitable<ObjectAddress> first_of(awaitable<std::vector<ObjectAddress>> saved) {
  std::vector<ObjectAddress> out = co_await std::move(saved);
  co_return std::move(out.front());
}

awaitable<bool> done(awaitable<void> work) {
  co_await std::move(work);
  co_return true;
}

awaitable<void> ignored(awaitable<bool> work) {
  (void)co_await std::move(work);
}

awaitable<std::int64_t> zero() {
  co_return 0;
}

}  // namespace

StaleVersionError::StaleVersionError(const std::string& message)
    : DatabaseError(message, std::string(velmor_data::aliases::using_::LAKEHOUSE_DB_ALIAS), "", "",
                    true, querysets::errors::DatabaseErrorCategory::conflict) {}

ObjectAddress stored_address(const std::optional<ObjectAddress>& address) {
  if (!address)
    throw ValueError(
        "the instance carries no stored address (it was not read from the object store)");
  return *address;
}

// The synchronous forms run the store's work on the calling thread; the coroutine forms
// own their arguments from the call on (on_stores says where the work runs), and every
// check runs when they are awaited, so errors surface there.

std::vector<ObjectAddress> save_new_batch(const ModelClassPtr& cls,
                                          std::span<const json::object> values) {
  return in_stores<std::vector<ObjectAddress>>([&] { return saved_batch(cls, values); });
}

ObjectAddress save_new(const ModelClassPtr& cls, const json::object& values,
                       std::optional<std::string> object_id) {
  json::object v = values;
  if (object_id) v["_object_id"] = *object_id;
  return save_new_batch(cls, std::span<const json::object>(&v, 1)).front();
}

ObjectAddress save_version(const ModelClassPtr& cls, std::string_view object_id,
                           std::int64_t base_version, const json::object& values) {
  return in_stores<ObjectAddress>(
      [&] { return saved_version(cls, std::string(object_id), base_version, values); });
}

ObjectAddress save_version(const ModelClassPtr& cls, const ObjectAddress& base,
                           const json::object& values) {
  return in_stores<ObjectAddress>([&] { return saved_version_after(cls, base, values); });
}

void delete_object(const ModelClassPtr& cls, std::string_view object_id) {
  (void)in_stores<bool>([&] { return done(deleted(cls, std::string(object_id))); });
}

std::int64_t bulk_update(const querysets::qsetkit::QuerySetCore& qs,
                         const classes::model::Model& changes) {
  qs._check_type(changes);
  if (qs.is_none()) return 0;
  // Not owned: the query set outlives the synchronous call.
  const std::shared_ptr<const querysets::executor::QuerySetReader> reader(
      std::shared_ptr<void>(), &qs);
  return in_stores<std::int64_t>([&] { return updated(reader, changes); });
}

awaitable<ObjectAddress> asave_new(ModelClassPtr cls, json::object values,
                                   std::optional<std::string> object_id) {
  if (object_id) values["_object_id"] = std::move(*object_id);
  std::function<awaitable<ObjectAddress>()> make = [cls = std::move(cls),
                                                    v = std::move(values)]() {
    return first_of(saved_batch(cls, std::span<const json::object>(&v, 1)));
  };
  return on_stores<ObjectAddress>(std::move(make));
}

awaitable<std::vector<ObjectAddress>> asave_new_batch(ModelClassPtr cls,
                                                      std::vector<json::object> values) {
  std::function<awaitable<std::vector<ObjectAddress>>()> make =
      [cls = std::move(cls), values = std::move(values)]() { return saved_batch(cls, values); };
  return on_stores<std::vector<ObjectAddress>>(std::move(make));
}

awaitable<ObjectAddress> asave_version(ModelClassPtr cls, std::string object_id,
                                       std::int64_t base_version, json::object values) {
  std::function<awaitable<ObjectAddress>()> make = [cls = std::move(cls),
                                                    id = std::move(object_id), base_version,
                                                    values = std::move(values)]() {
    return saved_version(cls, id, base_version, values);
  };
  return on_stores<ObjectAddress>(std::move(make));
}

awaitable<ObjectAddress> asave_version(ModelClassPtr cls, std::optional<ObjectAddress> base,
                                       json::object values) {
  std::function<awaitable<ObjectAddress>()> make =
      [cls = std::move(cls), base = std::move(base), values = std::move(values)]() {
        return saved_version_after(cls, base, values);
      };
  return on_stores<ObjectAddress>(std::move(make));
}

awaitable<void> adelete_object(ModelClassPtr cls, std::string object_id) {
  std::function<awaitable<bool>()> make = [cls = std::move(cls), id = std::move(object_id)]() {
    return done(deleted(cls, id));
  };
  return ignored(on_stores<bool>(std::move(make)));
}

awaitable<std::int64_t> abulk_update(const querysets::qsetkit::QuerySetCore& qs,
                                     const classes::model::Model& changes) {
  std::shared_ptr<const OwnedQuery> owned;
  try {
    qs._check_type(changes);
    if (qs.is_none()) return zero();
    owned = std::make_shared<const OwnedQuery>(qs);
  } catch (...) {
    return rethrow<std::int64_t>(std::current_exception());
  }
  std::function<awaitable<std::int64_t>()> make = [owned,
                                                   changes = classes::model::Model(changes)]() {
    return updated(owned, changes);
  };
  return on_stores<std::int64_t>(std::move(make));
}

}  // namespace velmor_models::backends
