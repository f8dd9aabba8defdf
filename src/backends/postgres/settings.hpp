#pragma once
// What the PostgreSQL store reads from its URL: libpq's connection parameters, handed to
// libpq whole, and the store's own (the pool's bounds and timings, the statement cache),
// taken out first because libpq refuses parameters it does not know.

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "velmor_models/backends/database_url.hpp"

namespace velmor_models::backends::postgres {

/// Columns of tables that hold values of any type as jsonb (a field whose core type
/// changed), as the object store learns them: inserts write JSON there. Shared by the
/// connections of one store.
struct WidenedColumns {
  std::mutex mutex;
  std::map<std::string, std::vector<std::string>, std::less<>> by_table;
};

struct Settings {
  std::string alias;
  std::string url;  ///< as configured with the password masked, for messages
  /// libpq's keywords and values in order: the connection string first (as `dbname`, which
  /// libpq expands), then what a key=value string was given after '?'.
  std::vector<std::pair<std::string, std::string>> libpq;
  std::size_t pool_min = 0;
  std::size_t pool_max = 8;
  std::chrono::milliseconds acquire_timeout{5000};
  std::chrono::seconds max_lifetime{3600};
  std::chrono::seconds idle_check{30};
  std::size_t statement_cache = 128;  ///< 0: unnamed statements only
  std::shared_ptr<WidenedColumns> widened = std::make_shared<WidenedColumns>();
  /// How long a call waits for the server's next bytes while it awaits an answer before
  /// the connection counts as lost (a reply that never comes: a network that drops it);
  /// 0: no bound (a statement may run as long as it takes).
  std::chrono::milliseconds io_timeout{0};
};

/// Reads a `postgresql:` or `postgres:` URL for `alias`: a URI (`postgresql://...`) or a
/// key=value string after the scheme. The store's parameters may follow '?' in either
/// form or stand among the key=value pairs. ValueError naming the URL (masked) for a store
/// parameter that is not a number in its range.
Settings read_settings(std::string alias, const DatabaseUrl& url);

/// `url` with any password in it replaced by "***".
std::string mask_password(std::string_view url);

}  // namespace velmor_models::backends::postgres
