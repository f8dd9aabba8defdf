// The one way the store writes: a list of changes, all of them or none.
#include "backends/store/changes.hpp"

#include <algorithm>
#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <chrono>
#include <map>
#include <mutex>

#include "backends/store/class_versions.hpp"
#include "backends/store/object_ids.hpp"
#include "backends/store/save_log.hpp"
#include "backends/store/shared_database.hpp"
#include "backends/stored_value.hpp"
#include "backends/table_layout.hpp"
#include "velmor_models/backends/object_store.hpp"
#include "velmor_models/backends/query_check.hpp"
#include "velmor_models/backends/sql/compiler.hpp"
#include "velmor_models/backends/sql/dialect.hpp"
#include "velmor_models/querysets/errors.hpp"

namespace velmor_models::backends::store {
namespace {

namespace json = boost::json;
using classes::model::FieldDecl;
using classes::model::ModelClass;
using classes::model::ModelClassPtr;
using querysets::errors::ObjectDoesNotExistError;
using velmor_utils::errors::TypeError;
using velmor_utils::errors::ValueError;

// The values of the declared fields, validated by the class.
json::object validated_fields(const ModelClass& cls, const json::object& values) {
  std::unique_ptr<classes::model::Model> valid = cls.construct(values);  // ValidationError
  json::object row(cls.fields().size() + 6);
  for (const FieldDecl& f : cls.fields()) {
    const json::value* v = valid->find(f.name);
    row.emplace(f.name, v ? *v : json::value(nullptr));
  }
  for (const auto& kv : values)
    if (!row.contains(kv.key()) && kv.key() != "_object_id")
      throw ValueError("model " + cls.name() + " has no field '" + std::string(kv.key()) + "'");
  return row;
}

// A validated row (less any `_object_id` in it) completed with its address: `_metadata`
// (its JSON text, the same in both databases, made once) and the address columns.
json::object addressed(const json::object& fields, const ModelClass& cls,
                       std::int64_t class_version, const std::string& object_id,
                       std::int64_t object_version, std::int64_t saved_at) {
  json::object row(fields.size() + 5);
  for (const auto& kv : fields)
    if (kv.key() != "_object_id") row.emplace(kv.key(), kv.value());
  // Written directly: the text serialising {object_id, object_version,
  // class_schema_reference: {ref: {class_name, object_version}}, saved_at} gives.
  const std::string id_text = json::serialize(json::value(json::string(object_id)));
  std::string meta = "{\"object_id\":";
  meta += json::serialize(json::value(json::string(id_text)));
  meta += ",\"object_version\":";
  meta += std::to_string(object_version);
  meta += ",\"class_schema_reference\":{\"ref\":{\"class_name\":";
  meta += json::serialize(json::value(json::string(cls.name())));
  meta += ",\"object_version\":";
  meta += std::to_string(class_version);
  meta += "}},\"saved_at\":";
  meta += std::to_string(saved_at);
  meta += '}';
  row.emplace("_metadata", std::move(meta));
  row.emplace("_object_id", object_id);
  row.emplace("_object_version", object_version);
  row.emplace("_class_version", class_version);
  row.emplace("_saved_at", saved_at);
  return row;
}

void check_class(const ModelClassPtr& cls, std::string_view what) {
  if (!cls) throw TypeError(std::string(what) + " needs a model class");
}

// Recovery runs before the first save on each pair of databases: once per process, and
// again when the configuration replaces either of them or a save asks for it. (Concurrent
// first saves may each replay: the replay is idempotent.)
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

// One save: a connection of each database and the save's log; when both aliases name one
// database, the default's is a view of the lakehouse's connection (one transaction).
struct SaveParts {
  Lease lake;
  Lease main;
  SaveLog log;
};

awaitable<SaveParts> open_save() {
  const std::optional<SharedDatabase> shared = co_await shared_database();
  Lease l = co_await lake();
  if (shared) {
    Lease d = default_view(*l, *shared);
    co_return SaveParts{std::move(l), std::move(d), SaveLog()};
  }
  Lease d = co_await main_db();
  co_return SaveParts{std::move(l), std::move(d), SaveLog()};
}

// The lakehouse's clock: the database's own, or (SQLite, in the process) the process's.
awaitable<std::int64_t> store_time(Connection& lake) {
  const std::string sql = lake.dialect().clock_microseconds();
  if (sql.empty())
    co_return std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::system_clock::now().time_since_epoch())
        .count();
  const std::vector<Value> none;
  const Rows found = co_await lake.afetch(sql, none);
  co_return driver::integer_of(found.rows.at(0).at(0), "the database's clock");
}

// The time of an object's next change: the save's time, or its last change's when that is
// later (a clock that went back, another server's): never before the version before it.
constexpr std::string_view next_time =
    "saved_at = CASE WHEN saved_at IS NOT NULL AND saved_at > ? THEN saved_at ELSE ? END";

// The objects of a change in one fixed order (by object id), so that writers that lock
// rows as they go (a server store) always take them in the same order.
template <class T, class Id>
std::vector<T*> by_object_id(std::vector<T>& items, Id id) {
  std::vector<T*> out;
  out.reserve(items.size());
  for (T& item : items) out.push_back(&item);
  std::sort(out.begin(), out.end(), [&](const T* a, const T* b) { return id(*a) < id(*b); });
  return out;
}

// A save under way: its connections, its time, what it has written to the lakehouse and
// what the default database gets.
class Writing {
 public:
  // `only_new`: every change creates objects, so no object is saved twice (an id given
  // twice is refused) and none is deleted after its version.
  Writing(SaveParts& save, std::int64_t now,
          const std::map<const ModelClass*, std::int64_t>& class_versions, bool only_new)
      : only_new_(only_new),
        save_(save),
        lake_(*save.lake),
        main_(*save.main),
        now_(now),
        class_versions_(class_versions) {}

