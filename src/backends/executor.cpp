// The default executors: they run a query set on the store its alias names.

#include "velmor_models/querysets/async_executor.hpp"
#include "velmor_models/querysets/executor.hpp"

namespace velmor_models::querysets::executor {

std::unique_ptr<ExecutorBase> Executor::create(const QuerySetReader& qs) {
  return std::make_unique<Executor>(qs);
}

std::optional<std::vector<velmor_glue::Data>> Executor::query() {
  return MemoryStore::instance().select(qs_);
}

std::int64_t Executor::count() {
  return static_cast<std::int64_t>(MemoryStore::instance().select(qs_).size());
}

std::unique_ptr<AsyncExecutorBase> create_async_executor(const QuerySetReader& qs) {
  return AsyncExecutor::create(qs);
}

std::unique_ptr<AsyncExecutorBase> AsyncExecutor::create(const QuerySetReader& qs) {
  return std::make_unique<AsyncExecutor>(qs);
}

boost::asio::awaitable<std::optional<std::vector<velmor_glue::Data>>> AsyncExecutor::query() {
  co_return MemoryStore::instance().select(qs_);
}

boost::asio::awaitable<std::int64_t> AsyncExecutor::count() {
  co_return static_cast<std::int64_t>(MemoryStore::instance().select(qs_).size());
}

}  // namespace velmor_models::querysets::executor
