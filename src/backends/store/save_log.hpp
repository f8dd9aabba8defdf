#pragma once
// The log of saves in flight: how one save stays atomic across two databases that no
// single transaction spans.
//
// A save (1) writes its versions in a lakehouse transaction together with one pending
// entry per object, keyed by the save's own id; (2) before that commits, brings the
// default database to the lakehouse's state for those entries in a default transaction
// (idempotent, never moving an object back); (3) commits the lakehouse, then the default
// database; (4) removes its entries. A lock, a full disk or a failed allocation before (3)
// changes nothing anywhere. A default database that refuses its commit makes the save
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

  /// Records, in the lakehouse transaction, that the save writes version `version` of
  /// object `object_id` of `class_name` (stored in `table`), or deletes the object.
  void add(Connection& lake, std::string_view class_name, std::string_view table,
           std::string_view object_id, std::int64_t version, bool deleted);
  bool empty() const noexcept { return entries_.empty(); }

  /// Step (2): the default database brought to the lakehouse's state for this save's
  /// entries, inside the caller's transaction of `main`: deletions done, older versions
  /// removed, and the new versions, `rows` of `cls` as the save wrote them to the
  /// lakehouse, added (with no rows given, they are copied from the lakehouse).
  void apply(Connection& lake, Connection& main, const classes::model::ModelClass* cls = nullptr,
             std::span<const boost::json::object> rows = {}) const;

  /// Steps (3b) and (4) once the lakehouse has committed: commits `held` (the default
  /// database's part). When the default database refuses, the lakehouse part is taken
  /// back and the error rethrown; when the outcome of that commit is unknown, nothing is
  /// taken back (it may have happened) and the entries stay for the replay.
  void complete(Connection& lake, Transaction& held) const;

 private:
  struct Entry {
    std::string class_name, table, object_id;
    std::int64_t version;
    bool deleted;
  };
  void undo(Connection& lake) const;
  void forget(Connection& lake) const noexcept;

  std::string id_;
  std::vector<Entry> entries_;
  std::string insert_;  // the entry's statement in the lakehouse's dialect
};

}  // namespace velmor_models::backends::store
