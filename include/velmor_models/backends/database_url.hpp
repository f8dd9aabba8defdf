#pragma once
// Database URLs: how the application names the database behind an alias.

#include <chrono>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velmor_models::backends {

/// A parsed database URL.
///  - `sqlite:///absolute/path.db` and `sqlite:relative.db` (resolved against the current
///    folder when parsed): a SQLite file;
///  - `sqlite::memory:`: a SQLite database in memory, shared by every thread of the process;
///  - `memory:`: the in-memory reference store (for tests);
///  - `scheme:...` for the scheme of any other registered store (registry.hpp): what
///    follows the scheme, and the parameters after '?', are that store's to read.
/// SQLite URLs take the optional parameters `timeout_ms=N`: how long a statement waits
/// for a lock held by another connection before it fails (default 5000), and, for a file,
/// `mode=ro`: the file is opened read-only, never created and never changed (`mode=rw`,
/// the default, opens it for writing and creates it when missing).
struct DatabaseUrl {
  enum class Kind { sqlite_file, sqlite_memory, reference_memory, other };
  Kind kind = Kind::sqlite_memory;
  std::string scheme;  ///< "sqlite", "memory", or another registered store's
  std::string text;    ///< the URL as given, for messages
  std::string path;    ///< absolute file path for `sqlite_file`, else empty
  std::chrono::milliseconds busy_timeout{5000};
  bool read_only = false;  ///< `mode=ro`
  /// For another store: what follows "scheme:" up to '?', and the parameters after it
  /// (`key=value`, split at '&'), in order and as given.
  std::string rest;
  std::vector<std::pair<std::string, std::string>> parameters;
};

/// Parses `url`; ValueError naming it for a malformed or unsupported URL.
DatabaseUrl parse_database_url(std::string_view url);

}  // namespace velmor_models::backends
