#pragma once
// The history of a stored object: every version, when it was saved, its deletions, and
// what changed between two versions.

#include <boost/asio/awaitable.hpp>
#include <boost/json/object.hpp>
#include <boost/json/value.hpp>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "velmor_models/classes/model.hpp"
#include "velmor_models/querysets/qsetkit/object_address.hpp"

namespace velmor_models::backends {

/// One step of an object's history: a version as it was saved, or its deletion.
struct HistoryEntry {
  /// The version's address and the time it was saved; for a deletion, the version it
  /// ended and the time of the deletion.
  querysets::qsetkit::ObjectAddress address;
  /// When it happened: microseconds since the Unix epoch, UTC; the earliest time (the
  /// minimum) for a version saved before the store recorded times.
  std::chrono::sys_time<std::chrono::microseconds> at;
  bool deletion = false;
  /// The version's fields as stored (none for a deletion).
  boost::json::object values;
};

/// Every version of the object `object_id` of `cls` in the lakehouse, in order, each
/// deletion after the version it ended (an object may be deleted and saved anew under its
/// id). ObjectDoesNotExistError when the lakehouse holds no version of it.
std::vector<HistoryEntry> history(const classes::model::ModelClassPtr& cls,
                                  std::string_view object_id);
boost::asio::awaitable<std::vector<HistoryEntry>> ahistory(classes::model::ModelClassPtr cls,
                                                           std::string object_id);

/// A field whose value differs between two versions, with both values (null for a field
/// one of them lacks).
struct FieldChange {
  std::string field;
  boost::json::value before;
  boost::json::value after;
  friend bool operator==(const FieldChange&, const FieldChange&) = default;
};

/// The fields whose values differ from version `from` to version `to` of `object_id`, in
/// the order of the class's fields (then any others, by name). ObjectDoesNotExistError
/// when either version is not stored.
std::vector<FieldChange> changes_between(const classes::model::ModelClassPtr& cls,
                                         std::string_view object_id, std::int64_t from,
                                         std::int64_t to);

}  // namespace velmor_models::backends
