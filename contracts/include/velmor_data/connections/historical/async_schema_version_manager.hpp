#pragma once
// The coroutine twin of HistoricalSchemaVersionManager.

#include <boost/asio/awaitable.hpp>

#include "velmor_data/connections/historical/schema_version_manager.hpp"

namespace velmor_data::connections::historical::schema_version_manager {

/// Awaitable lookups of the latest schema version.
using AsyncLatestVersionSource =
    std::function<boost::asio::awaitable<boost::json::value>(std::string)>;

/// Installs `source` for every asynchronous manager created afterwards and returns the
/// previous one; without one, the synchronous source answers.
AsyncLatestVersionSource set_async_latest_version_source(AsyncLatestVersionSource source);

class AsyncHistoricalSchemaVersionManager {
 public:
  AsyncHistoricalSchemaVersionManager();
  boost::asio::awaitable<boost::json::value> get_latest_schema_version(
      std::string entity_name) const;

 private:
  AsyncLatestVersionSource source_;
};

}  // namespace velmor_data::connections::historical::schema_version_manager
