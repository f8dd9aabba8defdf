// The store of versioned objects on SQLite: the default database (latest versions) and the
// lakehouse (every version, the class schemas and the log of saves in flight).
//
// Atomicity: the two aliases are separate databases, often in WAL mode, where a
// transaction over attached files is not atomic across them. So one save is two
// transactions, and a log: (1) the lakehouse records the version and a pending entry;
// (2) before (1) commits, the default database is brought to the lakehouse's state for
// that entry (idempotent, never moving an object back to an older version); (3) the
// lakehouse commits, then the default database; (4) the pending entry is removed. A lock,
// a full disk or a failed allocation before (3) changes nothing anywhere. A process killed
// after the lakehouse's commit leaves a pending entry that `recover_pending_saves` (run
// before the first save of every process) replays.
#include "velmor_models/backends/object_store.hpp"

#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <chrono>
#include <map>
#include <mutex>
#include <random>
#include <thread>
#include <unordered_map>

#include "backends/sqlite/connection.hpp"
#include "backends/sqlite/rows.hpp"
#include "backends/sqlite/tables.hpp"
#include "velmor_data/aliases/using.hpp"
#include "velmor_data/connections/historical/schema_version_manager.hpp"
#include "velmor_models/backends/registry.hpp"
#include "velmor_models/backends/sqlite/sqlite_backend.hpp"
#include "velmor_models/querysets/errors.hpp"
#include "velmor_models/querysets/qsetkit/query_set_core.hpp"

namespace velmor_models::backends {
namespace {

namespace json = boost::json;
using classes::model::FieldDecl;
using classes::model::ModelClass;
using classes::model::ModelClassPtr;
using querysets::errors::ObjectDoesNotExistError;
using sqlite::Connection;
using sqlite::quote_identifier;
using velmor_utils::errors::TypeError;
using velmor_utils::errors::ValueError;

SqliteBackend& sqlite_store(std::string_view alias) {
  std::shared_ptr<Backend> b = backend_for(alias);
  auto* s = dynamic_cast<SqliteBackend*>(b.get());
  if (!s)
    throw TypeError("The object store keeps its objects in SQLite; alias '" + std::string(alias) +
                    "' is not a SQLite database");
  // Aliases keep their backend alive until reconfigured; the store holds no reference.
  return *s;
}

Connection& lake() {
  return sqlite::connection_of(sqlite_store(velmor_data::aliases::using_::LAKEHOUSE_DB_ALIAS));
}
Connection& main_db() {
  return sqlite::connection_of(sqlite_store(velmor_data::aliases::using_::DEFAULT_DB_ALIAS));
}

// One statement run to its end with bound values; returns the rows changed.
std::int64_t run(Connection& conn, const std::string& sql, const std::vector<json::value>& params) {
  sqlite3_stmt* stmt = conn.prepare(sql);
  Connection::Use use(stmt);
  conn.bind(stmt, params, sql);
  sqlite::run_to_end(conn, stmt, sql);
  return sqlite3_changes64(conn.handle());
}

// The first column of the first row, when there is one.
std::optional<json::value> scalar(Connection& conn, const std::string& sql,
                                  const std::vector<json::value>& params) {
  sqlite3_stmt* stmt = conn.prepare(sql);
  Connection::Use use(stmt);
  conn.bind(stmt, params, sql);
  int rc = sqlite3_step(stmt);
  if (rc == SQLITE_DONE) return std::nullopt;
  if (rc != SQLITE_ROW) conn.fail(rc, sql);
  switch (sqlite3_column_type(stmt, 0)) {
    case SQLITE_INTEGER:
      return json::value(sqlite3_column_int64(stmt, 0));
    case SQLITE_NULL:
      return json::value(nullptr);
    default:
      return json::value(json::string(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)),
                                      static_cast<std::size_t>(sqlite3_column_bytes(stmt, 0))));
  }
}

// BEGIN IMMEDIATE .. COMMIT, rolled back when left without a commit.
class Transaction {
 public:
  explicit Transaction(Connection& conn) : conn_(conn) { conn_.exec("BEGIN IMMEDIATE"); }
  ~Transaction() { rollback(); }
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  void commit() {
    conn_.exec("COMMIT");
    done_ = true;
  }
  void rollback() noexcept {
    if (!done_ && !sqlite3_get_autocommit(conn_.handle())) {
      try {
        conn_.exec("ROLLBACK");
      } catch (...) {  // the transaction is gone either way
      }
    }
    done_ = true;
  }

