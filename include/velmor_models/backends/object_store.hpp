#pragma once
// The store of versioned objects: the write path of the application.
//
// Every stored object has an address: its class name and the class-schema version it
// was saved under, its object id (text) and its object version (1, 2, ...). The
// `default` database holds each live object's latest version (one row per object); the
// `lakehouse` database holds every version and the history of deleted objects. Both
// must be SQL stores (SQLite, PostgreSQL: any URL `configure` accepts, or the in-memory
// defaults); two schemas of one PostgreSQL database make a save one transaction.
//
// Table layout, in both databases: the table of the model class (`table_name()`), one
// column per declared field, `_metadata` (JSON: object_id, class_schema_reference), and
// the address columns `_object_id` TEXT, `_object_version` INTEGER, `_class_version`
// INTEGER, indexed. The address columns are not fields: the `_address__...` filters read
// them. See docs/object_store.md for the versions, the compatibility rule and how one
// save stays atomic across the two databases.

#include <boost/asio/awaitable.hpp>
#include <boost/json/object.hpp>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "velmor_models/classes/model.hpp"
#include "velmor_models/querysets/errors.hpp"
#include "velmor_models/querysets/qsetkit/instance.hpp"

namespace velmor_models::querysets::qsetkit {
class QuerySetCore;
}

