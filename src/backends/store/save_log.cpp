#include "backends/store/save_log.hpp"

#include <algorithm>
#include <atomic>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <chrono>
#include <exception>
#include <iterator>
#include <map>
#include <mutex>

#include "backends/driver/run_sync.hpp"
#include "backends/store/object_ids.hpp"
#include "backends/store/store_tables.hpp"
#include "velmor_models/backends/object_store.hpp"
#include "velmor_models/backends/sql/dialect.hpp"
#include "velmor_models/querysets/errors.hpp"

namespace velmor_models::backends::store {

using querysets::errors::DatabaseError;
using querysets::errors::DatabaseErrorCategory;

namespace {

Sql forget_save(const std::string& save_id) {
  return {"DELETE FROM \"_velmor_pending\" WHERE save_id = ?", {text(save_id)}};
}

// Saves complete in both databases whose entries are still to be removed, whatever the
// lakehouse (an id names one save: removing it from another database removes nothing).
// Each save removes up to two, so the list stays short however many saves run.
constexpr std::size_t pruned_per_save = 2;
std::mutex completed_mutex;
std::vector<std::string> completed;

std::vector<std::string> take_completed() {
  std::lock_guard lock(completed_mutex);
  const std::size_t n = std::min(pruned_per_save, completed.size());
  std::vector<std::string> out(std::make_move_iterator(completed.end() - n),
                               std::make_move_iterator(completed.end()));
  completed.resize(completed.size() - n);
  return out;
}

void give_back(std::vector<std::string>& ids) noexcept {
  try {
    std::lock_guard lock(completed_mutex);
    completed.insert(completed.end(), std::make_move_iterator(ids.begin()),
                     std::make_move_iterator(ids.end()));
  } catch (...) {  // left to the replay of a later process
  }
  ids.clear();
}

}  // namespace

// Column by column: both tables have the same layout, and the default's unique object id
// leaves a row out when a newer one is there.
awaitable<void> apply_entry(Connection& lake, Connection& main, const std::string& table,
                            const std::string& object_id, std::int64_t version, bool deleted) {
  const std::string q = quoted(main, table);
  const Sql older{"DELETE FROM " + q + " WHERE \"_object_id\" = ? AND \"_object_version\" " +
                      (deleted ? "<= ?" : "< ?"),
                  {text(object_id), integer(version)}};
  co_await run(main, older);
  if (deleted) co_return;
  const Sql latest{
      "SELECT 1 FROM \"_velmor_objects\" WHERE object_id = ? AND latest_version = ? AND "
      "deleted = 0 AND class_name IN (SELECT class_name FROM \"_velmor_classes\" WHERE "
      "table_name = ?)",
      {text(object_id), integer(version), text(table)}};
  if (!co_await scalar(lake, latest)) co_return;
  const Sql read{"SELECT * FROM " + q + " WHERE \"_object_id\" = ? AND \"_object_version\" = ?",
                 {text(object_id), integer(version)}};
  Rows row = co_await rows(lake, read);
  if (row.rows.empty()) co_return;
  // The insertion-order column (PostgreSQL's) is the database's to fill in each table.
  const std::string_view order = main.dialect().insertion_column().name;
  for (std::size_t i = 0; !order.empty() && i < row.columns.size(); ++i)
    if (row.columns[i] == order) {
      row.columns.erase(row.columns.begin() + static_cast<std::ptrdiff_t>(i));
      row.rows.front().erase(row.rows.front().begin() + static_cast<std::ptrdiff_t>(i));
      break;
    }
  const std::string insert = main.dialect().insert(table, row.columns, true);
  co_await main.aexecute(insert, std::move(row.rows.front()));
}

SaveLog::SaveLog() : id_(generated_id()) {}

SaveLog::SaveLog(SaveLog&& other) noexcept
    : id_(std::move(other.id_)),
      entries_(std::move(other.entries_)),
      pruned_(std::move(other.pruned_)),
      committed_(other.committed_) {
  other.pruned_.clear();
}

SaveLog::~SaveLog() {
  if (!committed_) give_back(pruned_);
}

void SaveLog::add(std::string class_name, std::string table, std::string object_id,
                  std::int64_t version, bool deleted) {
  entries_.push_back(
      {std::move(class_name), std::move(table), std::move(object_id), version, deleted});
}

awaitable<void> SaveLog::write(Connection& lake) {
  if (pruned_.empty()) {
    pruned_ = take_completed();
    for (const std::string& id : pruned_) {
      const Sql forget = forget_save(id);
      co_await run(lake, forget);
    }
  }
  const std::string entry = lake.dialect().with_placeholders(
      "INSERT INTO \"_velmor_pending\" (save_id, table_name, object_id, object_version, "
      "deleted) VALUES (?, ?, ?, ?, ?)");
  std::vector<std::vector<Value>> params;
  params.reserve(entries_.size());
  for (const Entry& e : entries_)
    params.push_back({text(id_), text(e.table), text(e.object_id), integer(e.version),
                      integer(e.deleted ? 1 : 0)});
  co_await lake.aexecute_each(entry, std::move(params));
}

awaitable<void> SaveLog::apply(Connection& main, std::span<const ClassRows> latest) const {
  // Where no write lock of the whole database serves, writers of one object in the
  // default database take its lock first (a save whose lakehouse part committed may
  // still be writing its default part).
  std::vector<std::string> locks;
  for (const Entry& e : entries_) locks.push_back(object_lock(e.table, e.object_id));
  co_await lock_names(main, std::move(locks));
  // Each object once, as the save leaves it (its last entry). Both write locks are held
  // and every version is new: no row of the default database is as new as the object.
  std::map<std::pair<std::string, std::string>, const Entry*> last;
  for (const Entry& e : entries_) last[{e.table, e.object_id}] = &e;
  std::map<std::string, std::pair<std::string, std::string>> removal;  // by table: <, <=
  for (const auto& [key, e] : last) {
    if (!e->deleted && e->version == 1) continue;  // a first version has no older one
    auto [it, made] = removal.try_emplace(e->table);
    if (made) {
      const std::string head = "DELETE FROM " + quoted(main, e->table) +
                               " WHERE \"_object_id\" = ? AND \"_object_version\" ";
      it->second = {main.dialect().with_placeholders(head + "< ?"),
                    main.dialect().with_placeholders(head + "<= ?")};
    }
    const std::vector<Value> params{text(e->object_id), integer(e->version)};
    co_await main.aexecute(e->deleted ? it->second.second : it->second.first, params);
  }
  for (const ClassRows& c : latest)
    if (!c.rows.empty()) co_await main.ainsert_rows(*c.cls, c.rows);
}

namespace {

bool unknown_outcome(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const DatabaseError& e) {
    return e.category() == DatabaseErrorCategory::outcome_unknown;
  } catch (...) {
    return false;
  }
}

// The lakehouse's commit went out and its answer never came: whether it happened is read
// on a fresh connection, once the lost session is gone (until then its commit may still be
// under way). True when it happened; DatabaseError outcome_unknown when that cannot be
// told (the lakehouse unreachable, the session still there after a while).
awaitable<bool> lakehouse_committed(std::optional<std::int64_t> session, std::string save_id,
                                    std::exception_ptr lost) {
  std::optional<Lease> fresh;
  try {
    fresh.emplace(co_await lake());
    if (session) {
      const std::string alive = (*fresh)->dialect().session_alive();
      boost::asio::steady_timer pause(co_await boost::asio::this_coro::executor);
      for (int tries = 0;; ++tries) {
        const std::vector<Value> params{integer(*session)};
        const Rows found = co_await (*fresh)->afetch(alive, params);
        if (found.rows.empty()) break;
        if (tries == 100) std::rethrow_exception(lost);
        pause.expires_after(std::chrono::milliseconds(50));
        co_await pause.async_wait(boost::asio::use_awaitable);
      }
    }
  } catch (const DatabaseError&) {
    std::rethrow_exception(lost);
  }
  const Sql entry{"SELECT 1 FROM \"_velmor_pending\" WHERE save_id = ? LIMIT 1", {text(save_id)}};
  co_return (co_await scalar(**fresh, entry)).has_value();
}

std::atomic<bool> recovery_requested{false};

}  // namespace

