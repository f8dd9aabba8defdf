// Which store each alias names. Without any configuration the framework's two aliases
// each get their own SQLite database in memory, shared by all threads of the process.

#include "velmor_models/backends/registry.hpp"

#include <algorithm>
#include <map>
#include <mutex>

#include "velmor_data/aliases/using.hpp"
#include "velmor_models/backends/database_url.hpp"
#include "built_in_stores.hpp"
#include "velmor_models/backends/object_store.hpp"
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

// The stores by URL scheme, those built in first. Apart from the aliases' registry: a URL
// is parsed (which asks for the schemes) before that registry's lock is taken.
struct Stores {
  std::mutex mutex;
  std::map<std::string, StoreFactory, std::less<>> by_scheme;
  Stores() {
    for (const detail::BuiltInStore& store : detail::built_in_stores)
      by_scheme.emplace(std::string(store.scheme), store.open);
  }
};

Stores& stores() {
  static Stores s;
  return s;
}

std::shared_ptr<Backend> open_backend(std::string_view alias, const DatabaseUrl& url) {
  StoreFactory open;
  {
    Stores& s = stores();
    std::lock_guard lock(s.mutex);
    if (auto it = s.by_scheme.find(url.scheme); it != s.by_scheme.end()) open = it->second;
  }
  if (!open)
    throw velmor_utils::errors::ValueError("database URL '" + url.text +
                                           "': no store is registered for its scheme");
  std::shared_ptr<Backend> backend = open(std::string(alias), url);
  if (!backend)
    throw velmor_utils::errors::TypeError("the store registered for '" + url.scheme +
                                          "' opened nothing for alias '" + std::string(alias) +
                                          "'");
  return backend;
}

bool framework_alias(std::string_view alias) {
  return alias == DEFAULT_DB_ALIAS || alias == LAKEHOUSE_DB_ALIAS;
}

}  // namespace

void register_store(std::string scheme, StoreFactory open) {
  if (scheme.empty() || !open)
    throw velmor_utils::errors::ValueError("a store needs a scheme and a factory");
  Stores& s = stores();
  std::lock_guard lock(s.mutex);
  s.by_scheme.insert_or_assign(std::move(scheme), std::move(open));
}

std::vector<std::string> registered_schemes() {
  Stores& s = stores();
  std::lock_guard lock(s.mutex);
  std::vector<std::string> out;
  for (const auto& [scheme, open] : s.by_scheme) out.push_back(scheme);
  return out;
}

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
