#pragma once
// The result window of a query.

#include <cstdint>
#include <optional>

namespace velmor_utils::query::data_models::paginator {

/// `offset` rows are skipped and `limit` rows returned; an absent bound is no bound.
struct NumberPaginator {
  std::optional<std::int64_t> limit;
  std::optional<std::int64_t> offset;

  NumberPaginator model_copy() const { return *this; }
  friend bool operator==(const NumberPaginator&, const NumberPaginator&) = default;
};

}  // namespace velmor_utils::query::data_models::paginator
