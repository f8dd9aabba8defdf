#pragma once
// Connections by alias: the application maps each database alias to a URL.

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "velmor_models/backends/backend.hpp"
#include "velmor_models/backends/database_url.hpp"

namespace velmor_models::backends {

/// Maps `alias` to the database at `url` (`sqlite:///absolute/path.db`,
/// `sqlite:relative.db`, `sqlite::memory:`, `memory:`). Replaces an earlier mapping;
/// replacing `default` or `lakehouse` forgets the cached class versions.
void configure(std::string_view alias, std::string_view url);
/// The store behind `alias`; an alias nobody configured is an error naming it and the
/// configured ones.
std::shared_ptr<Backend> backend_for(std::string_view alias);
/// Opens the store that a parsed URL names, for an alias; an error naming the URL when it
/// cannot.
using StoreFactory =
    std::function<std::shared_ptr<Backend>(std::string alias, const DatabaseUrl& url)>;
/// How a store plugs in: URLs of `scheme` (the text before their first ':', as
/// `sqlite` and `memory` are registered) name stores that `open` opens. Registering a
/// scheme again replaces its factory; aliases already configured keep their stores.
void register_store(std::string scheme, StoreFactory open);
/// The schemes with a registered store, sorted.
std::vector<std::string> registered_schemes();

/// The configured aliases, sorted.
std::vector<std::string> configured_aliases();
/// Forgets every mapping and the cached class versions and closes the connections; back
/// to the defaults.
void reset();

}  // namespace velmor_models::backends