 private:
  Connection& conn_;
  bool done_ = false;
};

// Each statement is one literal, its lines joined by the compiler (parenthesised so that no
// compiler takes a joined pair for a missing comma).
const char* const kStoreTables[] = {
    ("CREATE TABLE IF NOT EXISTS \"_velmor_classes\" (class_name TEXT NOT NULL, class_version "
     "INTEGER NOT NULL, table_name TEXT NOT NULL, schema TEXT NOT NULL, PRIMARY KEY (class_name, "
     "class_version))"),
    ("CREATE TABLE IF NOT EXISTS \"_velmor_objects\" (class_name TEXT NOT NULL, object_id TEXT NOT "
     "NULL, latest_version INTEGER NOT NULL, deleted INTEGER NOT NULL DEFAULT 0, PRIMARY KEY "
     "(class_name, object_id))"),
    ("CREATE TABLE IF NOT EXISTS \"_velmor_pending\" (seq INTEGER PRIMARY KEY, table_name TEXT "
     "NOT NULL, object_id TEXT NOT NULL, object_version INTEGER NOT NULL, deleted INTEGER NOT "
     "NULL)")};

void ensure_store_tables(Connection& conn) {
  for (const char* ddl : kStoreTables) conn.exec(ddl);
}

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

ClassVersions load_class(std::string_view name) {
  ClassVersions out;
  // A lakehouse that is no SQLite database (`memory:`) holds no classes.
  auto* store = dynamic_cast<SqliteBackend*>(
      backend_for(velmor_data::aliases::using_::LAKEHOUSE_DB_ALIAS).get());
  if (!store) return out;
  Connection& conn = sqlite::connection_of(*store);
  // Reading never creates anything (the lakehouse may be read-only).
  if (!scalar(conn, "SELECT 1 FROM sqlite_schema WHERE name = '_velmor_classes'", {})) return out;
  const std::string sql =
      "SELECT class_version, schema FROM \"_velmor_classes\" WHERE class_name = ?";
  sqlite3_stmt* stmt = conn.prepare(sql);
  Connection::Use use(stmt);
  // Bound text is not copied: the values live until the statement is done.
  const std::vector<json::value> params1 = {json::value(json::string(name))};
  conn.bind(stmt, params1, sql);
  for (int rc; (rc = sqlite3_step(stmt)) != SQLITE_DONE;) {
    if (rc != SQLITE_ROW) conn.fail(rc, sql);
    std::string_view text(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 1)),
                          static_cast<std::size_t>(sqlite3_column_bytes(stmt, 1)));
    out.schemas[sqlite3_column_int64(stmt, 0)] = json::parse(text).as_array();
  }
  return out;
}

std::shared_ptr<const ClassVersions> cached_class(std::string_view name) {
  std::lock_guard lock(cache_mutex);
  auto it = cache.find(std::string(name));
  if (it == cache.end())
    it = cache.emplace(std::string(name), std::make_shared<const ClassVersions>(load_class(name)))
             .first;
  return it->second;
}

void install_version_source() {
  static std::once_flag once;
  std::call_once(once, [] {
    velmor_data::connections::historical::schema_version_manager::set_latest_version_source(
        [](std::string_view name) -> json::value {
          std::optional<std::int64_t> v = latest_class_version(name);
          return v ? json::value(*v) : json::value(nullptr);
        });
  });
}

