#pragma once
// A query that is valid for the model but that a store cannot run (for example a path
// into the framework's reserved `_address` mapping on an SQL store).

#include "velmor_utils/errors.hpp"

namespace velmor_models::backends::sql {

class UnsupportedQueryError : public velmor_utils::errors::ValueError {
 public:
  using ValueError::ValueError;
};

}  // namespace velmor_models::backends::sql
