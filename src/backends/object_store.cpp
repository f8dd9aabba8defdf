// The public operations of the store of versioned objects: new objects, new versions,
// deletions and bulk updates, each atomic across the default database and the lakehouse
// (save_log.hpp says how), on whatever SQL store each alias names.
#include "velmor_models/backends/object_store.hpp"

#include <algorithm>
#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <mutex>

#include "backends/store/class_versions.hpp"
#include "backends/store/object_ids.hpp"
#include "backends/store/save_log.hpp"
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
  json::object row;
  for (const FieldDecl& f : cls.fields()) {
    const json::value* v = valid->find(f.name);
    row[f.name] = v ? *v : json::value(nullptr);
  }
  for (const auto& kv : values)
    if (!row.contains(kv.key()) && kv.key() != "_object_id")
      throw ValueError("model " + cls.name() + " has no field '" + std::string(kv.key()) + "'");
  // As its JSON text: both databases store the same text, made once.
  row["_metadata"] = json::serialize(json::object{
      {"object_id", json::serialize(json::value(json::string(object_id)))},
      {"object_version", object_version},
      {"class_schema_reference",
       json::object{
           {"ref", json::object{{"class_name", cls.name()}, {"object_version", class_version}}}}}});
  row["_object_id"] = object_id;
  row["_object_version"] = object_version;
  row["_class_version"] = class_version;
  return row;
}