std::string generated_id() {
  // Seeded again in a forked child, which would otherwise repeat its parent's ids.
  thread_local std::mt19937_64 rng;
  thread_local pid_t seeded_for = 0;
  if (seeded_for != ::getpid()) {
    seeded_for = ::getpid();
    std::random_device device;
    rng.seed((static_cast<std::uint64_t>(device()) << 32) ^ device() ^
             std::hash<std::thread::id>{}(std::this_thread::get_id()));
  }
  // Time first (milliseconds, 48 bits, as in a version-7 UUID), then random bits: ids made
  // one after another sort together, so the id indexes grow at their end instead of
  // being written at random places (a save of many objects then touches few pages).
  const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count();
  const std::uint64_t a = (static_cast<std::uint64_t>(now) << 16) | 0x7000 | (rng() & 0x0fff);
  const std::uint64_t b = (rng() & 0x3fffffffffffffffULL) | 0x8000000000000000ULL;
  char buf[40];
  std::snprintf(buf, sizeof buf, "%08x-%04x-%04x-%04x-%012llx", static_cast<unsigned>(a >> 32),
                static_cast<unsigned>((a >> 16) & 0xffff), static_cast<unsigned>(a & 0xffff),
                static_cast<unsigned>(b >> 48),
                static_cast<unsigned long long>(b & 0xffffffffffffULL));
  return buf;
}

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
  row["_metadata"] = json::object{
      {"object_id", json::serialize(json::value(json::string(object_id)))},
      {"object_version", object_version},
      {"class_schema_reference",
       json::object{
           {"ref", json::object{{"class_name", cls.name()}, {"object_version", class_version}}}}}};
  row["_object_id"] = object_id;
  row["_object_version"] = object_version;
  row["_class_version"] = class_version;
  return row;
}

// Creates the class's table, or adds the columns of fields a newer schema gained (a table
// keeps the columns of fields that were dropped: old versions still hold them).
void ensure_table(Connection& conn, const ModelClass& cls) {
  for (const std::string& ddl : sqlite::table_ddl(cls, {})) conn.exec(ddl);
  const std::string table = sqlite::table_of(cls);
  std::vector<std::string> present;
  {
    const std::string sql = "PRAGMA table_info(" + quote_identifier(table) + ")";
    sqlite3_stmt* stmt = conn.prepare(sql);
    Connection::Use use(stmt);
    for (int rc; (rc = sqlite3_step(stmt)) != SQLITE_DONE;) {
      if (rc != SQLITE_ROW) conn.fail(rc, sql);
      present.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 1)),
                           static_cast<std::size_t>(sqlite3_column_bytes(stmt, 1)));
    }
  }
  for (const FieldDecl& f : cls.fields()) {
    if (std::find(present.begin(), present.end(), f.name) != present.end()) continue;
    conn.exec("ALTER TABLE " + quote_identifier(table) + " ADD COLUMN " + quote_identifier(f.name) +
              " " + sqlite::column_type(f.type));
  }
}

std::string table_name(const ModelClass& cls) {
  return sqlite::table_of(cls);
}

void undo_pending(std::int64_t from, std::int64_t to);

