#include <iostream>

#include "velmor_models/querysets/qsetkit.hpp"

int main() {
  using namespace velmor_models::querysets::qsetkit;
  auto cls = velmor_models::classes::model::ModelClass::create("Customer", "customers", {});
  auto qs = QuerySet<Model>(cls).filter({{"name", "Ann"}}).order_by("-id")[Slice(0, 5)];
  std::cout << qs.table_name() << ' ' << qs.get_conditions() << '\n';
}
