#pragma once
// An empty database of its own for each PostgreSQL test: a fresh schema in the test
// database (VELMOR_PG_URL), made through the library, and a URL whose connections use it
// (velmor_casefold is installed there when the store opens). The throwaway server goes
// with its schemas.

#include <unistd.h>

#include <atomic>
#include <random>
#include <string>

#include "support/pg_env.hpp"
#include "velmor_models/backends/registry.hpp"
#include "velmor_models/backends/sql/dialect.hpp"

namespace velmor_test {

/// A second database on the test server (made once), for what two databases (or two
/// servers) do that two schemas of one do not.
inline const std::string& second_pg_database() {
  namespace backends = velmor_models::backends;
  static const std::string name = [] {
    const std::string db = "velmor_test_second";
    backends::configure("velmor_test_admin", "postgresql:" + *pg_url() + " pool_max=1");
    auto lease = backends::backend_for("velmor_test_admin")->lease();
    if (lease->fetch("SELECT 1 FROM pg_database WHERE datname = $1", {db}).rows.empty()) {
      try {
        lease->execute("CREATE DATABASE " + db, {});
      } catch (const std::exception&) {  // made by another test process meanwhile
      }
    }
    return db;
  }();
  return name;
}

/// A URL naming a new, empty schema of the test database (or of the second one); empty
/// without a server. `options` are more server settings for its sessions
/// (`-c name=value ...`).
inline std::string fresh_pg_url(const std::string& options = {}, bool second_database = false) {
  namespace backends = velmor_models::backends;
  const auto test_url = pg_url();
  if (!test_url) return {};
  const std::string url =
      second_database ? *test_url + " dbname=" + second_pg_database() : *test_url;
  // Unique across the processes ctest runs at once and across runs on one server.
  static const std::string prefix = [] {
    std::string p = "velmor_test_";  // (appended: g++ 12 warns falsely on "..." + std::string)
    p += std::to_string(::getpid());
    p += '_';
    p += std::to_string(std::random_device()());
    p += '_';
    return p;
  }();
  static std::atomic<int> serial{0};
  const std::string schema = prefix + std::to_string(serial++);
  const std::string base = "postgresql:" + url;
  backends::configure("velmor_test_admin", base + " pool_max=1");
  const auto admin = backends::backend_for("velmor_test_admin");
  std::string create = "CREATE SCHEMA ";
  admin->dialect()->quote_identifier(create, schema);
  admin->lease()->execute(create, {});
  // Letters, digits and _ only: nothing to quote inside the option.
  return base + " options='-csearch_path=" + schema + (options.empty() ? "" : " " + options) +
         "'";
}

}  // namespace velmor_test
