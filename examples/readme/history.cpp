// The README's fifth example: a unit of work, and the lakehouse as it was at a time, on
// the embedded SQLite databases that `default` and `lakehouse` open when nothing is
// configured.

#include <chrono>
#include <iostream>
#include <thread>

#include "customer.hpp"
#include "velmor_models/backends/history.hpp"
#include "velmor_models/backends/unit_of_work.hpp"

int main() {
  namespace backends = velmor_models::backends;
  const auto cls = Customer::declaration();
  const auto ann = backends::save_new(cls, {{"name", "Ann"}, {"age", 30}});
  std::this_thread::sleep_for(std::chrono::milliseconds(2));
  // [readme]
  const auto before = std::chrono::system_clock::now();
  backends::UnitOfWork unit;  // all or nothing, across both databases
  unit.save_version(cls, ann, {{"name", "Ann"}, {"age", 31}});
  unit.save_new(cls, {{"name", "Cid"}, {"age", 25}});
  unit.commit();  // or nothing at all when the unit is left without a commit

  auto then = QuerySet<Customer>().using_("lakehouse").as_of(before).execute();  // Ann at 30
  for (const auto& step : backends::history(cls, ann.object_id))  // every version, in order
    std::cout << step.address.object_version << (step.deletion ? " deleted\n" : "\n");
  // [/readme]
  const auto changed = backends::changes_between(cls, ann.object_id, 1, 2);
  const bool ok = then.size() == 1 && then.at(0)->get("age") == 30 &&
                  QuerySet<Customer>().count().execute() == 2 && changed.size() == 1 &&
                  changed[0].field == "age";
  std::cout << (ok ? "history\n" : "unexpected\n");
  return ok ? 0 : 1;
}
