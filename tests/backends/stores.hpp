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

#include "backends/temp_folder.hpp"
#include "velmor_models/backends/backend.hpp"
#include "velmor_models/backends/registry.hpp"
#include "velmor_models/backends/sql/dialect.hpp"

namespace velmor_test {

/// The test server's libpq connection string (scripts/pg_cluster.sh sets it); empty when
/// there is none, and the PostgreSQL instances are left out.
inline std::string postgres_test_url() {
  const char* url = std::getenv("VELMOR_PG_URL");
  return url ? url : "";
}

/// Every store: the in-memory reference store, SQLite in memory and on a file, and
/// PostgreSQL when a test server is given.
inline auto every_store() {
  std::vector<std::string> stores{"memory:", "sqlite::memory:", "file"};
  if (!postgres_test_url().empty()) stores.emplace_back("postgresql");
  return testing::ValuesIn(stores);
}
/// The stores that hold the versioned object store (SQL stores).
inline auto sql_stores() {
  return testing::Values(std::string("sqlite::memory:"), std::string("file"));
}

/// The test name of a store's parameter.
inline std::string store_name(const testing::TestParamInfo<std::string>& info) {
  return info.param == "memory:"           ? "memory"
         : info.param == "sqlite::memory:" ? "sqlite_memory"
         : info.param == "postgresql"      ? "postgresql"
                                           : "sqlite_file";
}

/// A new empty schema on the test server, made through the library (an alias of its own),
/// and the URL of a store whose connections work in it alone (velmor_casefold is installed
/// there when the store opens). Names are unique across the processes ctest runs at once;
/// the throwaway server goes with its schemas.
inline std::string fresh_postgres_schema_url() {
  namespace backends = velmor_models::backends;
  static const std::string prefix = "velmor_test_" + std::to_string(::getpid()) + "_" +
                                    std::to_string(std::random_device()()) + "_";
  static std::atomic<int> serial{0};
  const std::string schema = prefix + std::to_string(serial++);
  const std::string base = "postgresql:" + postgres_test_url();
  backends::configure("velmor_test_schemas", base);
  const auto backend = backends::backend_for("velmor_test_schemas");
  std::string create = "CREATE SCHEMA ";
  backend->dialect()->quote_identifier(create, schema);
  backend->lease()->execute(create, {});
  // Letters, digits and _ only: nothing to quote inside the option.
  return base + " options='-csearch_path=" + schema + "'";
}

/// The URL a store's parameter names; a file store's database is `file` in `folder`, a
/// PostgreSQL store's database a schema of its own.
inline std::string store_url(const std::string& param, const TempFolder& folder,
                             const std::string& file) {
  if (param == "postgresql") return fresh_postgres_schema_url();
  return param == "file" ? folder.url(file) : param;
}

}  // namespace velmor_test
