// The README's third example: storing versioned objects on the embedded SQLite databases
// that `default` and `lakehouse` open when nothing is configured.

#include <iostream>

#include "customer.hpp"
#include "velmor_models/backends/object_store.hpp"

int main() {
  // [readme]
  namespace backends = velmor_models::backends;
  auto a =
      backends::save_new(Customer::declaration(), {{"name", "Ann"}, {"age", 30}});  // version 1
  auto a2 = backends::save_version(Customer::declaration(), a.object_id, 1,
                                   {{"name", "Ann"}, {"age", 31}});  // version 2
  backends::delete_object(Customer::declaration(), a.object_id);     // history stays
  QuerySet<Customer>().using_("lakehouse").latest();                 // newest version of each
  QuerySet<Customer>().using_("lakehouse").filter({{"_address__object_version", 1}});
  // [/readme]
  const QuerySet<Customer> lake = QuerySet<Customer>().using_("lakehouse");
  bool ok = a2.object_version == 2 && QuerySet<Customer>().count().execute() == 0 &&
            lake.count().execute() == 2 && lake.latest().execute().at(0)->name() == "Ann";
  // [readme]
  backends::save_new(Customer::declaration(), {{"name", "Bob"}, {"age", 40}});
  auto bob = QuerySet<Customer>().get({{"name", "Bob"}}).execute();  // knows its address
  try {
    backends::save_version(Customer::declaration(), bob, {{"name", "Bob"}, {"age", 41}});
  } catch (const backends::StaleVersionError& e) {  // a conflict: read again, retry
  }
  // [/readme]
  ok = ok && bob.address()->object_version == 1 &&
       QuerySet<Customer>().get({{"name", "Bob"}}).execute().address()->object_version == 2;
  std::cout << (ok ? "stored\n" : "unexpected\n");
  return ok ? 0 : 1;
}
