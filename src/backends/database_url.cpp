#include "velmor_models/backends/database_url.hpp"

#include <charconv>
#include <filesystem>

#include "velmor_utils/errors.hpp"

namespace velmor_models::backends {
namespace {

using velmor_utils::errors::ValueError;

constexpr std::string_view kForms =
    "expected sqlite:///absolute/path.db, sqlite:relative.db, sqlite::memory: or memory:";

// The URL as a message can show it: control bytes (a NUL would end the message) escaped.
std::string printable(std::string_view url) {
  static constexpr char hex[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : url) {
    if (c < 0x20 || c == 0x7f) {
      out += "\\x";
      out += hex[c >> 4];
      out += hex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

[[noreturn]] void refuse(std::string_view url, std::string_view why) {
  throw ValueError("database URL '" + printable(url) + "': " + std::string(why));
}

bool starts_with(std::string_view s, std::string_view prefix) {
  return s.substr(0, prefix.size()) == prefix;
}

// Reads the parameters after '?': only `timeout_ms` is known.
void read_parameters(std::string_view url, std::string_view params, DatabaseUrl& out) {
  while (!params.empty()) {
    std::string_view item = params.substr(0, params.find('&'));
    params.remove_prefix(std::min(params.size(), item.size() + 1));
    std::size_t eq = item.find('=');
    std::string_view key = item.substr(0, eq);
    std::string_view value = eq == std::string_view::npos ? "" : item.substr(eq + 1);
    if (key != "timeout_ms") refuse(url, "unknown parameter '" + std::string(key) + "' (known: timeout_ms)");
    long long ms = -1;
    auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), ms);
    if (ec != std::errc() || end != value.data() + value.size() || ms < 0)
      refuse(url, "timeout_ms takes a number of milliseconds, not '" + std::string(value) + "'");
    out.busy_timeout = std::chrono::milliseconds(ms);
  }
}

}  // namespace

DatabaseUrl parse_database_url(std::string_view url) {
  DatabaseUrl out;
  out.text = std::string(url);
  if (url == "memory:") {
    out.kind = DatabaseUrl::Kind::reference_memory;
    return out;
  }
  if (starts_with(url, "postgresql:") || starts_with(url, "postgres:"))
    refuse(url, "PostgreSQL is not supported yet");
  if (!starts_with(url, "sqlite:")) refuse(url, kForms);
  std::string_view rest = url.substr(7);
  std::size_t q = rest.find('?');
  if (q != std::string_view::npos) {
    read_parameters(url, rest.substr(q + 1), out);
    rest = rest.substr(0, q);
  }
  if (rest == ":memory:") {
    out.kind = DatabaseUrl::Kind::sqlite_memory;
    return out;
  }
  std::string_view path;
  if (starts_with(rest, "///")) {
    path = rest.substr(2);  // keeps the leading '/'
  } else if (starts_with(rest, "//")) {
    refuse(url, "a SQLite URL names no host; " + std::string(kForms));
  } else if (starts_with(rest, "/")) {
    refuse(url, "an absolute path takes three slashes (sqlite:///path.db)");
  } else {
    path = rest;
  }
  if (path.empty() || path.back() == '/') refuse(url, "no file name; " + std::string(kForms));
  if (path.find('\0') != std::string_view::npos) refuse(url, "the path holds a NUL byte");
  out.kind = DatabaseUrl::Kind::sqlite_file;
  // Resolved now, so that a later change of the current folder does not move the database.
  out.path = std::filesystem::absolute(std::filesystem::path(path)).lexically_normal().string();
  return out;
}

}  // namespace velmor_models::backends
