#pragma once
// A unit of work: saves of any classes (new objects, new versions, deletions, bulk
// updates) committed together, all or none, across the `default` database and the
// `lakehouse` (object_store.hpp).

#include <boost/asio/awaitable.hpp>
#include <boost/json/object.hpp>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "velmor_models/backends/object_store.hpp"

namespace velmor_models::backends {

/// Holds changes and commits them together: every change or none, with the guarantees of
/// one save (a process killed, a database full, read-only or locked, memory that runs out:
/// nothing half written). A change's values are validated when it is added (the error is
/// raised there and the unit keeps what it held); everything else is checked when the unit
/// commits. A stale base version anywhere refuses the whole unit with a StaleVersionError
/// naming the object, and nothing is written.
///
/// Nothing is written before the commit: a unit left without one (destroyed, or its commit
/// failed) leaves the databases as they were, and queries (a bulk update's selection
/// included) see the databases, not the unit's changes. Many new objects of one class in
/// a row are saved as one batch.
///
/// One thread uses a unit at a time (a call from a second thread meanwhile is a
/// ValueError, and changes nothing); a unit commits once, and is of no use afterwards
/// (ValueError).
class UnitOfWork {
 public:
  UnitOfWork();
  ~UnitOfWork();
  UnitOfWork(const UnitOfWork&) = delete;
  UnitOfWork& operator=(const UnitOfWork&) = delete;

  /// A new object (as save_new): `object_id`, or one made for it. An id in use is a
  /// ValueError when the unit commits; the id of a deleted object starts it anew, its
  /// versions continuing after the deletion.
  void save_new(const classes::model::ModelClassPtr& cls, const boost::json::object& values,
                std::optional<std::string> object_id = std::nullopt);
  /// New objects (as save_new_batch).
  void save_new_batch(const classes::model::ModelClassPtr& cls,
                      std::span<const boost::json::object> values);
  /// The version after `base_version` of `object_id` (as save_version).
  void save_version(const classes::model::ModelClassPtr& cls, std::string_view object_id,
                    std::int64_t base_version, const boost::json::object& values);
  void save_version(const classes::model::ModelClassPtr& cls, const ObjectAddress& base,
                    const boost::json::object& values);
  template <class M>
  void save_version(const classes::model::ModelClassPtr& cls,
                    const querysets::qsetkit::Instance<M>& base,
                    const boost::json::object& values) {
    save_version(cls, stored_address(base.address()), values);
  }
  /// Deletes `object_id` (as delete_object).
  void delete_object(const classes::model::ModelClassPtr& cls, std::string_view object_id);
  /// A new version of every object `qs` selects when the unit commits (as bulk_update;
  /// `qs._check_type(changes)` runs here, and the query set and `changes` are copied).
  void bulk_update(const querysets::qsetkit::QuerySetCore& qs,
                   const classes::model::Model& changes);

  /// The changes held.
  std::size_t size() const;

  /// Writes every change, all or none. The addresses of the versions saved, in the order of
  /// the changes (a bulk update's objects in the order of their ids; a deletion saves none).
  std::vector<ObjectAddress> commit();
  /// The same without blocking the caller's event loop. The unit's changes go with the
  /// awaitable from the call on (the unit counts as committed then).
  boost::asio::awaitable<std::vector<ObjectAddress>> acommit();

  struct State;

 private:
  std::unique_ptr<State> state_;
};

}  // namespace velmor_models::backends
