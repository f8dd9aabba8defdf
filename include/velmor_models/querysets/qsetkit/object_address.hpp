#pragma once
// Where a stored object lives, as its stored record tells.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "velmor_models/classes/model.hpp"

namespace velmor_models::querysets::qsetkit {

/// Where a saved object lives: its class name and the class-schema version it was saved
/// under, its object id (text) and its object version (1, 2, ...), and when that version
/// was saved (to the microsecond, UTC; none for a version saved before times were kept).
/// Equal addresses name the same version saved at the same time.
struct ObjectAddress {
  std::string class_name;
  std::int64_t class_version = 0;
  std::string object_id;
  std::int64_t object_version = 0;
  std::optional<std::chrono::sys_time<std::chrono::microseconds>> saved_at = std::nullopt;
  friend bool operator==(const ObjectAddress&, const ObjectAddress&) = default;
};

/// The address in the `_metadata` of `obj` (as text or as a mapping): the object id, the
/// object version, the class schema reference's class name and version, and `saved_at`
/// (an integer of microseconds since the epoch; nullopt when absent). nullopt when the
/// object carries no complete address (a record of a plain table, or one that was not
/// saved by the object store).
std::optional<ObjectAddress> address_of(const classes::model::Model& obj);

}  // namespace velmor_models::querysets::qsetkit
