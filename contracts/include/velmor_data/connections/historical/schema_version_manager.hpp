#pragma once
// The current schema version of each model class.

#include <boost/json/value.hpp>
#include <functional>
#include <string_view>

namespace velmor_data::connections::historical::schema_version_manager {

/// Where the managers learn a class's current schema version. The framework installs
/// its own source; the default knows no class and answers null.
using LatestVersionSource = std::function<boost::json::value(std::string_view entity_name)>;

/// Installs `source` for every manager created afterwards and returns the previous one.
LatestVersionSource set_latest_version_source(LatestVersionSource source);

class HistoricalSchemaVersionManager {
 public:
  HistoricalSchemaVersionManager();
  /// The current schema version of the class named `entity_name`.
  boost::json::value get_latest_schema_version(std::string_view entity_name) const;

 private:
  LatestVersionSource source_;
};

}  // namespace velmor_data::connections::historical::schema_version_manager
