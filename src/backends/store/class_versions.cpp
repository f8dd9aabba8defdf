#include "backends/store/class_versions.hpp"

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <functional>
#include <map>
#include <mutex>
#include <unordered_map>

#include "backends/store/store_db.hpp"
#include "backends/store/store_tables.hpp"
#include "backends/table_layout.hpp"
#include "velmor_data/aliases/using.hpp"
#include "velmor_data/connections/historical/async_schema_version_manager.hpp"
#include "velmor_models/backends/object_store.hpp"
#include "velmor_models/backends/registry.hpp"
#include "velmor_models/backends/sql/dialect.hpp"
#include "velmor_utils/errors.hpp"

namespace velmor_models::backends {
namespace {

namespace json = boost::json;
using classes::model::FieldDecl;
using classes::model::ModelClass;
using classes::model::ModelClassPtr;
using namespace store;

// The recorded form of a class's schema: its fields with core type, whether required and
// whether a default is given.
json::array schema_of(const ModelClass& cls) {
  json::array fields;
  for (const FieldDecl& f : cls.fields()) {
    json::object o{{"name", f.name},
                   {"type", std::string(f.type.value())},
                   {"required", f.required},
                   {"has_default", f.default_value.has_value()}};
    fields.push_back(std::move(o));
  }
  return fields;
}

// A newer schema is compatible with an older one when every old field is still there with
// the same core type and every new field is optional or has a default.
bool newer_compatible(const json::array& older, const json::array& newer) {
  for (const json::value& o : older) {
    bool kept = false;
    for (const json::value& n : newer)
      if (n.at("name") == o.at("name")) kept = n.at("type") == o.at("type");
    if (!kept) return false;
  }
  for (const json::value& n : newer) {
    bool old = false;
    for (const json::value& o : older) old = old || n.at("name") == o.at("name");
    if (!old && n.at("required").as_bool() && !n.at("has_default").as_bool()) return false;
  }
  return true;
}

// The process-wide cache of class schemas by class name: what the historical schema
// version managers read, so no record costs a database query.
struct ClassVersions {
  std::map<std::int64_t, json::array> schemas;  // by version
};
// Entries are never changed, only replaced: a reader keeps the entry it got while a
// registration or a reset replaces it.
std::mutex cache_mutex;
std::unordered_map<std::string, std::shared_ptr<const ClassVersions>> cache;
// The class version each class object was registered as (saves register a class object
// once, so an older class object saves under its own schema's version).
std::map<const ModelClass*, std::pair<std::weak_ptr<const ModelClass>, std::int64_t>> registered;

awaitable<ClassVersions> load_class(std::string name) {
  ClassVersions out;
  // A lakehouse that runs no SQL (`memory:`) holds no classes.
  std::shared_ptr<Backend> backend = backend_for(velmor_data::aliases::using_::LAKEHOUSE_DB_ALIAS);
  if (!backend->dialect()) co_return out;
  Lease l = co_await backend->alease();
  // Reading never creates anything (the lakehouse may be read-only).
  const std::string classes = "_velmor_classes";
  if (!co_await has_table(*l, classes)) co_return out;
  const Sql schemas{"SELECT class_version, schema FROM \"_velmor_classes\" WHERE class_name = ?",
                    {text(name)}};
  const Rows found = co_await rows(*l, schemas);
  for (const auto& row : found.rows)
    out.schemas[driver::integer_of(row.at(0), "a class version")] =
        json::parse(driver::text_of(row.at(1), "a class schema")).as_array();
  co_return out;
}

std::shared_ptr<const ClassVersions> cached(std::string_view name) {
  std::lock_guard lock(cache_mutex);
  auto it = cache.find(std::string(name));
  return it == cache.end() ? nullptr : it->second;
}

std::shared_ptr<const ClassVersions> keep(std::string_view name, ClassVersions loaded) {
  std::lock_guard lock(cache_mutex);
  // A registration may have filled it meanwhile; the first entry stays.
  return cache.emplace(std::string(name), std::make_shared<const ClassVersions>(std::move(loaded)))
      .first->second;
}

std::shared_ptr<const ClassVersions> cached_class(std::string_view name) {
  if (auto c = cached(name)) return c;
  return keep(name, driver::run_sync(load_class(std::string(name))));
}

awaitable<std::shared_ptr<const ClassVersions>> acached_class(std::string name) {
  if (auto c = cached(name)) co_return c;
  std::function<awaitable<ClassVersions>()> load = [name] { return load_class(name); };
  ClassVersions loaded = co_await on_stores<ClassVersions>(std::move(load));
  co_return keep(name, std::move(loaded));
}

json::value latest_of(const ClassVersions& c) {
  return c.schemas.empty() ? json::value(nullptr) : json::value(c.schemas.rbegin()->first);
}

void install_version_source() {
  static std::once_flag once;
  std::call_once(once, [] {
    namespace manager = velmor_data::connections::historical::schema_version_manager;
    manager::set_latest_version_source(
        [](std::string_view name) -> json::value { return latest_of(*cached_class(name)); });
    manager::set_async_latest_version_source(
        [](std::string name) -> awaitable<json::value> {
          const auto c = co_await acached_class(std::move(name));
          co_return latest_of(*c);
        });
  });
}

}  // namespace

void clear_class_version_cache() {
  std::lock_guard lock(cache_mutex);
  cache.clear();
  registered.clear();
}

std::optional<std::int64_t> latest_class_version(std::string_view class_name) {
  const auto c = cached_class(class_name);
  if (c->schemas.empty()) return std::nullopt;
  return c->schemas.rbegin()->first;
}

std::vector<std::int64_t> compatible_class_versions(std::string_view class_name,
                                                    std::int64_t class_version) {
  const auto c = cached_class(class_name);
  std::vector<std::int64_t> out{class_version};
  auto it = c->schemas.find(class_version);
  if (it == c->schemas.end()) return out;
  // Older and newer versions each reachable through a chain of compatible steps.
  for (auto newer = std::next(it); newer != c->schemas.end(); ++newer) {
    if (!newer_compatible(std::prev(newer)->second, newer->second)) break;
    out.push_back(newer->first);
  }
  for (auto older = it; older != c->schemas.begin(); --older) {
    if (!newer_compatible(std::prev(older)->second, older->second)) break;
    out.insert(out.begin(), std::prev(older)->first);
  }
  return out;
}

namespace {

awaitable<std::int64_t> registered_version(ModelClassPtr cls) {
  if (!cls) throw velmor_utils::errors::TypeError("register_model_class needs a model class");
  if (cls->is_plain_table())
    throw velmor_utils::errors::TypeError("model " + cls->name() +
                                          " is a plain table, which the store cannot write");
  install_version_source();
  const std::string table = table_of(*cls);
  const std::string schema_text = json::serialize(schema_of(*cls));
  // The default table gains new columns first: a concurrent save copies its lakehouse row
  // into the default database column by column, so the default table must never lack a
  // column the lakehouse table has.
  // Registrations of one class (and creations of one table) run one at a time where no
  // write lock of the whole database serves.
  {
    Lease d = co_await main_db();
    co_await d->abegin();
    Transaction t(*d, Transaction::begun);
    std::vector<std::string> table_lock{"velmor table " + table};
    co_await lock_names(*d, std::move(table_lock));
    co_await ensure_table(*d, *cls, false);
    co_await t.acommit();
  }
  Lease l = co_await lake();
  co_await ensure_store_tables(*l);
  std::int64_t version = 0;
  {
    co_await l->abegin();
    Transaction t(*l, Transaction::begun);
    std::vector<std::string> class_lock{"velmor class " + cls->name()};
    co_await lock_names(*l, std::move(class_lock));
    co_await ensure_table(*l, *cls, true);
    const Sql max{"SELECT max(class_version) FROM \"_velmor_classes\" WHERE class_name = ?",
                  {text(cls->name())}};
    std::optional<Value> latest = co_await scalar(*l, max);
    const auto* last_version = latest ? std::get_if<std::int64_t>(&*latest) : nullptr;
    const std::int64_t last = last_version ? *last_version : 0;
    const Sql schema{
        "SELECT schema FROM \"_velmor_classes\" WHERE class_name = ? AND class_version = ?",
        {text(cls->name()), integer(last)}};
    std::optional<Value> last_schema = co_await scalar(*l, schema);
    const auto* last_text = last_schema ? std::get_if<std::string>(&*last_schema) : nullptr;
    if (last > 0 && last_text && *last_text == schema_text) {
      version = last;
    } else {
      version = last + 1;
      const Sql add{
          "INSERT INTO \"_velmor_classes\" (class_name, class_version, table_name, schema) "
          "VALUES (?, ?, ?, ?)",
          {text(cls->name()), integer(version), text(table), text(schema_text)}};
      co_await run(*l, add);
    }
    co_await t.acommit();
  }
  std::lock_guard lock(cache_mutex);
  cache.erase(cls->name());
  registered[cls.get()] = {cls, version};
  co_return version;
}

}  // namespace

std::int64_t register_model_class(const ModelClassPtr& cls) {
  return in_stores<std::int64_t>([&] { return registered_version(cls); });
}

awaitable<std::int64_t> aregister_model_class(ModelClassPtr cls) {
  std::function<awaitable<std::int64_t>()> make = [cls = std::move(cls)] {
    return registered_version(cls);
  };
  return on_stores<std::int64_t>(std::move(make));
}

awaitable<std::int64_t> store::class_version_for(const ModelClassPtr& cls) {
  {
    std::lock_guard lock(cache_mutex);
    auto it = registered.find(cls.get());
    if (it != registered.end() && it->second.first.lock() == cls) co_return it->second.second;
  }
  co_return co_await registered_version(cls);
}

}  // namespace velmor_models::backends