  awaitable<void> write(const Change& c) {
    switch (c.kind) {
      case Change::Kind::create:
        co_await create(c);
        break;
      case Change::Kind::version:
        co_await version(c);
        break;
      case Change::Kind::deletion:
        co_await remove(c);
        break;
      case Change::Kind::update:
        co_await update(c);
        break;
    }
  }

  // The versions written to the lakehouse (per class, as one statement each), then the
  // log's entries, then the default database's part.
  awaitable<void> finish() {
    std::size_t versions = 0;
    for (auto& [cls, rows] : lake_rows_) {
      co_await lake_.ainsert_rows(*cls, rows);
      versions += rows.size();
    }
    co_await save_.log.write(lake_);
    std::vector<SaveLog::ClassRows> latest;
    if (only_new_ || versions == latest_.size()) {
      // Every version saved is its object's newest (no object twice, none deleted after):
      // the default database gets the lakehouse's rows as they are.
      for (auto& [cls, rows] : lake_rows_) latest.push_back({cls, std::move(rows)});
    } else {
      for (const auto& entry : latest_) {
        const auto [bucket, index] = entry.second;
        const ModelClass* cls = lake_rows_[bucket].first;
        auto it = std::find_if(latest.begin(), latest.end(),
                               [cls](const auto& c) { return c.cls == cls; });
        if (it == latest.end()) it = latest.insert(latest.end(), {cls, {}});
        it->rows.push_back(lake_rows_[bucket].second[index]);
      }
    }
    const std::span<const SaveLog::ClassRows> newest(latest);
    co_await save_.log.apply(main_, newest);
  }

  std::vector<ObjectAddress> addresses;

 private:
  std::int64_t class_version(const ModelClass& cls) const { return class_versions_.at(&cls); }

  // A saved version: into the lakehouse, the log, and (as the object's newest so far) the
  // default database.
  void saved(const ModelClassPtr& cls, const json::object& fields, const std::string& id,
             std::int64_t version, std::int64_t time) {
    const std::int64_t cv = class_version(*cls);
    json::object row = addressed(fields, *cls, cv, id, version, time);
    const std::string table = table_of(*cls);
    save_.log.add(cls->name(), table, id, version, false);
    auto it = std::find_if(lake_rows_.begin(), lake_rows_.end(),
                           [&](const auto& c) { return c.first == cls.get(); });
    if (it == lake_rows_.end()) it = lake_rows_.insert(lake_rows_.end(), {cls.get(), {}});
    if (!only_new_)
      latest_[{table, id}] = {static_cast<std::size_t>(it - lake_rows_.begin()), it->second.size()};
    it->second.push_back(std::move(row));
    addresses.push_back(
        {cls->name(), cv, id, version,
         std::chrono::sys_time<std::chrono::microseconds>(std::chrono::microseconds(time))});
  }

