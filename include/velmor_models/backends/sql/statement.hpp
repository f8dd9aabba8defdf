#pragma once
// A compiled query: SQL text, the values bound to its placeholders, and how to decode
// the columns it returns.

#include <boost/json/value.hpp>
#include <string>
#include <vector>

#include "velmor_utils/models/data_models/enums.hpp"

namespace velmor_models::backends::sql {

class Dialect;  // dialect.hpp

using CoreTypes = velmor_utils::models::data_models::enums::CoreTypes;

/// One column of the result, in select order: the record key it fills and the core type
/// its value decodes to (`_metadata` is text).
struct ResultColumn {
  std::string name;
  CoreTypes type = CoreTypes::STRING;
  friend bool operator==(const ResultColumn&, const ResultColumn&) = default;
};

struct Statement {
  std::string text;                         ///< SQL with the dialect's placeholders
  std::vector<boost::json::value> params;   ///< bound values, in placeholder order
  std::vector<ResultColumn> columns;        ///< empty for a count
  friend bool operator==(const Statement&, const Statement&) = default;
};

}  // namespace velmor_models::backends::sql
