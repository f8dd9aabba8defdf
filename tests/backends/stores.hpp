#pragma once
// The stores the conformance runners run against, by the parameter that names each: a
// store joins every runner by adding its line here.

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <random>
#include <string>
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
/// tests have a server.
inline auto sql_stores() {
  std::vector<std::string> stores{"sqlite::memory:", "file"};
  if (pg_url()) stores.push_back("postgresql");
  return testing::ValuesIn(stores);
}

/// The test name of a store's parameter.
inline std::string store_name(const testing::TestParamInfo<std::string>& info) {
  return info.param == "memory:"           ? "memory"
         : info.param == "sqlite::memory:" ? "sqlite_memory"
         : info.param == "postgresql"      ? "postgresql"
                                           : "sqlite_file";
}

/// The URL a store's parameter names; a file store's database is `file` in `folder`,
/// PostgreSQL's a fresh schema of the test database.
inline std::string store_url(const std::string& param, const TempFolder& folder,
                             const std::string& file) {
  if (param == "postgresql") return fresh_pg_url();
  return param == "file" ? folder.url(file) : param;
}

}  // namespace velmor_test
