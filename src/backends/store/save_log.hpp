#pragma once
// The log of saves in flight: how one save stays atomic across two databases that no
// single transaction spans.
//
// A save (1) writes its versions in a lakehouse transaction together with one pending
// entry per object, keyed by the save's own id; (2) before that commits, brings the
// default database to the lakehouse's state for those entries in a default transaction
// (idempotent, never moving an object back); (3) commits the lakehouse, then the default
// database; (4) leaves its entries to a later save's lakehouse transaction, which removes
// them with its own writes (a commit of their own would cost each save a third commit).
// A lock, a full disk or a failed allocation before (3) changes nothing anywhere. A default database that refuses its commit makes the save
// take its lakehouse part back. A process killed after the lakehouse's commit, or a commit
// whose outcome never arrived, leaves entries that `recover_pending_saves` replays.

#include <boost/json/object.hpp>
#include <span>
#include <string>
#include <vector>

#include "backends/store/store_db.hpp"
#include "velmor_models/classes/model.hpp"

namespace velmor_models::backends::store {

class SaveLog {
 public:
  SaveLog();

  /// Notes that the save writes version `version` of object `object_id` of `class_name`
  /// (stored in `table`), or deletes the object.
  void add(std::string class_name, std::string table, std::string object_id,
           std::int64_t version, bool deleted);
  bool empty() const noexcept { return entries_.empty(); }
  /// Step (1)'s part: the entries noted, in the lakehouse transaction, together with the
  /// removal of the entries of a few saves that completed earlier.
  awaitable<void> write(Connection& lake);

  /// The rows of one class that the default database gets.
  struct ClassRows {
    const classes::model::ModelClass* cls;
    std::vector<boost::json::object> rows;
  };
  /// Step (2): the default database brought to the lakehouse's state for this save's
  /// entries, inside the caller's transaction of `main`: each object's older rows removed
  /// (all of them for one the save deleted), then `latest`, the newest version of every
  /// live object of the save as written to the lakehouse, added.
  awaitable<void> apply(Connection& main, std::span<const ClassRows> latest) const;

  /// Steps (3) and (4): commits `lake_part` (the lakehouse's transaction), then `held`
  /// (the default database's), as one operation made before either runs, so that nothing
  /// between the two commits can fail for want of memory. A lakehouse that refuses its
  /// commit leaves nothing saved; one whose answer never came is settled on a fresh
  /// connection (the save's entries are there or not) and the default part follows what
  /// happened. When the default database refuses, the lakehouse part is taken back and
  /// the error rethrown; when the outcome of that commit is unknown, nothing is taken back
  /// (it may have happened), the entries stay and the next save replays them first.
  awaitable<void> commit(Transaction& lake_part, Transaction& held) const;

 private:
  struct Entry {
    std::string class_name, table, object_id;
    std::int64_t version;
    bool deleted;
  };
  awaitable<void> undo(Connection& lake) const;

  std::string id_;
  std::vector<Entry> entries_;
  std::vector<std::string> pruned_;  // completed saves whose entries this one removes
  mutable bool committed_ = false;   // the lakehouse part, with the removal, committed
 public:
  SaveLog(SaveLog&&) noexcept;
  SaveLog& operator=(SaveLog&&) = delete;
  /// Saves whose lakehouse part did not commit hand back the completed saves they were
  /// to remove.
  ~SaveLog();
};

/// Brings the default database to the lakehouse's state for one object of a save: a
/// deletion removes the object's row; a version replaces an older row and is copied from
/// the lakehouse, unless the lakehouse no longer holds it as the object's latest live
/// version (an entry left by a completed save, replayed after later saves of the object:
/// it must not bring back a deleted object); a newer row stays.
awaitable<void> apply_entry(Connection& lake, Connection& main, const std::string& table,
                            const std::string& object_id, std::int64_t version, bool deleted);

/// A save could not tell whether its default part committed: the next save replays the
/// log first, as a process's first save does.
void request_recovery() noexcept;
/// True (once) when a replay was requested since the last call.
bool take_recovery_request() noexcept;

/// The replay of every pending entry (recover_pending_saves).
awaitable<void> recover_pending();

}  // namespace velmor_models::backends::store