namespace velmor_models::backends {

using querysets::qsetkit::ObjectAddress;

/// A new version was based on a version that is no longer the object's latest (another
/// writer saved one first), or the object was deleted: nothing was written. A conflict:
/// reading the object again and retrying is safe.
class StaleVersionError : public querysets::errors::DatabaseError {
 public:
  explicit StaleVersionError(const std::string& message);
};

/// Registers `cls` with the store: creates its tables (default and lakehouse) unless they
/// exist and records its ObjectSchema in the lakehouse. The first registration of a class
/// name gets class version 1; a schema that differs from the latest recorded one gets the
/// next version; the same schema keeps its version. Returns the class version. Updates
/// the process-wide cache that the historical schema version managers read.
std::int64_t register_model_class(const classes::model::ModelClassPtr& cls);

/// The latest class-schema version recorded for `class_name`, from the process-wide cache
/// (filled from the lakehouse once per class name; no query per call); nullopt when the
/// class was never registered.
std::optional<std::int64_t> latest_class_version(std::string_view class_name);

/// The class-schema versions of `class_name` that rows stored under `class_version` are
/// compatible with (always including `class_version` itself). A newer schema is
/// compatible with an older one when every old field is still there with the same core
/// type and every new field is optional or has a default.
std::vector<std::int64_t> compatible_class_versions(std::string_view class_name,
                                                    std::int64_t class_version);

/// Saves a new object of the registered class `cls` (registered on first use): the values
/// are validated by the class (ValidationError, nothing written) and stored as version 1,
/// under `object_id` or a generated one. An id in use by a live object is a ValueError;
/// the id of a deleted object starts it anew, its versions continuing after the deletion
/// (history.hpp). Every version records when it was saved (the address column
/// `_saved_at` and `_metadata`'s `saved_at`: microseconds since the Unix epoch, UTC, from
/// the lakehouse's clock, never before the object's previous change).
ObjectAddress save_new(const classes::model::ModelClassPtr& cls, const boost::json::object& values,
                       std::optional<std::string> object_id = std::nullopt);

/// Saves many new objects at once, all or none (one transaction per database). An entry
/// may give its id as "_object_id" (text); the others get generated ids.
std::vector<ObjectAddress> save_new_batch(const classes::model::ModelClassPtr& cls,
                                          std::span<const boost::json::object> values);

/// Saves version `base_version + 1` of the object `object_id` with `values` (validated
/// first). StaleVersionError when `base_version` is not the object's latest version or
/// the object was deleted; ObjectDoesNotExistError when there is no such object.
ObjectAddress save_version(const classes::model::ModelClassPtr& cls, std::string_view object_id,
                           std::int64_t base_version, const boost::json::object& values);

/// Saves the version after `base` (the address of the version read, as
/// `Instance::address()` gives it), as above. ValueError when `base` is an address of
/// another class.
ObjectAddress save_version(const classes::model::ModelClassPtr& cls, const ObjectAddress& base,
                           const boost::json::object& values);

/// The address of a stored instance; ValueError when it carries none (it was not read
/// from the object store).
ObjectAddress stored_address(const std::optional<ObjectAddress>& address);

/// Saves the version after the one that the instance `base` was read as, so that a
/// read-modify-write needs no look into `_metadata`.
template <class M>
ObjectAddress save_version(const classes::model::ModelClassPtr& cls,
                           const querysets::qsetkit::Instance<M>& base,
                           const boost::json::object& values) {
  return save_version(cls, stored_address(base.address()), values);
}

/// Deletes the object `object_id`: its row leaves the default database; its versions stay
/// in the lakehouse, and the deletion is recorded with its time. ObjectDoesNotExistError
/// when no live object has that id. Several changes at once: unit_of_work.hpp.
void delete_object(const classes::model::ModelClassPtr& cls, std::string_view object_id);

/// Saves a new version of every object the query set selects (run on the default
/// database), with the fields of `changes` replacing the stored ones. First calls
/// `qs._check_type(changes)` (BulkOperationError for an object of another class).
/// Atomic: when one object's new values are refused (ValidationError) or a database
/// refuses the writes (DatabaseError), no object gets a new version. Returns the number
/// of objects updated (none for a query set marked by `none()`).
std::int64_t bulk_update(const querysets::qsetkit::QuerySetCore& qs,
                         const classes::model::Model& changes);

// Coroutine forms. Each does what its synchronous twin does, on a worker thread (the
// caller's event loop never waits on a database), and resumes on the caller's executor;
// it owns what it needs from the call on, and its errors surface when awaited. Cancelled
// before it has begun, it writes nothing (operation_aborted); once begun it runs to its
// end, all or nothing, and its outcome is the result.

boost::asio::awaitable<std::int64_t> aregister_model_class(classes::model::ModelClassPtr cls);
boost::asio::awaitable<ObjectAddress> asave_new(
    classes::model::ModelClassPtr cls, boost::json::object values,
    std::optional<std::string> object_id = std::nullopt);
boost::asio::awaitable<std::vector<ObjectAddress>> asave_new_batch(
    classes::model::ModelClassPtr cls, std::vector<boost::json::object> values);
boost::asio::awaitable<ObjectAddress> asave_version(classes::model::ModelClassPtr cls,
                                                    std::string object_id,
                                                    std::int64_t base_version,
                                                    boost::json::object values);
/// `base` as `Instance::address()` gives it; ValueError (when awaited) for none.
boost::asio::awaitable<ObjectAddress> asave_version(classes::model::ModelClassPtr cls,
                                                    std::optional<ObjectAddress> base,
                                                    boost::json::object values);
template <class M>
boost::asio::awaitable<ObjectAddress> asave_version(classes::model::ModelClassPtr cls,
                                                    const querysets::qsetkit::Instance<M>& base,
                                                    boost::json::object values) {
  return asave_version(std::move(cls), base.address(), std::move(values));
}
boost::asio::awaitable<void> adelete_object(classes::model::ModelClassPtr cls,
                                            std::string object_id);
/// `qs._check_type(changes)` runs at the call; the query set and `changes` are copied.
boost::asio::awaitable<std::int64_t> abulk_update(const querysets::qsetkit::QuerySetCore& qs,
                                                  const classes::model::Model& changes);

/// Brings the default database in line with the lakehouse after an interrupted save (a
/// process killed between the two commits). Runs on its own before the first save of a
/// process and again after the configuration replaced either database; callable at any
/// time.
void recover_pending_saves();

/// Forgets the cached class versions; `configure` of a framework alias and `reset` do it.
void clear_class_version_cache();

}  // namespace velmor_models::backends
