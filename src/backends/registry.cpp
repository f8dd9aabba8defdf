// Which store each alias names. Without any configuration the framework's two aliases
// each get their own SQLite database in memory, shared by all threads of the process.

#include "velmor_models/backends/registry.hpp"

#include <algorithm>
#include <map>
#include <mutex>

#include "velmor_data/aliases/using.hpp"
#include "velmor_models/backends/database_url.hpp"
#include "velmor_models/backends/memory/memory_backend.hpp"
#include "velmor_models/backends/object_store.hpp"
#include "velmor_models/backends/sqlite/sqlite_backend.hpp"
#include "velmor_utils/errors.hpp"

namespace velmor_models::backends {
namespace {

using velmor_data::aliases::using_::DEFAULT_DB_ALIAS;
using velmor_data::aliases::using_::LAKEHOUSE_DB_ALIAS;

constexpr std::string_view kFrameworkDefault = "sqlite::memory:";

struct Registry {
  std::mutex mutex;
  std::map<std::string, std::string, std::less<>> urls;  // configured, by alias
  std::map<std::string, std::shared_ptr<Backend>, std::less<>> open;
};

Registry& registry() {
  static Registry r;
  return r;
}

std::shared_ptr<Backend> open_backend(std::string_view alias, const DatabaseUrl& url) {
  if (url.kind == DatabaseUrl::Kind::reference_memory)
    return std::make_shared<MemoryBackend>(std::string(alias));
  return std::make_shared<SqliteBackend>(std::string(alias), url);
}

bool framework_alias(std::string_view alias) {
  return alias == DEFAULT_DB_ALIAS || alias == LAKEHOUSE_DB_ALIAS;
}

}  // namespace

void configure(std::string_view alias, std::string_view url) {
  if (alias.empty()) throw velmor_utils::errors::ValueError("a database alias cannot be empty");
  DatabaseUrl parsed = parse_database_url(url);
  // Opened before it replaces anything: a URL that cannot be opened changes nothing.
  std::shared_ptr<Backend> backend = open_backend(alias, parsed);
  Registry& r = registry();
  std::shared_ptr<Backend> replaced;
  {
    std::lock_guard lock(r.mutex);
    r.urls.insert_or_assign(std::string(alias), std::string(url));
    if (auto it = r.open.find(alias); it != r.open.end()) replaced = std::move(it->second);
    r.open.insert_or_assign(std::string(alias), std::move(backend));
  }
  // The class versions come from the databases just replaced (the cache takes its own
  // lock, and reads the registry under it: never called under the registry's lock).
  if (framework_alias(alias)) clear_class_version_cache();
}

std::shared_ptr<Backend> backend_for(std::string_view alias) {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  if (auto it = r.open.find(alias); it != r.open.end()) return it->second;
  if (!framework_alias(alias)) {
    std::string known;
    for (const auto& [name, url] : r.urls) known += (known.empty() ? "'" : ", '") + name + "'";
    throw velmor_utils::errors::ValueError(
        "no database is configured for the alias '" + std::string(alias) +
        "' (configured: " + (known.empty() ? std::string("none") : known) +
        "; the framework aliases '" + std::string(DEFAULT_DB_ALIAS) + "' and '" +
        std::string(LAKEHOUSE_DB_ALIAS) + "' default to " + std::string(kFrameworkDefault) + ")");
  }
  auto backend = open_backend(alias, parse_database_url(kFrameworkDefault));
  r.open.emplace(std::string(alias), backend);
  return backend;
}

std::vector<std::string> configured_aliases() {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  std::vector<std::string> out;
  for (const auto& [name, url] : r.urls) out.push_back(name);
  return out;
}

void reset() {
  Registry& r = registry();
  std::map<std::string, std::shared_ptr<Backend>, std::less<>> closing;
  {
    std::lock_guard lock(r.mutex);
    r.urls.clear();
    closing.swap(r.open);
  }
  clear_class_version_cache();
}

}  // namespace velmor_models::backends
