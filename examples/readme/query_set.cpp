// The README's first example: building query sets runs nothing; each step is a new
// query set and the ones before it stay as they were.

#include <iostream>

#include "customer.hpp"

int main() {
  // [readme]
  const QuerySet<Customer> all;                                 // nothing is run
  auto page = all.filter({{"city", "Oslo"}, {"age__gte", 21}})  // AND of named filters
                  .exclude(Q({{"name__startswith", "test"}}))
                  .order_by("-age")[Slice(0, 20)];  // rows 0..19
  auto one = all.get({{"name", "Ann"}});            // QuerySetOneRequired<Customer>
  auto n = all.none().count();                      // QuerySetCount<Customer>
  // [/readme]
  static_assert(std::is_same_v<decltype(one), QuerySetOneRequired<Customer>>);
  static_assert(std::is_same_v<decltype(n), QuerySetCount<Customer>>);
  const bool ok = !all.get_conditions() && page.get_paginator().limit == 20 &&
                  page.get_order_by().size() == 1 && n.is_none() && one.get_conditions();
  std::cout << page.get_conditions() << '\n';
  return ok ? 0 : 1;
}
