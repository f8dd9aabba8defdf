#pragma once
// Field selection of a query.

#include <string>
#include <vector>

namespace velmor_utils::query::data_models::query_specifier {

/// `only`: fields to load (empty = all); `distinct`: fields on which results are made
/// distinct (empty = none).
struct QuerySpecifier {
  std::vector<std::string> only;
  std::vector<std::string> distinct;

  /// An independent copy; the lists are values, so a copy is always deep.
  QuerySpecifier model_copy(bool deep = false) const {
    (void)deep;
    return *this;
  }
  friend bool operator==(const QuerySpecifier&, const QuerySpecifier&) = default;
};

}  // namespace velmor_utils::query::data_models::query_specifier
