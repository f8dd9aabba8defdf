// A short tour: declare a model, store a few records in memory, build query sets and
// read what an executor would run.

#include <boost/json/serialize.hpp>
#include <iostream>

#include "velmor_models/backends/registry.hpp"
#include "velmor_models/querysets/executor.hpp"
#include "velmor_models/querysets/qsetkit.hpp"

using namespace velmor_models::querysets::qsetkit;
using velmor_models::classes::model::CoreTypes;
using velmor_models::classes::model::declare_model;
using velmor_models::querysets::executor::Executor;
using velmor_models::querysets::executor::MemoryStore;

class Customer : public Model {
 public:
  using Model::Model;
  static const ModelClassPtr& declaration() {
    static const ModelClassPtr cls = declare_model<Customer>(
        "Customer", "customers",
        {{"name", CoreTypes::STRING, true, {}}, {"city", CoreTypes::STRING, true, {}},
         {"age", CoreTypes::INTEGER, false, {}}});
    return cls;
  }
};

int main() {
  velmor_models::backends::configure("default", "memory:");
  const char* cities[] = {"Oslo", "Lima", "Oslo", "Kyiv", "Oslo", "Lima"};
  for (int i = 0; i < 6; ++i)
    MemoryStore::instance().insert(
        "default", "customers",
        {boost::json::object{{"name", "customer-" + std::to_string(i)}, {"city", cities[i]},
                             {"age", 20 + 7 * i}},
         std::nullopt});

  const QuerySet<Customer> all;
  auto adults_in_oslo = all.filter({{"city", "Oslo"}, {"age__gte", 21}}).order_by("-age");
  auto page = adults_in_oslo[Slice(0, 2)];
  auto others = all.exclude({{"city", "Oslo"}});

  std::cout << "table:       " << page.table_name() << '\n'
            << "conditions:  " << page.get_conditions() << '\n'
            << "window:      offset " << *page.get_paginator().offset << ", limit "
            << *page.get_paginator().limit << '\n';
  const auto rows = Executor(page).query();
  for (const auto& record : *rows)
    std::cout << "  row:       " << boost::json::serialize(*record.data) << '\n';
  std::cout << "not in Oslo: " << Executor(others).count() << " of " << Executor(all).count()
            << '\n'
            << "source unchanged: " << (all.get_conditions() ? "no" : "yes") << '\n';
}
