#pragma once
// The stores the conformance runners run against, by the parameter that names each: a
// store joins every runner by adding its line here.

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "backends/pg_schema.hpp"
#include "backends/temp_folder.hpp"
#include "velmor_models/backends/backend.hpp"
#include "velmor_models/backends/registry.hpp"
#include "velmor_models/backends/sql/dialect.hpp"

namespace velmor_test {

/// Every store: the in-memory reference store, SQLite in memory and on a file, and
/// PostgreSQL when a test server is given.
inline auto every_store() {
  std::vector<std::string> stores{"memory:", "sqlite::memory:", "file"};
  if (pg_url()) stores.emplace_back("postgresql");
  return testing::ValuesIn(stores);
}
/// The stores that hold the versioned object store (SQL stores); PostgreSQL when the
/// tests have a server: `postgresql` puts the two aliases in two schemas of one database
/// (a save is one transaction), `postgresql_two` in two databases (a save needs its log).
inline auto sql_stores() {
  std::vector<std::string> stores{"sqlite::memory:", "file"};
  if (pg_url()) {
    stores.push_back("postgresql");
    stores.push_back("postgresql_two");
  }
  return testing::ValuesIn(stores);
}

/// The test name of a store's parameter.
inline std::string store_name(const testing::TestParamInfo<std::string>& info) {
  return info.param == "memory:"           ? "memory"
         : info.param == "sqlite::memory:" ? "sqlite_memory"
         : info.param == "postgresql"      ? "postgresql"
         : info.param == "postgresql_two"  ? "postgresql_two_databases"
                                           : "sqlite_file";
}

/// The URL a store's parameter names; a file store's database is `file` in `folder`,
/// PostgreSQL's a fresh schema of the test database.
inline std::string store_url(const std::string& param, const TempFolder& folder,
                             const std::string& file) {
  if (param == "postgresql" || param == "postgresql_two") return fresh_pg_url();
  return param == "file" ? folder.url(file) : param;
}

/// Maps `default` and `lakehouse` to fresh databases of a store of `sql_stores()` (the
/// framework's own in-memory ones for SQLite in memory); `n` tells apart several pairs.
/// Their URLs, in that order (none for SQLite in memory).
inline std::pair<std::string, std::string> configure_store_aliases(const std::string& param,
                                                                   const TempFolder& folder,
                                                                   const std::string& n = {}) {
  namespace backends = velmor_models::backends;
  if (param == "sqlite::memory:") return {};
  std::pair<std::string, std::string> urls{
      store_url(param, folder, "default" + n + ".db"),
      param == "postgresql_two" ? fresh_pg_url({}, true)
                                : store_url(param, folder, "lake" + n + ".db")};
  backends::configure("default", urls.first);
  backends::configure("lakehouse", urls.second);
  return urls;
}

}  // namespace velmor_test
