#pragma once
// Checks every name and value a query set uses against its model class before any store
// runs it, so that every store refuses the same queries with the same errors.

#include <cstddef>
#include <string_view>

#include "velmor_models/classes/model.hpp"
#include "velmor_models/querysets/executor.hpp"

namespace velmor_models::backends {

/// The declared field `name` of `cls`; an error naming the field, the model and its
/// fields (with a close match suggested) when it has none.
const classes::model::FieldDecl& field_of(const classes::model::ModelClass& cls,
                                          std::string_view name);

/// How deep AND and OR may nest in a condition (a run of NOTs adds nothing): every store
/// evaluates conditions this deep, SQLite's parser included.
inline constexpr std::size_t max_condition_depth = 32;

/// ValueError when `q` nests AND and OR deeper than max_condition_depth. Walks the tree
/// without recursion, so a condition of any depth is refused rather than overflowing.
void check_condition_depth(const velmor_utils::query::Q& q);

/// Refuses a query set that names a field its model does not have (in a filter, the
/// ordering, `only`, `distinct` or `select_related`), applies a lookup to a field of a
/// core type it does not fit, gives a lookup a value it cannot take, or nests its
/// condition too deeply.
void check_query(const querysets::executor::QuerySetReader& qs);

}  // namespace velmor_models::backends
