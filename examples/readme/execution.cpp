// The README's second example: executing query sets, synchronously and as coroutines,
// on the embedded SQLite database that the default alias opens when nothing is configured.

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <iostream>

#include "customer.hpp"
#include "velmor_models/backends/tables.hpp"
#include "velmor_utils/utils/decorators.hpp"

namespace decorators = velmor_utils::utils::decorators;

namespace {

void store(std::string_view name, std::string_view city, int age) {
  const boost::json::object record{{"name", name}, {"city", city}, {"age", age}};
  velmor_models::backends::insert_records("default", *Customer::declaration(), {&record, 1});
}

bool run_synchronously() {
  const QuerySet<Customer> all;
  auto page = all.filter({{"city", "Oslo"}, {"age__gte", 21}}).order_by("-age")[Slice(0, 20)];
  auto one = all.get({{"name", "Ann"}});
  auto n = all.none().count();
  // [readme]
  std::vector<Instance<Customer>> customers = page.execute();  // sync_mode_only
  for (auto& c : customers)
    if (c.is_current()) std::cout << c->name() << '\n';  // typed, no casts
  Instance<Customer> ann = one.execute();                // or ObjectDoesNotExistError
  std::int64_t none = n.execute();                       // 0, no executor made
  // [/readme]
  return customers.size() == 2 && ann->name() == "Ann" && none == 0;
}

// [readme]
// in asynchronous mode, inside a coroutine:
boost::asio::awaitable<std::optional<Instance<Customer>>> find_bo() {
  const QuerySet<Customer> all;
  // where(...) rather than {{...}}: g++ 12 refuses braced lists inside a co_await expression.
  co_return co_await all.get_or_none(where("name", "Bo")).aexecute();
}
// [/readme]

}  // namespace

int main() {
  velmor_models::backends::create_table("default", *Customer::declaration());
  store("Ann", "Oslo", 34);
  store("Bo", "Oslo", 25);
  store("Cy", "Lima", 40);
  bool ok = run_synchronously();

  decorators::ModeScope async(decorators::Mode::async);
  boost::asio::io_context loop;
  std::optional<Instance<Customer>> bo;
  boost::asio::co_spawn(
      loop, [&]() -> boost::asio::awaitable<void> { bo = co_await find_bo(); },
      boost::asio::detached);
  loop.run();
  ok = ok && bo && (*bo)->name() == "Bo";
  std::cout << (ok ? "ok" : "unexpected results") << '\n';
  return ok ? 0 : 1;
}