// Recovery runs before the first save on each pair of databases: once per process, and
// again when the configuration replaces either of them.
std::mutex recovery_mutex;
std::weak_ptr<Backend> recovered_lake, recovered_main;
void recover_once() {
  std::shared_ptr<Backend> l = backend_for(velmor_data::aliases::using_::LAKEHOUSE_DB_ALIAS);
  std::shared_ptr<Backend> d = backend_for(velmor_data::aliases::using_::DEFAULT_DB_ALIAS);
  std::lock_guard lock(recovery_mutex);
  if (recovered_lake.lock() == l && recovered_main.lock() == d) return;
  recover_pending_saves();
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

std::vector<ObjectAddress> save_new_batch(const ModelClassPtr& cls,
                                          std::span<const json::object> values) {
  if (!cls) throw TypeError("save_new_batch needs a model class");
  recover_once();
  const std::int64_t class_version = class_version_for(cls);
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
  if (rows.empty()) return out;
  Lease l = lake();
  Lease d = main_db();
  SaveLog log;
  std::optional<Transaction> held;
  {
    Transaction t(*l);
    const std::string claim = l->dialect().insert(
        "_velmor_objects", std::vector<std::string>{"class_name", "object_id", "latest_version"},
        true);
    for (const ObjectAddress* a : by_object_id(
             out, [](const ObjectAddress& x) -> const std::string& { return x.object_id; })) {
      if (l->execute(claim, {text(a->class_name), text(a->object_id), integer(1)}) == 0)
        throw ValueError("object id '" + a->object_id + "' of " + a->class_name +
                         " is already in use; nothing was saved");
    }
    l->insert_rows(*cls, rows);
    for (const ObjectAddress& a : out) log.add(*l, cls->name(), table, a.object_id, 1, false);
    // The default database's part is done before either commits: a default database that
    // is locked, full or read-only (or memory that runs out) fails the save with nothing
    // written anywhere. Only the default's commit follows the lakehouse's.
    held.emplace(*d);
    log.apply(*l, *d, cls.get(), rows);
    t.commit();
  }
  log.complete(*l, *held);
  return out;
}

ObjectAddress save_new(const ModelClassPtr& cls, const json::object& values,
                       std::optional<std::string> object_id) {
  json::object v = values;
  if (object_id) v["_object_id"] = *object_id;
  return save_new_batch(cls, std::span<const json::object>(&v, 1)).front();
}

ObjectAddress save_version(const ModelClassPtr& cls, std::string_view object_id,
                           std::int64_t base_version, const json::object& values) {
  if (!cls) throw TypeError("save_version needs a model class");
  recover_once();
  const std::int64_t class_version = class_version_for(cls);
  const std::string id(object_id);
  const std::int64_t version = base_version + 1;
  json::object row = stored_row(*cls, values, class_version, id, version);
  const std::string table = table_of(*cls);
  Lease l = lake();
  Lease d = main_db();
  SaveLog log;
  std::optional<Transaction> held;
  {
    Transaction t(*l);
    // The optimistic lock: only a writer whose base is still the latest moves it on.
    const std::int64_t moved =
        run(*l,
            "UPDATE \"_velmor_objects\" SET latest_version = ? WHERE "
            "class_name = ? AND object_id = ? AND latest_version = ? AND "
            "deleted = 0",
            {integer(version), text(cls->name()), text(id), integer(base_version)});
    if (moved == 0) {
      auto state = rows(*l,
                        "SELECT latest_version, deleted FROM \"_velmor_objects\" WHERE "
                        "class_name = ? AND object_id = ?",
                        {text(cls->name()), text(id)});
      if (!state->next())
        throw ObjectDoesNotExistError("No stored " + cls->name() + " has the object id '" + id +
                                      "'");
      if (driver::integer_of(state->value(1), "a deletion mark") != 0)
        throw StaleVersionError(cls->name() + " '" + id +
                                "' was deleted; no new version was saved");
      throw StaleVersionError("version " + std::to_string(base_version) + " of " + cls->name() +
                              " '" + id + "' is not its latest (" +
                              std::to_string(driver::integer_of(state->value(0), "a version")) +
                              "); nothing was saved");
    }
    l->insert_rows(*cls, std::span<const json::object>(&row, 1));
    log.add(*l, cls->name(), table, id, version, false);
    held.emplace(*d);  // as in save_new_batch
    log.apply(*l, *d, cls.get(), std::span<const json::object>(&row, 1));
    t.commit();
  }
  log.complete(*l, *held);
  return {cls->name(), class_version, id, version};
}

ObjectAddress save_version(const ModelClassPtr& cls, const ObjectAddress& base,
                           const json::object& values) {
  if (!cls) throw TypeError("save_version needs a model class");
  if (base.class_name != cls->name())
    throw ValueError("the base version is one of " + base.class_name + ", not of " + cls->name());
  return save_version(cls, base.object_id, base.object_version, values);
}

void delete_object(const ModelClassPtr& cls, std::string_view object_id) {
  if (!cls) throw TypeError("delete_object needs a model class");
  recover_once();
  const std::string id(object_id);
  Lease l = lake();
  ensure_store_tables(*l);
  Lease d = main_db();
  SaveLog log;
  std::optional<Transaction> held;
  {
    Transaction t(*l);
    std::optional<Value> latest = scalar(*l,
                                         "SELECT latest_version FROM \"_velmor_objects\" WHERE "
                                         "class_name = ? AND object_id = ? AND deleted = 0",
                                         {text(cls->name()), text(id)});
    if (!latest)
      throw ObjectDoesNotExistError("No stored " + cls->name() + " has the object id '" + id + "'");
    run(*l, "UPDATE \"_velmor_objects\" SET deleted = 1 WHERE class_name = ? AND object_id = ?",
        {text(cls->name()), text(id)});
    log.add(*l, cls->name(), table_of(*cls), id, driver::integer_of(*latest, "a version"), true);
    held.emplace(*d);  // as in save_new_batch
    log.apply(*l, *d);
    t.commit();
  }
  log.complete(*l, *held);
}

namespace {

// A bulk update of the objects `qs` selects, its class checked already.
std::int64_t update_selected(const querysets::executor::QuerySetReader& qs,
                             const classes::model::Model& changes) {
  const ModelClassPtr& cls = changes.model_class();
  recover_once();
  const std::int64_t class_version = class_version_for(cls);
  const std::string table = table_of(*cls);
  Lease l = lake();
  Lease d = main_db();
  // All objects in one lakehouse transaction and one default one: every object gets its
  // new version, or (a value the class refuses, a database that refuses) none does.
  struct Selected {
    std::string object_id;
    std::int64_t read_version;
    json::object values;
  };
  std::vector<Selected> selected;
  std::vector<json::object> rows;
  SaveLog log;
  std::optional<Transaction> held;
  {
    Transaction t(*l);
    // Both write locks before the selection, the lakehouse's first as every save takes
    // them: a save that committed its lakehouse part has committed its default part too,
    // so the rows read below are the latest versions and stay so until this commits. A
    // selection read earlier could be overtaken, and its values would undo another
    // writer's version. The selection runs on the held connection, inside its transaction.
    held.emplace(*d);
    CheckedQuery whole = check_query(qs);
    whole.select_every_field();
    const sql::Statement st = sql::compile_select(whole, d->dialect());
    std::vector<Value> params;
    for (const json::value& p : st.params) params.push_back(driver::from_json(p));
    auto found = d->query(st.text, std::move(params));
    while (found->next()) {
      json::object values;
      std::optional<json::value> meta;
      for (std::size_t i = 0; i < st.columns.size(); ++i) {
        json::value v = stored_json(found->value(i), st.columns[i].type);
        if (st.columns[i].name == "_metadata")
          meta = std::move(v);
        else
          values.emplace(st.columns[i].name, std::move(v));
      }
      if (!meta || !meta->is_string()) continue;
      json::value m = json::parse(meta->get_string());
      const json::value* id_text = m.is_object() ? m.as_object().if_contains("object_id") : nullptr;
      const json::value* read =
          m.is_object() ? m.as_object().if_contains("object_version") : nullptr;
      if (!id_text || !id_text->is_string() || !read || !read->is_int64()) continue;
      json::value id = json::parse(id_text->get_string());
      if (!id.is_string()) continue;
      selected.push_back({std::string(id.get_string()), read->get_int64(), std::move(values)});
    }
    found.reset();
    for (Selected* s : by_object_id(
             selected, [](const Selected& x) -> const std::string& { return x.object_id; })) {
      std::optional<Value> latest = scalar(*l,
                                           "SELECT latest_version FROM \"_velmor_objects\" "
                                           "WHERE class_name = ? AND object_id = ? AND deleted = 0",
                                           {text(cls->name()), text(s->object_id)});
      if (!latest || !std::holds_alternative<std::int64_t>(*latest)) continue;
      // The default database lags the lakehouse only where a killed writer's save awaits
      // its replay: never write over a version that was not read.
      if (std::get<std::int64_t>(*latest) != s->read_version)
        throw StaleVersionError(cls->name() + " '" + s->object_id +
                                "' has a newer version than the one selected; no object was "
                                "updated");
      json::object& values = s->values;
      for (const FieldDecl& f : cls->fields())
        if (const json::value* v = changes.find(f.name)) values[f.name] = *v;
      const std::int64_t version = s->read_version + 1;
      rows.push_back(stored_row(*cls, values, class_version, s->object_id, version));
      run(*l,
          "UPDATE \"_velmor_objects\" SET latest_version = ? WHERE class_name = ? AND "
          "object_id = ?",
          {integer(version), text(cls->name()), text(s->object_id)});
      log.add(*l, cls->name(), table, s->object_id, version, false);
    }
    if (rows.empty()) return 0;
    l->insert_rows(*cls, rows);
    log.apply(*l, *d, cls.get(), rows);
    t.commit();
  }
  log.complete(*l, *held);
  return static_cast<std::int64_t>(rows.size());
}

}  // namespace

std::int64_t bulk_update(const querysets::qsetkit::QuerySetCore& qs,
                         const classes::model::Model& changes) {
  qs._check_type(changes);
  if (qs.is_none()) return 0;
  return update_selected(qs, changes);
}

namespace {

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
        paginator_(qs.get_paginator()),
        none_(qs.is_none()) {}
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
  bool none() const noexcept { return none_; }

 private:
  ModelClassPtr entity_;
  std::string entity_name_, table_name_;
  velmor_utils::query::Q conditions_;
  querysets::executor::SelectRelated select_related_;
  querysets::executor::QuerySpecifier specifier_;
  std::vector<querysets::executor::OrderBy> order_by_;
  std::string using_;
  querysets::executor::NumberPaginator paginator_;
  bool none_;
};

template <class T>
boost::asio::awaitable<T> rethrow(std::exception_ptr error) {
  std::rethrow_exception(error);
  co_return T{};
}

}  // namespace