void request_recovery() noexcept {
  recovery_requested = true;
}

bool take_recovery_request() noexcept {
  return recovery_requested.exchange(false);
}

awaitable<void> SaveLog::commit(Transaction& lake_part, Transaction& held) const {
  Connection& lake = lake_part.connection();
  std::vector<std::unique_ptr<driver::Operation>> commits;
  commits.push_back(lake.start_commit());
  commits.push_back(held.connection().start_commit());
  const auto both = std::make_shared<driver::Sequence>(std::move(commits));
  const std::shared_ptr<driver::Operation> steps = both;  // (not converted inside the co_await)
  // (No co_await inside a handler: what the handlers decide is done after them.)
  std::exception_ptr failed;
  try {
    co_await driver::arun(steps);
  } catch (...) {
    failed = std::current_exception();
  }
  bool lake_done = both->finished() >= 1;
  if (failed && !lake_done && unknown_outcome(failed)) {
    // Settled on a fresh connection; the default part, still open, follows it.
    if (!co_await lakehouse_committed(lake.session(), id_, failed)) {
      held.rollback();
      throw DatabaseError(
          "The lakehouse's connection was lost during its commit, which did not happen; "
          "nothing was saved",
          lake.alias(), "COMMIT", "", false, DatabaseErrorCategory::connection_lost);
    }
    lake_done = true;
    failed = nullptr;
    try {
      co_await held.acommit();
    } catch (...) {
      failed = std::current_exception();
    }
  }
  if (lake_done) {
    lake_part.committed();
    committed_ = true;
  }
  if (!failed) {
    held.committed();
    // Complete: its entries go with a later save's. (Memory that runs out here leaves
    // them to the replay, which changes nothing.)
    try {
      std::vector<std::string> done{id_};
      give_back(done);
    } catch (...) {
    }
    co_return;
  }
  if (!lake_done) std::rethrow_exception(failed);  // nothing committed
  if (unknown_outcome(failed)) {
    // The default's commit may have happened: taking the lakehouse part back could leave
    // the default database with a version the lakehouse lacks. The replay completes it
    // either way, before the next save.
    held.committed();
    request_recovery();
    std::rethrow_exception(failed);
  }
  held.rollback();
  co_await undo(lake);
  std::rethrow_exception(failed);
}

