// The asynchronous forms of running a query set and materialising its records. Each
// shares every step with its synchronous twin but the awaits.

#include "velmor_data/connections/historical/async_schema_version_manager.hpp"
#include "velmor_models/querysets/async_executor.hpp"
#include "velmor_models/querysets/qsetkit/query_set_core.hpp"
#include "velmor_utils/errors.hpp"
#include "velmor_utils/utils/decorators.hpp"

namespace velmor_models::querysets::qsetkit {
namespace {

std::unique_ptr<executor::AsyncExecutorBase> made(
    std::unique_ptr<executor::AsyncExecutorBase> executor) {
  if (!executor)
    throw velmor_utils::errors::TypeError(
        "The asynchronous executor factory of the query set made no executor");
  return executor;
}

}  // namespace

// Each asynchronous form hands its coroutine a copy of what it reads: the coroutine may
// run after the query set it was called on is gone.
boost::asio::awaitable<QuerySetCore::Records> QuerySetCore::_aexecute_query() const {
  velmor_utils::utils::decorators::async_mode_only("QuerySetBase._aexecute_query");
  return run_query(*this);
}

boost::asio::awaitable<std::int64_t> QuerySetCore::_aexecute_count() const {
  velmor_utils::utils::decorators::async_mode_only("QuerySetBase._aexecute_count");
  return run_count(*this);
}

boost::asio::awaitable<QuerySetCore::Records> QuerySetCore::run_query(QuerySetCore qs) {
  if (qs._state.is_none) co_return std::vector<velmor_glue::Data>{};
  co_return co_await made(qs._settings.async_executor(qs))->query();
}

boost::asio::awaitable<std::int64_t> QuerySetCore::run_count(QuerySetCore qs) {
  if (qs._state.is_none) co_return 0;
  co_return co_await made(qs._settings.async_executor(qs))->count();
}

boost::asio::awaitable<Instance<Model>> QuerySetCore::_acreate_instance(
    bool is_partial, velmor_glue::Data data) const {
  return create_instance_async(instance_maker(), is_partial, std::move(data));
}

boost::asio::awaitable<Instance<Model>> QuerySetCore::create_instance_async(
    InstanceMaker maker, bool is_partial, velmor_glue::Data data) {
  PendingInstance pending = begin_instance(std::move(data));
  bool legacy = false;
  if (pending.needs_latest_version) {
    using velmor_data::connections::historical::schema_version_manager::
        AsyncHistoricalSchemaVersionManager;
    boost::json::value latest =
        co_await AsyncHistoricalSchemaVersionManager().get_latest_schema_version(
            maker.entity_name());
    legacy = is_legacy(pending, latest, false);
  }
  co_return maker.finish(std::move(pending), is_partial, legacy);
}

}  // namespace velmor_models::querysets::qsetkit
