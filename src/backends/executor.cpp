// The default executors: they run a query set on the store its alias names.

#include "velmor_models/backends/registry.hpp"
#include "velmor_models/querysets/async_executor.hpp"
#include "velmor_models/querysets/executor.hpp"

namespace velmor_models::querysets::executor {

std::unique_ptr<ExecutorBase> Executor::create(const QuerySetReader& qs) {
  return std::make_unique<Executor>(qs);
}

std::optional<std::vector<velmor_glue::Data>> Executor::query() {
  return backends::backend_for(qs_.get_using())->query(qs_);
}

std::int64_t Executor::count() { return backends::backend_for(qs_.get_using())->count(qs_); }

std::unique_ptr<AsyncExecutorBase> create_async_executor(const QuerySetReader& qs) {
  return AsyncExecutor::create(qs);
}

std::unique_ptr<AsyncExecutorBase> AsyncExecutor::create(const QuerySetReader& qs) {
  return std::make_unique<AsyncExecutor>(qs);
}

boost::asio::awaitable<std::optional<std::vector<velmor_glue::Data>>> AsyncExecutor::query() {
  auto backend = backends::backend_for(qs_.get_using());
  co_return co_await backend->aquery(qs_);
}

boost::asio::awaitable<std::int64_t> AsyncExecutor::count() {
  auto backend = backends::backend_for(qs_.get_using());
  co_return co_await backend->acount(qs_);
}

}  // namespace velmor_models::querysets::executor
