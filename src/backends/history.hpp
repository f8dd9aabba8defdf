#pragma once
// The history the stores keep beside every version of an object: when it was saved.

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

}  // namespace velmor_models::backends
