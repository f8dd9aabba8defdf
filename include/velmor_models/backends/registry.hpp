#pragma once
// Connections by alias: the application maps each database alias to a URL.

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "velmor_models/backends/backend.hpp"

namespace velmor_models::backends {

/// Maps `alias` to the database at `url` (`sqlite:///absolute/path.db`,
/// `sqlite:relative.db`, `sqlite::memory:`, `memory:`). Replaces an earlier mapping;
/// replacing `default` or `lakehouse` forgets the cached class versions.
void configure(std::string_view alias, std::string_view url);
/// The store behind `alias`; an alias nobody configured is an error naming it and the
/// configured ones.
std::shared_ptr<Backend> backend_for(std::string_view alias);
/// The configured aliases, sorted.
std::vector<std::string> configured_aliases();
/// Forgets every mapping and the cached class versions and closes the connections; back
/// to the defaults.
void reset();

}  // namespace velmor_models::backends
