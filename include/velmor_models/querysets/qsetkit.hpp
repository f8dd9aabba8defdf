#pragma once
// Query sets: lazy, chainable queries over one model class, in four result shapes.
//
// QuerySetBase (the state and the building operations), QuerySet (a list of
// instances), QuerySetOne (one instance or nothing), QuerySetOneRequired (one instance
// or an error) and QuerySetCount (a count).

#include <string_view>

#include "velmor_models/querysets/qsetkit/query_set.hpp"

namespace velmor_models::querysets::qsetkit {

/// The name of this module's logger; no query-set operation writes to it.
inline constexpr std::string_view logger = "velmor_models.querysets.qsetkit";

}  // namespace velmor_models::querysets::qsetkit
