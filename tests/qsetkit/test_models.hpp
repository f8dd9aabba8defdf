#pragma once
// Model classes shared by the query-set tests.

#include "velmor_models/classes/model.hpp"

namespace velmor_test {

using velmor_models::classes::model::CoreTypes;
using velmor_models::classes::model::declare_model;
using velmor_models::classes::model::Model;
using velmor_models::classes::model::ModelClassPtr;

/// A model declared as a C++ type, with typed accessors.
class Customer : public Model {
 public:
  using Model::Model;
  static const ModelClassPtr& declaration() {
    static const ModelClassPtr cls = declare_model<Customer>(
        "Customer", "customers",
        {{"name", CoreTypes::STRING, true, {}}, {"age", CoreTypes::INTEGER, false, {}}});
    return cls;
  }
  std::string_view name() const { return get("name").get_string(); }
  std::int64_t age() const { return get("age").as_int64(); }
};

/// A class derived from Customer.
class VipCustomer : public Customer {
 public:
  using Customer::Customer;
  static const ModelClassPtr& declaration() {
    static const ModelClassPtr cls =
        declare_model<VipCustomer>("VipCustomer", "customers", {}, Customer::declaration());
    return cls;
  }
};

}  // namespace velmor_test
