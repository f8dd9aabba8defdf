// The README's fourth example: one PostgreSQL primary for the framework's two databases
// and an alias of its standbys for reports. Runs on the servers of scripts/pg_cluster.sh
// (VELMOR_PG_URL, VELMOR_PG_STANDBY_URL); without them it says so and is skipped.

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>

#include "customer.hpp"
#include "velmor_models/backends/object_store.hpp"
#include "velmor_models/backends/registry.hpp"
#include "velmor_models/backends/tables.hpp"

using velmor_models::querysets::errors::DatabaseError;
using velmor_models::querysets::errors::DatabaseErrorCategory;

// [readme]
// `primary` and `standbys` are libpq addresses, e.g. "host=db-main user=app" and
// "host=db-replica-1,db-replica-2 user=app".
void configure_databases(const std::string& primary, const std::string& standbys) {
  namespace backends = velmor_models::backends;
  backends::configure("default", "postgresql:" + primary + " dbname=shop");
  backends::configure("lakehouse", "postgresql:" + primary + " dbname=shop_history");
  // Whichever of the standbys answers (libpq chooses); writes through it are refused.
  backends::configure("reporting",
                      "postgresql:" + standbys + " dbname=shop target_session_attrs=read-only");
}
// [/readme]

// Waits (30 s at most) until `qs` counts `n` rows on its alias.
bool replicated(const QuerySet<Customer>& qs, std::int64_t n) {
  for (int i = 0; i < 3000; ++i) {
    try {
      if (qs.count().execute() == n) return true;
    } catch (const DatabaseError&) {  // the table itself may not be there yet
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

int main() {
  namespace backends = velmor_models::backends;
  const char* primary = std::getenv("VELMOR_PG_URL");
  const char* standby = std::getenv("VELMOR_PG_STANDBY_URL");
  if (!primary || !*primary || !standby || !*standby) {
    std::cout << "skipped: VELMOR_PG_URL and VELMOR_PG_STANDBY_URL are not set\n";
    return 77;
  }
  // The example's two databases, made anew on the primary (the standby follows).
  backends::configure("setup", std::string("postgresql:") + primary);
  for (const char* db : {"shop", "shop_history"}) {
    auto lease = backends::backend_for("setup")->lease();
    lease->execute(std::string("DROP DATABASE IF EXISTS ") + db + " WITH (FORCE)");
    lease->execute(std::string("CREATE DATABASE ") + db);
  }
  configure_databases(primary, standby);
  // A first save makes the tables; the standby has them once it has replayed it.
  backends::save_new(Customer::declaration(), {{"name", "Bo"}, {"age", 20}});
  if (!replicated(QuerySet<Customer>().using_("reporting"), 1)) return 1;
  bool ok = true;
  // [readme]
  backends::save_new(Customer::declaration(), {{"name", "Cy"}, {"age", 52}});
  auto reports = QuerySet<Customer>().using_("reporting").filter({{"age__gte", 50}});
  auto seen = reports.count().execute();  // 0 or 1: the standby may not have it yet
  try {
    backends::create_table("reporting", *Customer::declaration(), {});
  } catch (const DatabaseError& e) {  // "... the alias names a read-only server ..."
    ok = e.category() == DatabaseErrorCategory::read_only;
  }
  // [/readme]
  ok = ok && seen <= 1 && replicated(reports, 1);
  std::cout << (ok ? "replicated\n" : "unexpected\n");
  backends::reset();
  return ok ? 0 : 1;
}
