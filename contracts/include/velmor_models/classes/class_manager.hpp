#pragma once
// Resolution of model classes by name.

#include <string_view>

#include "velmor_models/classes/model.hpp"
#include "velmor_utils/errors.hpp"

namespace velmor_models::classes::class_manager {

/// A class name that no registered class has.
class ClassNotFoundError : public velmor_utils::errors::Error {
 public:
  using Error::Error;
};

class ClassManager {
 public:
  /// Makes `cls` resolvable under its name (replacing a class of the same name).
  static void register_class(model::ModelClassPtr cls);
  static void unregister_class(std::string_view name);

  /// The registered class called `class_name`; ClassNotFoundError when there is none.
  model::ModelClassPtr import_class(std::string_view class_name) const;
};

}  // namespace velmor_models::classes::class_manager
