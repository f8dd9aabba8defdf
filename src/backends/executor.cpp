// The default executors: they run a query set on the store its alias names.

#include "velmor_models/querysets/executor.hpp"
#include "related_loader.hpp"
#include "velmor_models/backends/registry.hpp"
#include "velmor_models/querysets/async_executor.hpp"

namespace velmor_models::querysets::executor {

std::unique_ptr<ExecutorBase> Executor::create(const QuerySetReader& qs) {
  return std::make_unique<Executor>(qs);
}

std::optional<std::vector<velmor_glue::Data>> Executor::query() {
  std::vector<velmor_glue::Data> records = backends::backend_for(qs_.get_using())->query(qs_);
  // Related objects: one query per related class and alias at each depth.
  backends::RelatedLoader related(qs_, records);
  for (auto batch = related.next(); !batch.empty(); batch = related.next())
    for (std::size_t i = 0; i < batch.size(); ++i)
      related.deliver(i, backends::backend_for(batch[i]->get_using())->query(*batch[i]));
  return records;
}

std::int64_t Executor::count() {
  return backends::backend_for(qs_.get_using())->count(qs_);
}

std::unique_ptr<AsyncExecutorBase> create_async_executor(const QuerySetReader& qs) {
  return AsyncExecutor::create(qs);
}

std::unique_ptr<AsyncExecutorBase> AsyncExecutor::create(const QuerySetReader& qs) {
  return std::make_unique<AsyncExecutor>(qs);
}

boost::asio::awaitable<std::optional<std::vector<velmor_glue::Data>>> AsyncExecutor::query() {
  auto backend = backends::backend_for(qs_.get_using());
  std::vector<velmor_glue::Data> records = co_await backend->aquery(qs_);
  backends::RelatedLoader related(qs_, records);
  for (auto batch = related.next(); !batch.empty(); batch = related.next())
    for (std::size_t i = 0; i < batch.size(); ++i) {
      auto store = backends::backend_for(batch[i]->get_using());
      related.deliver(i, co_await store->aquery(*batch[i]));
    }
  co_return records;
}

boost::asio::awaitable<std::int64_t> AsyncExecutor::count() {
  auto backend = backends::backend_for(qs_.get_using());
  co_return co_await backend->acount(qs_);
}

}  // namespace velmor_models::querysets::executor
