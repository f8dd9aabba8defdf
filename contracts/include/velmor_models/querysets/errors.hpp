#pragma once
// Error kinds raised by query sets.

#include <stdexcept>

namespace velmor_models::querysets::errors {

class ObjectDoesNotExistError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class MultipleObjectsReturnedError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class BulkOperationError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace velmor_models::querysets::errors
