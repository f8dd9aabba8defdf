#pragma once
// The model of the README's examples.

// [readme]
#include "velmor_models/querysets/qsetkit.hpp"
using namespace velmor_models::querysets::qsetkit;
using velmor_models::classes::model::CoreTypes;
using velmor_models::classes::model::declare_model;

class Customer : public Model {  // a model declared as a C++ type
 public:
  using Model::Model;
  static const ModelClassPtr& declaration() {
    static const ModelClassPtr cls =
        declare_model<Customer>("Customer", "customers",
                                {{"name", CoreTypes::STRING, true, {}},
                                 {"city", CoreTypes::STRING, false, {}},
                                 {"age", CoreTypes::INTEGER, false, {}}});
    return cls;
  }
  std::string_view name() const { return get("name").get_string(); }
};
// [/readme]
