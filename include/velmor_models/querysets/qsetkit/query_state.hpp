#pragma once
// What a query set's copy carries: the query itself.

#include <boost/json/object.hpp>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "velmor_data/aliases/using.hpp"
#include "velmor_models/querysets/executor.hpp"
#include "velmor_models/querysets/qsetkit/detail/cow.hpp"

namespace velmor_models::querysets::qsetkit {

/// The query state of a query set, copied as a whole by every copy (`_copy`,
/// `_from_queryset` and the C++ copy alike). A field added here is carried everywhere.
///
/// The parts that are not plain values are shared between copies until one side
/// changes them; conditions are immutable shared trees.
struct QueryState {
  executor::NumberPaginator paginator;
  detail::Cow<std::vector<executor::OrderBy>> order_by;
  detail::Cow<executor::QuerySpecifier> query_specifier;
  executor::Q conditions;  ///< the empty condition stands for none
  std::string using_{velmor_data::aliases::using_::DEFAULT_DB_ALIAS};
  detail::Cow<executor::SelectRelated> select_related;  ///< false until select_related()
  detail::Cow<boost::json::object> annotations;
  bool is_none = false;  ///< set by none(): execution yields nothing and runs no executor
  /// set by as_of(): microseconds since the Unix epoch, UTC
  std::optional<std::int64_t> as_of;
};

}  // namespace velmor_models::querysets::qsetkit
