#pragma once
// Database URLs: how the application names the database behind an alias.

#include <chrono>
#include <string>
#include <string_view>

namespace velmor_models::backends {

/// A parsed database URL.
///  - `sqlite:///absolute/path.db` and `sqlite:relative.db` (resolved against the current
///    folder when parsed): a SQLite file;
///  - `sqlite::memory:`: a SQLite database in memory, shared by every thread of the process;
///  - `memory:`: the in-memory reference store (for tests).
/// SQLite URLs take one optional parameter, `?timeout_ms=N`: how long a statement waits
/// for a lock held by another connection before it fails (default 5000).
struct DatabaseUrl {
  enum class Kind { sqlite_file, sqlite_memory, reference_memory };
  Kind kind = Kind::sqlite_memory;
  std::string text;  ///< the URL as given, for messages
  std::string path;  ///< absolute file path for `sqlite_file`, else empty
  std::chrono::milliseconds busy_timeout{5000};
};

/// Parses `url`; ValueError naming it for a malformed or unsupported URL.
DatabaseUrl parse_database_url(std::string_view url);

}  // namespace velmor_models::backends