// Brings the default database to the lakehouse's state for pending entries with sequence
// numbers in [from, to], in the caller's transaction of the default database. Idempotent;
// never moves an object back.
void apply_pending(std::int64_t from, std::int64_t to) {
  Connection& l = lake();
  Connection& d = main_db();
  struct Entry {
    std::int64_t seq;
    std::string table, id;
    std::int64_t version;
    bool deleted;
  };
  std::vector<Entry> entries;
  {
    const std::string sql =
        "SELECT seq, table_name, object_id, object_version, deleted FROM \"_velmor_pending\" "
        "WHERE seq BETWEEN ? AND ? ORDER BY seq";
    sqlite3_stmt* stmt = l.prepare(sql);
    Connection::Use use(stmt);
    // Bound text is not copied: the values live until the statement is done.
    const std::vector<json::value> params2 = {json::value(from), json::value(to)};
    l.bind(stmt, params2, sql);
    for (int rc; (rc = sqlite3_step(stmt)) != SQLITE_DONE;) {
      if (rc != SQLITE_ROW) l.fail(rc, sql);
      auto text = [&](int i) {
        return std::string(reinterpret_cast<const char*>(sqlite3_column_text(stmt, i)),
                           static_cast<std::size_t>(sqlite3_column_bytes(stmt, i)));
      };
      entries.push_back({sqlite3_column_int64(stmt, 0), text(1), text(2),
                         sqlite3_column_int64(stmt, 3), sqlite3_column_int64(stmt, 4) != 0});
    }
  }
  for (const Entry& e : entries) {
    const std::string q = quote_identifier(e.table);
    if (e.deleted) {
      run(d, "DELETE FROM " + q + " WHERE \"_object_id\" = ? AND \"_object_version\" <= ?",
          {json::value(json::string(e.id)), json::value(e.version)});
      continue;
    }
    run(d, "DELETE FROM " + q + " WHERE \"_object_id\" = ? AND \"_object_version\" < ?",
        {json::value(json::string(e.id)), json::value(e.version)});
    // Copy the lakehouse row column by column (both tables have the same layout).
    const std::string sel =
        "SELECT * FROM " + q + " WHERE \"_object_id\" = ? AND \"_object_version\" = ?";
    sqlite3_stmt* stmt = l.prepare(sel);
    Connection::Use use(stmt);
    // Bound text is not copied: the values live until the statement is done.
    const std::vector<json::value> params3 = {json::value(json::string(e.id)),
                                              json::value(e.version)};
    l.bind(stmt, params3, sel);
    int rc = sqlite3_step(stmt);
    if (rc == SQLITE_DONE) continue;
    if (rc != SQLITE_ROW) l.fail(rc, sel);
    const int n = sqlite3_column_count(stmt);
    std::string ins = "INSERT OR IGNORE INTO " + q + " (", marks;
    for (int i = 0; i < n; ++i) {
      ins += (i ? ", " : "") + quote_identifier(sqlite3_column_name(stmt, i));
      marks += i ? ", ?" : "?";
    }
    ins += ") VALUES (" + marks + ")";
    sqlite3_stmt* put = d.prepare(ins);
    Connection::Use put_use(put);
    for (int i = 0; i < n; ++i)
      if (int brc = sqlite3_bind_value(put, i + 1, sqlite3_column_value(stmt, i)); brc != SQLITE_OK)
        d.fail(brc, ins);
    sqlite::run_to_end(d, put, ins);
  }
}

// Removes the pending entries [from, to] once the default database holds them. Should
// that fail (the lakehouse locked just then, no memory), they stay behind: replaying them
// changes nothing, and the save they belong to is complete.
void forget_pending(std::int64_t from, std::int64_t to) noexcept {
  try {
    run(lake(), "DELETE FROM \"_velmor_pending\" WHERE seq BETWEEN ? AND ?",
        {json::value(from), json::value(to)});
  } catch (...) {
  }
}

// Takes back the lakehouse writes of pending entries [from, to] after the default database
// refused them (full, read-only, ...), so a failed save leaves no trace; the caller then
// reports the default database's error. Entries are undone newest first.
void undo_pending(std::int64_t from, std::int64_t to) {
  Connection& l = lake();
  Transaction t(l);
  const std::string sql =
      "SELECT p.table_name, p.object_id, p.object_version, p.deleted, c.class_name FROM "
      "\"_velmor_pending\" AS p JOIN (SELECT DISTINCT class_name, table_name FROM "
      "\"_velmor_classes\") AS c ON c.table_name = p.table_name WHERE p.seq BETWEEN ? AND ? "
      "ORDER BY p.seq DESC";
  struct Entry {
    std::string table, id, class_name;
    std::int64_t version;
    bool deleted;
  };
  std::vector<Entry> entries;
  {
    sqlite3_stmt* stmt = l.prepare(sql);
    Connection::Use use(stmt);
    // Bound text is not copied: the values live until the statement is done.
    const std::vector<json::value> params4 = {json::value(from), json::value(to)};
    l.bind(stmt, params4, sql);
    for (int rc; (rc = sqlite3_step(stmt)) != SQLITE_DONE;) {
      if (rc != SQLITE_ROW) l.fail(rc, sql);
      auto text = [&](int i) {
        return std::string(reinterpret_cast<const char*>(sqlite3_column_text(stmt, i)),
                           static_cast<std::size_t>(sqlite3_column_bytes(stmt, i)));
      };
      entries.push_back({text(0), text(1), text(4), sqlite3_column_int64(stmt, 2),
                         sqlite3_column_int64(stmt, 3) != 0});
    }
  }
  for (const Entry& e : entries) {
    const json::value cls(json::string(e.class_name)), id(json::string(e.id));
    if (e.deleted) {
      run(l, "UPDATE \"_velmor_objects\" SET deleted = 0 WHERE class_name = ? AND object_id = ?",
          {cls, id});
      continue;
    }
    run(l,
        "DELETE FROM " + quote_identifier(e.table) +
            " WHERE \"_object_id\" = ? AND \"_object_version\" = ?",
        {id, json::value(e.version)});
    if (e.version == 1)
      run(l, "DELETE FROM \"_velmor_objects\" WHERE class_name = ? AND object_id = ?", {cls, id});
    else
      run(l,
          "UPDATE \"_velmor_objects\" SET latest_version = ? WHERE class_name = ? AND object_id "
          "= ? AND latest_version = ?",
          {json::value(e.version - 1), cls, id, json::value(e.version)});
  }
  run(l, "DELETE FROM \"_velmor_pending\" WHERE seq BETWEEN ? AND ?",
      {json::value(from), json::value(to)});
  t.commit();
}

