#include <mutex>

#include "velmor_data/connections/historical/async_schema_version_manager.hpp"

namespace velmor_data::connections::historical::schema_version_manager {
namespace {

std::mutex sources_mutex;
LatestVersionSource sync_source;
AsyncLatestVersionSource async_source;

}  // namespace

LatestVersionSource set_latest_version_source(LatestVersionSource source) {
  std::lock_guard lock(sources_mutex);
  std::swap(sync_source, source);
  return source;
}

AsyncLatestVersionSource set_async_latest_version_source(AsyncLatestVersionSource source) {
  std::lock_guard lock(sources_mutex);
  std::swap(async_source, source);
  return source;
}

HistoricalSchemaVersionManager::HistoricalSchemaVersionManager() {
  std::lock_guard lock(sources_mutex);
  source_ = sync_source;
}

boost::json::value HistoricalSchemaVersionManager::get_latest_schema_version(
    std::string_view entity_name) const {
  return source_ ? source_(entity_name) : boost::json::value(nullptr);
}

AsyncHistoricalSchemaVersionManager::AsyncHistoricalSchemaVersionManager() {
  std::lock_guard lock(sources_mutex);
  source_ = async_source;
}

boost::asio::awaitable<boost::json::value>
AsyncHistoricalSchemaVersionManager::get_latest_schema_version(std::string entity_name) const {
  if (source_) co_return co_await source_(std::move(entity_name));
  co_return HistoricalSchemaVersionManager().get_latest_schema_version(entity_name);
}

}  // namespace velmor_data::connections::historical::schema_version_manager
