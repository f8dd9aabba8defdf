#pragma once
// What a save writes, as changes (new objects, a new version, a deletion, a bulk update),
// and the one way changes are written: all of them or none, in one save (save_log.hpp).
// Every operation of the store, and a unit of work, is a list of changes.

#include <boost/json/object.hpp>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "backends/store/store_db.hpp"
#include "velmor_models/classes/model.hpp"
#include "velmor_models/querysets/executor.hpp"
#include "velmor_models/querysets/qsetkit/object_address.hpp"

namespace velmor_models::backends::store {

using querysets::qsetkit::ObjectAddress;

struct Change {
  enum class Kind { create, version, deletion, update };
  Kind kind = Kind::create;
  classes::model::ModelClassPtr cls;
  /// create: one validated row per object, its id (given or made) under `_object_id`;
  /// version: the one validated row.
  std::vector<boost::json::object> rows;
  std::string object_id;          ///< version, deletion
  std::int64_t base_version = 0;  ///< version
  std::shared_ptr<const querysets::executor::QuerySetReader> query;  ///< update
  std::shared_ptr<const classes::model::Model> changes;              ///< update
};

/// New objects of `cls`, their values validated now (ValidationError; ValueError for an
/// undeclared field; TypeError for an `_object_id` that is not non-empty text).
Change created(const classes::model::ModelClassPtr& cls,
               std::span<const boost::json::object> values);
/// The version after `base_version` of `object_id`, its values validated now.
Change new_version(const classes::model::ModelClassPtr& cls, std::string object_id,
                   std::int64_t base_version, const boost::json::object& values);
Change deletion(const classes::model::ModelClassPtr& cls, std::string object_id);
/// A bulk update of what `query` selects (its class checked by the caller).
Change update(std::shared_ptr<const querysets::executor::QuerySetReader> query,
              const classes::model::Model& changes);

/// Writes `changes`, all or none, as one save: the addresses of the versions saved, in
/// the order of the changes.
awaitable<std::vector<ObjectAddress>> write_changes(
    std::shared_ptr<const std::vector<Change>> changes);

}  // namespace velmor_models::backends::store
