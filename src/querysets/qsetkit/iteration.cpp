// Walking a query set's instances a chunk at a time.

#include "velmor_models/querysets/qsetkit/instance_range.hpp"

#include <algorithm>
#include <iterator>

#include "velmor_models/querysets/async_executor.hpp"
#include "velmor_models/querysets/qsetkit/query_set_core.hpp"

namespace velmor_models::querysets::qsetkit {
namespace {

using SyncFactory = std::unique_ptr<executor::ExecutorBase> (*)(const executor::QuerySetReader&);
using AsyncFactory =
    std::unique_ptr<executor::AsyncExecutorBase> (*)(const executor::QuerySetReader&);

// Only the default executors read from a store's cursor; another executor's result is
// whole, and is handed out in chunks.
bool default_executor(const QuerySetCore& qs, bool coroutine) {
  if (coroutine) {
    const AsyncFactory* f = qs.async_executor_factory().target<AsyncFactory>();
    return f && *f == &executor::create_async_executor;
  }
  const SyncFactory* f = qs.executor_factory().target<SyncFactory>();
  return f && *f == &executor::Executor::create;
}

}  // namespace

InstanceChunks::InstanceChunks(const QuerySetCore& qs, std::size_t chunk_size, bool coroutine)
    : qs_(qs), chunk_size_(std::max<std::size_t>(1, chunk_size)), coroutine_(coroutine) {
  if (qs.is_none()) done_ = true;
}

InstanceChunks::~InstanceChunks() = default;

std::vector<velmor_glue::Data> InstanceChunks::from_whole() {
  std::vector<velmor_glue::Data>& all = *whole_;
  const std::size_t end = std::min(all.size(), taken_ + chunk_size_);
  std::vector<velmor_glue::Data> out(std::make_move_iterator(all.begin() + taken_),
                                     std::make_move_iterator(all.begin() + end));
  taken_ = end;
  if (out.empty()) whole_.reset();
  return out;
}

std::vector<Instance<Model>> InstanceChunks::next() {
  std::vector<Instance<Model>> out;
  if (done_) return out;
  std::vector<velmor_glue::Data> records;
  if (whole_) {
    records = from_whole();
  } else if (!chunks_ && !default_executor(qs_, false)) {
    QuerySetCore::Records all = qs_._execute_query();
    whole_ = std::move(QuerySetCore::records_of(all));
    records = from_whole();
  } else {
    if (!chunks_) chunks_ = std::make_unique<executor::RecordChunks>(qs_, chunk_size_, false);
    records = chunks_->next();
  }
  if (records.empty()) {
    done_ = true;
    chunks_.reset();  // the statement is released
    return out;
  }
  const bool is_partial = qs_.selects_fields();
  out.reserve(records.size());
  for (velmor_glue::Data& record : records)
    out.push_back(qs_._create_instance(is_partial, std::move(record)));
  return out;
}

boost::asio::awaitable<std::vector<Instance<Model>>> InstanceChunks::anext() {
  std::vector<Instance<Model>> out;
  if (done_) co_return out;
  std::vector<velmor_glue::Data> records;
  if (whole_) {
    records = from_whole();
  } else if (!chunks_ && !default_executor(qs_, true)) {
    QuerySetCore::Records all = co_await qs_._aexecute_query();
    whole_ = std::move(QuerySetCore::records_of(all));
    records = from_whole();
  } else {
    if (!chunks_) chunks_ = std::make_unique<executor::RecordChunks>(qs_, chunk_size_, true);
    records = co_await chunks_->anext();
  }
  if (records.empty()) {
    done_ = true;
    chunks_.reset();
    co_return out;
  }
  const bool is_partial = qs_.selects_fields();
  out.reserve(records.size());
  for (velmor_glue::Data& record : records)
    out.push_back(co_await qs_._acreate_instance(is_partial, std::move(record)));
  co_return out;
}

}  // namespace velmor_models::querysets::qsetkit
