#pragma once
// Where the stores keep the history beside every version of an object: when it was saved,
// and which objects were deleted when. Query sets read it as of a time (`as_of`).

#include <cstdint>
#include <limits>
#include <string_view>

namespace velmor_models::backends {

/// The address column of when a version was saved: microseconds since the Unix epoch,
/// UTC. NULL in rows written before save times were kept, which count as saved at the
/// earliest time, `earliest_saved_at`, wherever the column is compared, ordered or
/// grouped (every store alike).
inline constexpr std::string_view saved_at_column = "_saved_at";
inline constexpr std::int64_t earliest_saved_at = std::numeric_limits<std::int64_t>::min();

/// The lakehouse table of deletions: `class_name` TEXT, `object_id` TEXT, `version`
/// INTEGER (the object's latest version when it was deleted), `deleted_at` INTEGER
/// (microseconds since the epoch, UTC). An object saved again under its id continues its
/// versions, so a deletion hides the versions up to its own.
inline constexpr std::string_view deletions_table = "_velmor_deletions";

}  // namespace velmor_models::backends
