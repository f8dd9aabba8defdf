#pragma once
// The DatabaseError a call throws, for tests that look at its category and flags.

#include <gtest/gtest.h>

#include "velmor_models/querysets/errors.hpp"

namespace velmor_test {

template <class F>
velmor_models::querysets::errors::DatabaseError database_error_of(F&& f) {
  using velmor_models::querysets::errors::DatabaseError;
  try {
    f();
  } catch (const DatabaseError& e) {
    return e;
  }
  ADD_FAILURE() << "no DatabaseError";
  return DatabaseError("none", "", "", "", true);
}

}  // namespace velmor_test