// Takes back the lakehouse writes of this save after the default database refused them
// (full, read-only, ...), newest first, so a failed save leaves no trace: its versions and
// deletions go, and each object's state is read again from what stays.
awaitable<void> SaveLog::undo(Connection& lake) const {
  co_await lake.abegin();
  Transaction t(lake, Transaction::begun);
  std::map<std::pair<std::string, std::string>, const Entry*> objects;
  for (auto e = entries_.rbegin(); e != entries_.rend(); ++e) {
    objects[{e->class_name, e->object_id}] = &*e;
    const Sql drop =
        e->deleted
            ? Sql{"DELETE FROM \"_velmor_deletions\" WHERE class_name = ? AND object_id = ? AND "
                  "version = ?",
                  {text(e->class_name), text(e->object_id), integer(e->version)}}
            : Sql{"DELETE FROM " + quoted(lake, e->table) +
                      " WHERE \"_object_id\" = ? AND \"_object_version\" = ?",
                  {text(e->object_id), integer(e->version)}};
    co_await run(lake, drop);
  }
  for (const auto& [key, e] : objects) {
    const Sql newest{"SELECT \"_object_version\", \"_saved_at\" FROM " + quoted(lake, e->table) +
                         " WHERE \"_object_id\" = ? ORDER BY \"_object_version\" DESC LIMIT 1",
                     {text(e->object_id)}};
    const Rows found = co_await rows(lake, newest);
    if (found.rows.empty()) {
      const Sql gone{"DELETE FROM \"_velmor_objects\" WHERE class_name = ? AND object_id = ?",
                     {text(e->class_name), text(e->object_id)}};
      co_await run(lake, gone);
      continue;
    }
    const std::int64_t version = driver::integer_of(found.rows[0].at(0), "a version");
    const Sql deletion{
        "SELECT deleted_at FROM \"_velmor_deletions\" WHERE class_name = ? AND object_id = ? "
        "AND version = ?",
        {text(e->class_name), text(e->object_id), integer(version)}};
    const std::optional<Value> deleted_at = co_await scalar(lake, deletion);
    const Sql state{
        "UPDATE \"_velmor_objects\" SET latest_version = ?, deleted = ?, saved_at = ? WHERE "
        "class_name = ? AND object_id = ?",
        {integer(version), integer(deleted_at ? 1 : 0),
         deleted_at ? *deleted_at : found.rows[0].at(1), text(e->class_name),
         text(e->object_id)}};
    co_await run(lake, state);
  }
  const Sql forget = forget_save(id_);
  co_await run(lake, forget);
  co_await t.acommit();
}