// Completes a save whose lakehouse part committed as the pending entries [from, to], its
// default part being done in `held`: should the default database refuse the commit (full,
// I/O error), the lakehouse part is taken back and the save fails as a whole.
void complete(std::int64_t from, std::int64_t to, Transaction& held) {
  try {
    held.commit();
  } catch (...) {
    held.rollback();
    undo_pending(from, to);
    throw;
  }
  forget_pending(from, to);
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

// The pending entry of one save, written in the lakehouse transaction; returns its seq.
std::int64_t add_pending(Connection& l, const std::string& table, const std::string& id,
                         std::int64_t version, bool deleted) {
  run(l,
      "INSERT INTO \"_velmor_pending\" (table_name, object_id, object_version, deleted) VALUES "
      "(?, ?, ?, ?)",
      {json::value(json::string(table)), json::value(json::string(id)), json::value(version),
       json::value(deleted ? 1 : 0)});
  return sqlite3_last_insert_rowid(l.handle());
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

std::int64_t register_model_class(const ModelClassPtr& cls) {
  if (!cls) throw TypeError("register_model_class needs a model class");
  if (cls->is_plain_table())
    throw TypeError("model " + cls->name() + " is a plain table, which the store cannot write");
  install_version_source();
  const std::string table = table_name(*cls);
  const json::array schema = schema_of(*cls);
  const std::string schema_text = json::serialize(schema);
  // The default table gains new columns first: a concurrent save copies its lakehouse row
  // into the default database column by column, so the default table must never lack a
  // column the lakehouse table has.
  Connection& d = main_db();
  {
    Transaction t(d);
    ensure_table(d, *cls);
    d.exec("CREATE UNIQUE INDEX IF NOT EXISTS " + quote_identifier(table + "___object") + " ON " +
           quote_identifier(table) + " (\"_object_id\")");
    t.commit();
  }
  Connection& l = lake();
  ensure_store_tables(l);
  std::int64_t version = 0;
  {
    Transaction t(l);
    ensure_table(l, *cls);
    l.exec("CREATE UNIQUE INDEX IF NOT EXISTS " + quote_identifier(table + "___version") + " ON " +
           quote_identifier(table) + " (\"_object_id\", \"_object_version\")");
    std::optional<json::value> latest =
        scalar(l, "SELECT max(class_version) FROM \"_velmor_classes\" WHERE class_name = ?",
               {json::value(json::string(cls->name()))});
    std::int64_t last = latest && latest->is_int64() ? latest->get_int64() : 0;
    std::optional<json::value> last_schema = scalar(
        l, "SELECT schema FROM \"_velmor_classes\" WHERE class_name = ? AND class_version = ?",
        {json::value(json::string(cls->name())), json::value(last)});
    if (last > 0 && last_schema && last_schema->is_string() &&
        last_schema->get_string() == schema_text) {
      version = last;
    } else {
      version = last + 1;
      run(l,
          "INSERT INTO \"_velmor_classes\" (class_name, class_version, table_name, schema) "
          "VALUES (?, ?, ?, ?)",
          {json::value(json::string(cls->name())), json::value(version),
           json::value(json::string(table)), json::value(json::string(schema_text))});
    }
    t.commit();
  }
  std::lock_guard lock(cache_mutex);
  cache.erase(cls->name());
  registered[cls.get()] = {cls, version};
  return version;
}

namespace {
std::int64_t class_version_for(const ModelClassPtr& cls) {
  {
    std::lock_guard lock(cache_mutex);
    auto it = registered.find(cls.get());
    if (it != registered.end() && it->second.first.lock() == cls) return it->second.second;
  }
  return register_model_class(cls);
}
}  // namespace

std::vector<ObjectAddress> save_new_batch(const ModelClassPtr& cls,
                                          std::span<const json::object> values) {
  if (!cls) throw TypeError("save_new_batch needs a model class");
  recover_once();
  const std::optional<std::int64_t> class_version = class_version_for(cls);
  const std::string table = table_name(*cls);
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
    rows.push_back(stored_row(*cls, v, *class_version, id, 1));
    out.push_back({cls->name(), *class_version, std::move(id), 1});
  }
  if (rows.empty()) return out;
  Connection& l = lake();
  std::int64_t first = 0, last = 0;
  std::optional<Transaction> held;
  {
    Transaction t(l);
    for (const ObjectAddress& a : out) {
      std::int64_t added =
          run(l,
              "INSERT OR IGNORE INTO \"_velmor_objects\" (class_name, object_id, latest_version) "
              "VALUES (?, ?, 1)",
              {json::value(json::string(a.class_name)), json::value(json::string(a.object_id))});
      if (added == 0)
        throw ValueError("object id '" + a.object_id + "' of " + a.class_name +
                         " is already in use; nothing was saved");
    }
    sqlite::insert_rows(l, *cls, rows);
    for (const ObjectAddress& a : out) {
      last = add_pending(l, table, a.object_id, 1, false);
      if (!first) first = last;
    }
    // The default database's part is done before either commits: a default database that
    // is locked, full or read-only (or memory that runs out) fails the save with nothing
    // written anywhere. Only the default's commit follows the lakehouse's.
    held.emplace(main_db());
    apply_pending(first, last);
    t.commit();
  }
  complete(first, last, *held);
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
  const std::optional<std::int64_t> class_version = class_version_for(cls);
  const std::string id(object_id);
  const std::int64_t version = base_version + 1;
  json::object row = stored_row(*cls, values, *class_version, id, version);
  const std::string table = table_name(*cls);
  Connection& l = lake();
  std::int64_t seq = 0;
  std::optional<Transaction> held;
  {
    Transaction t(l);
    // The optimistic lock: only a writer whose base is still the latest moves it on.
    std::int64_t moved = run(l,
                             "UPDATE \"_velmor_objects\" SET latest_version = ? WHERE class_name "
                             "= ? AND object_id = ? AND latest_version = ? AND deleted = 0",
                             {json::value(version), json::value(json::string(cls->name())),
                              json::value(json::string(id)), json::value(base_version)});
    if (moved == 0) {
      std::optional<json::value> latest =
          scalar(l,
                 "SELECT CASE deleted WHEN 0 THEN latest_version ELSE 'deleted' END FROM "
                 "\"_velmor_objects\" WHERE class_name = ? AND object_id = ?",
                 {json::value(json::string(cls->name())), json::value(json::string(id))});
      if (!latest)
        throw ObjectDoesNotExistError("No stored " + cls->name() + " has the object id '" + id +
                                      "'");
      if (latest->is_string())
        throw StaleVersionError(cls->name() + " '" + id +
                                "' was deleted; no new version was saved");
      throw StaleVersionError("version " + std::to_string(base_version) + " of " + cls->name() +
                              " '" + id + "' is not its latest (" + json::serialize(*latest) +
                              "); nothing was saved");
    }
    sqlite::insert_rows(l, *cls, std::span<const json::object>(&row, 1));
    seq = add_pending(l, table, id, version, false);
    held.emplace(main_db());  // as in save_new_batch
    apply_pending(seq, seq);
    t.commit();
  }
  complete(seq, seq, *held);
  return {cls->name(), *class_version, id, version};
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
  Connection& l = lake();
  ensure_store_tables(l);
  std::int64_t seq = 0;
  std::optional<Transaction> held;
  {
    Transaction t(l);
    std::optional<json::value> latest = scalar(
        l,
        "SELECT latest_version FROM \"_velmor_objects\" WHERE class_name = ? AND object_id = ? "
        "AND deleted = 0",
        {json::value(json::string(cls->name())), json::value(json::string(id))});
    if (!latest)
      throw ObjectDoesNotExistError("No stored " + cls->name() + " has the object id '" + id + "'");
    run(l, "UPDATE \"_velmor_objects\" SET deleted = 1 WHERE class_name = ? AND object_id = ?",
        {json::value(json::string(cls->name())), json::value(json::string(id))});
    seq = add_pending(l, table_name(*cls), id, latest->get_int64(), true);
    held.emplace(main_db());  // as in save_new_batch
    apply_pending(seq, seq);
    t.commit();
  }
  complete(seq, seq, *held);
}

std::int64_t bulk_update(const querysets::qsetkit::QuerySetCore& qs,
                         const classes::model::Model& changes) {
  qs._check_type(changes);
  const ModelClassPtr& cls = changes.model_class();
  recover_once();
  const std::int64_t class_version = class_version_for(cls);
  const std::string table = table_name(*cls);
  Connection& l = lake();
  // All objects in one lakehouse transaction and one default one: every object gets its
  // new version, or (a value the class refuses, a database that refuses) none does.
  std::vector<json::object> rows;
  std::vector<std::pair<std::string, std::int64_t>> saved;  // id, new version
  std::int64_t first = 0, last = 0;
  std::optional<Transaction> held;
  {
    Transaction t(l);
    // Both write locks before the selection, the lakehouse's first as every save takes
    // them: a save that committed its lakehouse part has committed its default part too,
    // so the rows read below are the latest versions and stay so until this commits. A
    // selection read earlier could be overtaken, and its values would undo another
    // writer's version.
    held.emplace(main_db());
    std::vector<velmor_glue::Data> records =
        backend_for(velmor_data::aliases::using_::DEFAULT_DB_ALIAS)->query(qs);
    for (velmor_glue::Data& r : records) {
      const json::value* meta = r.data ? r.data->if_contains("_metadata") : nullptr;
      if (!meta || !meta->is_string()) continue;
      json::value m = json::parse(meta->get_string());
      json::value id = json::parse(m.at("object_id").as_string());
      const json::value* read_version = m.as_object().if_contains("object_version");
      if (!id.is_string()) continue;
      const std::string object_id(id.get_string());
      std::optional<json::value> latest =
          scalar(l,
                 "SELECT latest_version FROM \"_velmor_objects\" WHERE class_name = ? AND "
                 "object_id = ? AND deleted = 0",
                 {json::value(json::string(cls->name())), id});
      if (!latest || !latest->is_int64()) continue;
      // The default database lags the lakehouse only where a killed writer's save awaits
      // its replay: never write over a version that was not read.
      if (!read_version || *read_version != *latest)
        throw StaleVersionError(cls->name() + " '" + object_id +
                                "' has a newer version than the one selected; no object was "
                                "updated");
      json::object values;
      for (const FieldDecl& f : cls->fields())
        if (const json::value* v = r.data->if_contains(f.name)) values[f.name] = *v;
      for (const FieldDecl& f : cls->fields())
        if (const json::value* v = changes.find(f.name)) values[f.name] = *v;
      const std::int64_t version = latest->get_int64() + 1;
      rows.push_back(stored_row(*cls, values, class_version, object_id, version));
      run(l,
          "UPDATE \"_velmor_objects\" SET latest_version = ? WHERE class_name = ? AND "
          "object_id = ?",
          {json::value(version), json::value(json::string(cls->name())), id});
      saved.emplace_back(object_id, version);
    }
    if (rows.empty()) return 0;
    sqlite::insert_rows(l, *cls, rows);
    for (const auto& [object_id, version] : saved) {
      last = add_pending(l, table, object_id, version, false);
      if (!first) first = last;
    }
    apply_pending(first, last);
    t.commit();
  }
  complete(first, last, *held);
  return static_cast<std::int64_t>(saved.size());
}

void recover_pending_saves() {
  Connection& l = lake();
  ensure_store_tables(l);
  std::optional<json::value> last = scalar(l, "SELECT max(seq) FROM \"_velmor_pending\"", {});
  if (last && last->is_int64()) {
    Transaction t(main_db());
    apply_pending(0, last->get_int64());
    t.commit();
    forget_pending(0, last->get_int64());
  }
}

}  // namespace velmor_models::backends