  // New objects: each id claimed (in the order of the ids); the id of a deleted object
  // starts it anew, its versions continuing after the deletion.
  awaitable<void> create(const Change& c) {
    std::vector<const json::object*> rows;
    for (const json::object& r : c.rows) rows.push_back(&r);
    auto id_of = [](const json::object* r) -> std::string_view {
      return r->at("_object_id").get_string();
    };
    std::vector<const json::object*> ordered = rows;
    std::sort(ordered.begin(), ordered.end(),
              [&](const json::object* a, const json::object* b) { return id_of(a) < id_of(b); });
    const std::string claim = lake_.dialect().with_placeholders(
        "INSERT INTO \"_velmor_objects\" (class_name, object_id, latest_version, saved_at) "
        "VALUES (?, ?, 1, ?) ON CONFLICT DO NOTHING");
    std::vector<std::vector<Value>> claims;
    claims.reserve(ordered.size());
    for (const json::object* r : ordered)
      claims.push_back({text(c.cls->name()), std::string(id_of(r)), now_});
    const std::vector<std::int64_t> claimed =
        co_await lake_.aexecute_each(claim, std::move(claims));
    std::map<std::string, std::pair<std::int64_t, std::int64_t>> renewed;  // version, time
    for (std::size_t i = 0; i < ordered.size(); ++i) {
      if (claimed.at(i) != 0) continue;
      const std::string id(id_of(ordered[i]));
      const Sql anew{
          "UPDATE \"_velmor_objects\" SET latest_version = latest_version + 1, "
          "deleted = 0, " +
              std::string(next_time) +
              " WHERE class_name = ? AND object_id = ? AND deleted = 1 RETURNING "
              "latest_version, saved_at",
          {integer(now_), integer(now_), text(c.cls->name()), text(id)}};
      const Rows found = co_await rows_of(anew);
      if (found.rows.empty())
        throw ValueError("object id '" + id + "' of " + c.cls->name() +
                         " is already in use; nothing was saved");
      renewed[id] = {driver::integer_of(found.rows[0].at(0), "a version"),
                     driver::integer_of(found.rows[0].at(1), "a time")};
    }
    for (const json::object* r : rows) {
      const std::string id(id_of(r));
      const auto again = renewed.find(id);
      if (again == renewed.end())
        saved(c.cls, *r, id, 1, now_);
      else
        saved(c.cls, *r, id, again->second.first, again->second.second);
    }
  }

  // The optimistic lock: only a writer whose base is still the latest moves it on.
  awaitable<void> version(const Change& c) {
    const std::int64_t version = c.base_version + 1;
    const Sql move_on{"UPDATE \"_velmor_objects\" SET latest_version = ?, " +
                          std::string(next_time) +
                          " WHERE class_name = ? AND object_id = ? AND latest_version = ? AND "
                          "deleted = 0 RETURNING saved_at",
                      {integer(version), integer(now_), integer(now_), text(c.cls->name()),
                       text(c.object_id), integer(c.base_version)}};
    const Rows moved = co_await rows_of(move_on);
    if (moved.rows.empty()) {
      const Sql state_of{
          "SELECT latest_version, deleted FROM \"_velmor_objects\" WHERE class_name = ? AND "
          "object_id = ?",
          {text(c.cls->name()), text(c.object_id)}};
      const Rows state = co_await rows_of(state_of);
      if (state.rows.empty())
        throw ObjectDoesNotExistError("No stored " + c.cls->name() + " has the object id '" +
                                      c.object_id + "'");
      if (driver::integer_of(state.rows[0].at(1), "a deletion mark") != 0)
        throw StaleVersionError(c.cls->name() + " '" + c.object_id +
                                "' was deleted; no new version was saved");
      throw StaleVersionError("version " + std::to_string(c.base_version) + " of " + c.cls->name() +
                              " '" + c.object_id + "' is not its latest (" +
                              std::to_string(driver::integer_of(state.rows[0].at(0), "a version")) +
                              "); nothing was saved");
    }
    saved(c.cls, c.rows.at(0), c.object_id, version,
          driver::integer_of(moved.rows[0].at(0), "a time"));
  }

  // A deletion: marked, and recorded with the version it ends and its time.
  awaitable<void> remove(const Change& c) {
    const Sql mark{"UPDATE \"_velmor_objects\" SET deleted = 1, " + std::string(next_time) +
                       " WHERE class_name = ? AND object_id = ? AND deleted = 0 RETURNING "
                       "latest_version, saved_at",
                   {integer(now_), integer(now_), text(c.cls->name()), text(c.object_id)}};
    const Rows marked = co_await rows_of(mark);
    if (marked.rows.empty())
      throw ObjectDoesNotExistError("No stored " + c.cls->name() + " has the object id '" +
                                    c.object_id + "'");
    const std::int64_t version = driver::integer_of(marked.rows[0].at(0), "a version");
    const Sql record{
        "INSERT INTO \"_velmor_deletions\" (class_name, object_id, version, deleted_at) "
        "VALUES (?, ?, ?, ?)",
        {text(c.cls->name()), text(c.object_id), integer(version), marked.rows[0].at(1)}};
    co_await run(lake_, record);
    const std::string table = table_of(*c.cls);
    save_.log.add(c.cls->name(), table, c.object_id, version, true);
    latest_.erase({table, c.object_id});
  }