awaitable<void> recover_pending() {
  Lease l = co_await lake();
  co_await ensure_store_tables(*l);
  const Sql any{"SELECT 1 FROM \"_velmor_pending\" LIMIT 1", {}};
  if (!co_await scalar(*l, any)) co_return;
  // The locks in the order every save takes them, the lakehouse's first (the other order
  // deadlocks with a save where a writer's lock keeps readers out, as in SQLite's memory
  // databases); a save whose lakehouse part has committed holds the default's until its
  // default part has, so what is read below is what was left behind.
  co_await l->abegin();
  Transaction lake_part(*l, Transaction::begun);
  Lease d = co_await main_db();
  co_await d->abegin();
  Transaction held(*d, Transaction::begun);
  struct Entry {
    std::optional<std::string> save_id;
    std::string table, object_id;
    std::int64_t version;
    bool deleted;
  };
  std::vector<Entry> entries;
  {
    // Versions of one object in the order they were saved, its deletion last.
    const Sql all{
        "SELECT save_id, table_name, object_id, object_version, deleted FROM "
        "\"_velmor_pending\" ORDER BY table_name, object_id, object_version, deleted",
        {}};
    const Rows found = co_await rows(*l, all);
    for (const auto& row : found.rows) {
      const Value& save_id = row.at(0);
      entries.push_back({std::holds_alternative<std::string>(save_id)
                             ? std::optional<std::string>(std::get<std::string>(save_id))
                             : std::nullopt,
                         driver::text_of(row.at(1), "a table name"),
                         driver::text_of(row.at(2), "an object id"),
                         driver::integer_of(row.at(3), "an object version"),
                         driver::integer_of(row.at(4), "a deletion mark") != 0});
    }
  }
  if (entries.empty()) co_return;
  std::vector<std::string> locks;
  for (const Entry& e : entries) locks.push_back(object_lock(e.table, e.object_id));
  co_await lock_names(*d, std::move(locks));
  for (const Entry& e : entries)
    co_await apply_entry(*l, *d, e.table, e.object_id, e.version, e.deleted);
  co_await held.acommit();
  std::vector<std::string> saves;
  bool unnamed = false;
  for (const Entry& e : entries) {
    if (!e.save_id)
      unnamed = true;
    else if (std::find(saves.begin(), saves.end(), *e.save_id) == saves.end())
      saves.push_back(*e.save_id);
  }
  for (const std::string& id : saves) {
    const Sql forget = forget_save(id);
    co_await run(*l, forget);
  }
  // Entries of a log written before saves had ids.
  if (unnamed) {
    const Sql forget{"DELETE FROM \"_velmor_pending\" WHERE save_id IS NULL", {}};
    co_await run(*l, forget);
  }
  co_await lake_part.acommit();
}

}  // namespace velmor_models::backends::store

namespace velmor_models::backends {

void recover_pending_saves() {
  driver::run_sync(store::recover_pending());
}

}  // namespace velmor_models::backends