// The coroutine forms are no coroutines themselves: each hands a worker a function that
// owns its arguments, and every check runs there, so errors surface when awaited.
boost::asio::awaitable<std::int64_t> aregister_model_class(ModelClassPtr cls) {
  return on_worker<std::int64_t>(
      [cls = std::move(cls)](Interruption&) { return register_model_class(cls); });
}

boost::asio::awaitable<ObjectAddress> asave_new(ModelClassPtr cls, json::object values,
                                                std::optional<std::string> object_id) {
  return on_worker<ObjectAddress>(
      [cls = std::move(cls), values = std::move(values), id = std::move(object_id)](Interruption&) {
        return save_new(cls, values, id);
      });
}

boost::asio::awaitable<std::vector<ObjectAddress>> asave_new_batch(
    ModelClassPtr cls, std::vector<json::object> values) {
  return on_worker<std::vector<ObjectAddress>>(
      [cls = std::move(cls), values = std::move(values)](Interruption&) {
        return save_new_batch(cls, values);
      });
}

boost::asio::awaitable<ObjectAddress> asave_version(ModelClassPtr cls, std::string object_id,
                                                    std::int64_t base_version,
                                                    json::object values) {
  return on_worker<ObjectAddress>([cls = std::move(cls), id = std::move(object_id), base_version,
                                   values = std::move(values)](Interruption&) {
    return save_version(cls, id, base_version, values);
  });
}

boost::asio::awaitable<ObjectAddress> asave_version(ModelClassPtr cls,
                                                    std::optional<ObjectAddress> base,
                                                    json::object values) {
  return on_worker<ObjectAddress>(
      [cls = std::move(cls), base = std::move(base), values = std::move(values)](Interruption&) {
        return save_version(cls, stored_address(base), values);
      });
}

namespace {
boost::asio::awaitable<void> done(boost::asio::awaitable<bool> op) {
  (void)co_await std::move(op);
}
}  // namespace

boost::asio::awaitable<void> adelete_object(ModelClassPtr cls, std::string object_id) {
  return done(on_worker<bool>([cls = std::move(cls), id = std::move(object_id)](Interruption&) {
    delete_object(cls, id);
    return true;
  }));
}

boost::asio::awaitable<std::int64_t> abulk_update(const querysets::qsetkit::QuerySetCore& qs,
                                                  const classes::model::Model& changes) {
  std::shared_ptr<const OwnedQuery> owned;
  try {
    qs._check_type(changes);
    owned = std::make_shared<const OwnedQuery>(qs);
  } catch (...) {
    return rethrow<std::int64_t>(std::current_exception());
  }
  return on_worker<std::int64_t>(
      [owned, changes = classes::model::Model(changes)](Interruption&) -> std::int64_t {
        return owned->none() ? 0 : update_selected(*owned, changes);
      });
}

}  // namespace velmor_models::backends