  // A bulk update: the selection runs on the default database inside the save; each
  // object's new version builds on its latest version, locked and read inside the save.
  awaitable<void> update(const Change& c) {
    const ModelClassPtr& cls = c.changes->model_class();
    const std::string table = table_of(*cls);
    CheckedQuery whole = check_query(*c.query);
    whole.select_every_field();
    const sql::Statement st = sql::compile_select(whole, main_.dialect());
    std::vector<Value> params;
    for (const json::value& p : st.params) params.push_back(driver::from_json(p));
    const Rows found = co_await main_.afetch(st.text, std::move(params));
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
      const json::value* read =
          m.is_object() ? m.as_object().if_contains("object_version") : nullptr;
      if (!id_text || !id_text->is_string() || !read || !read->is_int64()) continue;
      json::value id = json::parse(id_text->get_string());
      if (!id.is_string()) continue;
      selected.push_back({std::string(id.get_string()), read->get_int64(), std::move(values)});
    }
    for (Selected* s : by_object_id(
             selected, [](const Selected& x) -> const std::string& { return x.object_id; })) {
      // The object's latest version, locked until this commits (where the lakehouse's
      // write lock does not hold every object already).
      const Sql latest_of{
          "SELECT latest_version FROM \"_velmor_objects\" WHERE class_name = ? AND object_id = "
          "? AND deleted = 0" +
              std::string(lake_.dialect().lock_rows()),
          {text(cls->name()), text(s->object_id)}};
      std::optional<Value> latest = co_await scalar(lake_, latest_of);
      if (!latest || !std::holds_alternative<std::int64_t>(*latest)) continue;  // deleted
      const std::int64_t latest_version = std::get<std::int64_t>(*latest);
      json::object& values = s->values;
      // The default database lags the lakehouse where a save has committed its lakehouse
      // part only (a writer killed before the replay, or, on a server, one still writing
      // its default part): the new version builds on the latest one, from the lakehouse.
      if (latest_version != s->read_version) {
        values = co_await lakehouse_values(*cls, table, s->object_id, latest_version);
        s->read_version = latest_version;
      }
      for (const FieldDecl& f : cls->fields())
        if (const json::value* v = c.changes->find(f.name)) values[f.name] = *v;
      json::object fields = validated_fields(*cls, values);
      const std::int64_t version = s->read_version + 1;
      const Sql move_on{"UPDATE \"_velmor_objects\" SET latest_version = ?, " +
                            std::string(next_time) +
                            " WHERE class_name = ? AND object_id = ? AND latest_version = ? AND "
                            "deleted = 0 RETURNING saved_at",
                        {integer(version), integer(now_), integer(now_), text(cls->name()),
                         text(s->object_id), integer(s->read_version)}};
      const Rows moved = co_await rows_of(move_on);
      if (moved.rows.empty())
        throw StaleVersionError(cls->name() + " '" + s->object_id +
                                "' moved on while it was being updated; no object was updated");
      saved(cls, fields, s->object_id, version, driver::integer_of(moved.rows[0].at(0), "a time"));
    }
  }

  // The values of the declared fields of one stored version, read from the lakehouse.
  awaitable<json::object> lakehouse_values(const ModelClass& cls, const std::string& table,
                                           const std::string& object_id, std::int64_t version) {
    const Sql read{"SELECT * FROM " + quoted(lake_, table) +
                       " WHERE \"_object_id\" = ? AND \"_object_version\" = ?",
                   {text(object_id), integer(version)}};
    const Rows found = co_await rows(lake_, read);
    json::object values;
    if (found.rows.empty()) co_return values;
    for (std::size_t i = 0; i < found.columns.size(); ++i)
      for (const FieldDecl& f : cls.fields())
        if (f.name == found.columns[i])
          values[f.name] = stored_json(found.rows[0].at(i), f.type, found.json_column(i));
    co_return values;
  }

  awaitable<Rows> rows_of(const Sql& sql) { return rows(lake_, sql); }

  const bool only_new_;
  SaveParts& save_;
  Connection& lake_;
  Connection& main_;
  std::int64_t now_;
  const std::map<const ModelClass*, std::int64_t>& class_versions_;
  std::vector<std::pair<const ModelClass*, std::vector<json::object>>> lake_rows_;
  // The newest version of each object the save leaves live, by (table, id): where it is
  // in lake_rows_ (the class's place, the row's place).
  std::map<std::pair<std::string, std::string>, std::pair<std::size_t, std::size_t>> latest_;
};

