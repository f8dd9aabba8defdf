#include "velmor_models/backends/database_url.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <filesystem>

#include "velmor_models/backends/registry.hpp"

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

// Reads the parameters after '?': `timeout_ms` and `mode`.
void read_parameters(std::string_view url, std::string_view params, DatabaseUrl& out) {
  while (!params.empty()) {
    std::string_view item = params.substr(0, params.find('&'));
    params.remove_prefix(std::min(params.size(), item.size() + 1));
    std::size_t eq = item.find('=');
    std::string_view key = item.substr(0, eq);
    std::string_view value = eq == std::string_view::npos ? "" : item.substr(eq + 1);
    if (key == "mode") {
      if (value != "ro" && value != "rw")
        refuse(url, "mode takes ro or rw, not '" + std::string(value) + "'");
      out.read_only = value == "ro";
      continue;
    }
    if (key != "timeout_ms")
      refuse(url, "unknown parameter '" + std::string(key) + "' (known: timeout_ms, mode)");
    long long ms = -1;
    auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), ms);
    if (ec != std::errc() || end != value.data() + value.size() || ms < 0)
      refuse(url, "timeout_ms takes a number of milliseconds, not '" + std::string(value) + "'");
    out.busy_timeout = std::chrono::milliseconds(ms);
  }
}

// The scheme of a URL: a letter, then letters, digits, '+', '-' or '.', up to the first
// ':'; empty when the URL has none.
std::string_view scheme_of(std::string_view url) {
  const std::size_t colon = url.find(':');
  if (colon == std::string_view::npos || colon == 0) return {};
  const std::string_view scheme = url.substr(0, colon);
  if (!std::isalpha(static_cast<unsigned char>(scheme[0]))) return {};
  for (char c : scheme)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.') return {};
  return scheme;
}

// Another store's URL: its parts, read by nobody here.
DatabaseUrl other_store(std::string_view url, std::string scheme) {
  DatabaseUrl out;
  out.text = std::string(url);
  out.kind = DatabaseUrl::Kind::other;
  std::string_view rest = url.substr(scheme.size() + 1);
  out.scheme = std::move(scheme);
  const std::size_t q = rest.find('?');
  std::string_view params = q == std::string_view::npos ? std::string_view() : rest.substr(q + 1);
  out.rest = std::string(rest.substr(0, q));
  while (!params.empty()) {
    std::string_view item = params.substr(0, params.find('&'));
    params.remove_prefix(std::min(params.size(), item.size() + 1));
    const std::size_t eq = item.find('=');
    out.parameters.emplace_back(
        std::string(item.substr(0, eq)),
        eq == std::string_view::npos ? "" : std::string(item.substr(eq + 1)));
  }
  return out;
}

}  // namespace

DatabaseUrl parse_database_url(std::string_view url) {
  DatabaseUrl out;
  out.text = std::string(url);
  if (url == "memory:") {
    out.kind = DatabaseUrl::Kind::reference_memory;
    out.scheme = "memory";
    return out;
  }
  if (!starts_with(url, "sqlite:")) {
    const std::string scheme(scheme_of(url));
    const std::vector<std::string> known = registered_schemes();
    if (scheme.empty() || scheme == "sqlite" || scheme == "memory" ||
        std::find(known.begin(), known.end(), scheme) == known.end()) {
      if (starts_with(url, "postgresql:") || starts_with(url, "postgres:"))
        refuse(url, "PostgreSQL is not supported yet");
      refuse(url, kForms);
    }
    return other_store(url, scheme);
  }
  out.scheme = "sqlite";
  std::string_view rest = url.substr(7);
  std::size_t q = rest.find('?');
  if (q != std::string_view::npos) {
    read_parameters(url, rest.substr(q + 1), out);
    rest = rest.substr(0, q);
  }
  if (rest == ":memory:") {
    if (out.read_only) refuse(url, "mode=ro needs a database file");
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
