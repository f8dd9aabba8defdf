#pragma once
// An empty database of its own for each PostgreSQL test: a fresh schema in the test
// database (VELMOR_PG_URL), made through the library, and a URL whose connections use it.

#include <atomic>
#include <string>
#include <unistd.h>

#include "support/pg_env.hpp"
#include "velmor_models/backends/registry.hpp"

namespace velmor_test {

/// A URL naming a new, empty schema of the test database; empty without a server.
/// `options` are more server settings for its sessions (`-c name=value ...`).
inline std::string fresh_pg_url(const std::string& options = {}) {
  const auto url = pg_url();
  if (!url) return {};
  static std::atomic<int> serial{0};
  std::string schema = "t";  // (appended: g++ 12 warns falsely on "t" + std::string)
  schema += std::to_string(::getpid());
  schema += '_';
  schema += std::to_string(serial++);
  const std::string admin = "velmor_test_admin";
  velmor_models::backends::configure(admin, "postgresql:" + *url + " pool_max=1");
  {
    auto lease = velmor_models::backends::backend_for(admin)->lease();
    lease->execute("CREATE SCHEMA IF NOT EXISTS " + schema);
  }
  return "postgresql:" + *url + " options='-csearch_path=" + schema +
         (options.empty() ? "" : " " + options) + "'";
}

}  // namespace velmor_test