// Where no write lock of the whole lakehouse serves, the objects the changes name are
// locked first, in one order, so that two saves of the same objects never wait for each
// other crosswise.
awaitable<void> lock_objects(Connection& lake, const std::vector<Change>& changes) {
  const std::string_view lock = lake.dialect().lock_rows();
  if (lock.empty()) co_return;
  std::vector<std::pair<std::string, std::string>> named;
  for (const Change& c : changes)
    if (c.kind == Change::Kind::version || c.kind == Change::Kind::deletion)
      named.emplace_back(c.cls->name(), c.object_id);
  if (named.empty()) co_return;
  std::sort(named.begin(), named.end());
  named.erase(std::unique(named.begin(), named.end()), named.end());
  const std::string sql = lake.dialect().with_placeholders(
      "SELECT 1 FROM \"_velmor_objects\" WHERE class_name = ? AND object_id = ?" +
      std::string(lock));
  std::vector<std::vector<Value>> params;
  for (auto& [name, id] : named) params.push_back({text(name), text(id)});
  co_await lake.aexecute_each(sql, std::move(params));
}

}  // namespace

Change created(const ModelClassPtr& cls, std::span<const json::object> values) {
  check_class(cls, "save_new_batch");
  Change c{Change::Kind::create, cls, {}, {}, 0, nullptr, nullptr};
  c.rows.reserve(values.size());
  for (const json::object& v : values) {  // everything validated before anything is written
    std::string id;
    if (const json::value* given = v.if_contains("_object_id")) {
      if (!given->is_string() || given->get_string().empty())
        throw TypeError("_object_id must be non-empty text");
      id = std::string(given->get_string());
    } else {
      id = generated_id();
    }
    json::object row = validated_fields(*cls, v);
    row["_object_id"] = std::move(id);
    c.rows.push_back(std::move(row));
  }
  return c;
}

Change new_version(const ModelClassPtr& cls, std::string object_id, std::int64_t base_version,
                   const json::object& values) {
  check_class(cls, "save_version");
  Change c{Change::Kind::version, cls, {}, std::move(object_id), base_version, nullptr, nullptr};
  c.rows.push_back(validated_fields(*cls, values));
  return c;
}

Change deletion(const ModelClassPtr& cls, std::string object_id) {
  check_class(cls, "delete_object");
  return {Change::Kind::deletion, cls, {}, std::move(object_id), 0, nullptr, nullptr};
}

Change update(std::shared_ptr<const querysets::executor::QuerySetReader> query,
              const classes::model::Model& changes) {
  return {Change::Kind::update,
          changes.model_class(),
          {},
          {},
          0,
          std::move(query),
          std::make_shared<const classes::model::Model>(changes)};
}

awaitable<std::vector<ObjectAddress>> write_changes(
    std::shared_ptr<const std::vector<Change>> changes) {
  bool writes = false;
  for (const Change& c : *changes)
    writes = writes || c.kind != Change::Kind::create || !c.rows.empty();
  if (!writes) co_return std::vector<ObjectAddress>{};
  co_await recover_once();
  // The class version of every class that saves a version (registered on its first use,
  // in transactions of its own, before the save's).
  std::map<const ModelClass*, std::int64_t> class_versions;
  for (const Change& c : *changes)
    if (c.kind != Change::Kind::deletion && !class_versions.contains(c.cls.get()))
      class_versions[c.cls.get()] = co_await class_version_for(c.cls);
  SaveParts save = co_await open_save();
  Connection& l = *save.lake;
  Connection& d = *save.main;
  // Both write locks first, the lakehouse's before the default's as every save takes them
  // (a bulk update's selection then reads latest versions that stay so until it commits).
  co_await l.abegin();
  Transaction lake_part(l, Transaction::begun);
  co_await d.abegin();
  Transaction held(d, Transaction::begun);
  const std::int64_t now = co_await store_time(l);
  co_await lock_objects(l, *changes);
  const bool only_new = std::all_of(changes->begin(), changes->end(),
                                    [](const Change& c) { return c.kind == Change::Kind::create; });
  Writing writing(save, now, class_versions, only_new);
  for (const Change& c : *changes) co_await writing.write(c);
  co_await writing.finish();
  co_await save.log.commit(lake_part, held);
  co_return std::move(writing.addresses);
}

}  // namespace velmor_models::backends::store
