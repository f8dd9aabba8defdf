// The default executors: they run a query set on the store its alias names.

#include "velmor_models/querysets/executor.hpp"
#include <algorithm>

#include "backends/history_layout.hpp"
#include "related_loader.hpp"
#include "velmor_data/services/historical_table_schema.hpp"
#include "velmor_models/backends/object_store.hpp"
#include "velmor_models/backends/registry.hpp"
#include "velmor_models/querysets/async_executor.hpp"
#include "velmor_models/querysets/errors.hpp"
#include "velmor_models/querysets/record_chunks.hpp"

namespace velmor_models::querysets::executor {
namespace {

// Puts into each record's metadata the class versions it is compatible with, for the
// version decision of materialisation. Every record of a class gets the versions
// compatible with the latest one: for a record stored under one of them that is exactly
// its own set; for any other the decision (legacy) comes out the same.
void stamp_compatible_versions(const QuerySetReader& qs,
                               std::optional<std::vector<velmor_glue::Data>>& records) {
  if (!records || records->empty() || !qs.entity() || qs.entity()->is_plain_table()) return;
  const std::string& name = qs.entity()->name();
  std::optional<std::int64_t> latest = backends::latest_class_version(name);
  if (!latest) return;
  boost::json::array versions;
  for (std::int64_t v : backends::compatible_class_versions(name, *latest)) versions.push_back(v);
  const std::string_view key =
      velmor_data::services::historical_table_schema::COMPATIBLE_CLASS_VERSIONS;
  for (velmor_glue::Data& r : *records) {
    if (!r.metadata) r.metadata.emplace();
    (*r.metadata)[key] = versions;
  }
}

// A query read as of a time needs the deletions the object store records in its
// lakehouse. A database it never wrote has no such table, and says so in its own words:
// the failure is told as what it means. Returns for any other failure.
void explain_missing_history(const QuerySetReader& qs, const errors::DatabaseError& e) {
  if (!qs.get_as_of() ||
      std::string_view(e.what()).find(backends::deletions_table) == std::string_view::npos)
    return;
  throw errors::DatabaseError(
      "as_of reads the history that the object store keeps in its lakehouse, and the "
      "database behind the alias '" +
          qs.get_using() + "' keeps none (it has no table " +
          std::string(backends::deletions_table) + "): " + e.what(),
      e.alias(), e.sql(), e.code(), e.connection_usable(), e.category(), e.native_code(),
      e.sqlstate());
}

// `work()` (a read of `qs`), its failure explained.
template <class Work>
auto reading(const QuerySetReader& qs, Work&& work) -> decltype(work()) {
  try {
    return work();
  } catch (const errors::DatabaseError& e) {
    explain_missing_history(qs, e);
    throw;
  }
}

// What every delivered record gets: the compatible class versions, and its related
// objects (one query per related class and alias at each depth).
void complete(const QuerySetReader& qs, std::optional<std::vector<velmor_glue::Data>>& records) {
  stamp_compatible_versions(qs, records);
  backends::RelatedLoader related(qs, *records);
  for (auto batch = related.next(); !batch.empty(); batch = related.next())
    for (std::size_t i = 0; i < batch.size(); ++i) {
      const QuerySetReader& query = *batch[i];
      std::optional<std::vector<velmor_glue::Data>> rows =
          reading(query, [&] { return backends::backend_for(query.get_using())->query(query); });
      stamp_compatible_versions(query, rows);
      related.deliver(i, std::move(*rows));
    }
}

boost::asio::awaitable<void> acomplete(const QuerySetReader& qs,
                                       std::optional<std::vector<velmor_glue::Data>>& records) {
  stamp_compatible_versions(qs, records);
  backends::RelatedLoader related(qs, *records);
  for (auto batch = related.next(); !batch.empty(); batch = related.next())
    for (std::size_t i = 0; i < batch.size(); ++i) {
      auto store = backends::backend_for(batch[i]->get_using());
      std::optional<std::vector<velmor_glue::Data>> rows;
      try {
        rows = co_await store->aquery(*batch[i]);
      } catch (const errors::DatabaseError& e) {
        explain_missing_history(*batch[i], e);
        throw;
      }
      stamp_compatible_versions(*batch[i], rows);
      related.deliver(i, std::move(*rows));
    }
}

}  // namespace

std::unique_ptr<ExecutorBase> Executor::create(const QuerySetReader& qs) {
  return std::make_unique<Executor>(qs);
}

std::optional<std::vector<velmor_glue::Data>> Executor::query() {
  std::optional<std::vector<velmor_glue::Data>> records =
      reading(qs_, [&] { return backends::backend_for(qs_.get_using())->query(qs_); });
  complete(qs_, records);
  return records;
}

std::int64_t Executor::count() {
  return reading(qs_, [&] { return backends::backend_for(qs_.get_using())->count(qs_); });
}

std::unique_ptr<AsyncExecutorBase> create_async_executor(const QuerySetReader& qs) {
  return AsyncExecutor::create(qs);
}

std::unique_ptr<AsyncExecutorBase> AsyncExecutor::create(const QuerySetReader& qs) {
  return std::make_unique<AsyncExecutor>(qs);
}

boost::asio::awaitable<std::optional<std::vector<velmor_glue::Data>>> AsyncExecutor::query() {
  auto backend = backends::backend_for(qs_.get_using());
  std::optional<std::vector<velmor_glue::Data>> records;
  try {
    records = co_await backend->aquery(qs_);
  } catch (const errors::DatabaseError& e) {
    explain_missing_history(qs_, e);
    throw;
  }
  co_await acomplete(qs_, records);
  co_return records;
}

boost::asio::awaitable<std::int64_t> AsyncExecutor::count() {
  auto backend = backends::backend_for(qs_.get_using());
  std::int64_t n = 0;
  try {
    n = co_await backend->acount(qs_);
  } catch (const errors::DatabaseError& e) {
    explain_missing_history(qs_, e);
    throw;
  }
  co_return n;
}

RecordChunks::RecordChunks(const QuerySetReader& qs, std::size_t chunk_size, bool coroutine)
    : qs_(qs), chunk_size_(std::max<std::size_t>(1, chunk_size)), coroutine_(coroutine) {}

RecordChunks::~RecordChunks() = default;

std::vector<velmor_glue::Data> RecordChunks::next() {
  if (!cursor_) cursor_ = backends::backend_for(qs_.get_using())->open_cursor(qs_, coroutine_);
  std::optional<std::vector<velmor_glue::Data>> records =
      reading(qs_, [&] { return cursor_->next(chunk_size_); });
  if (!records->empty()) complete(qs_, records);
  return std::move(*records);
}

boost::asio::awaitable<std::vector<velmor_glue::Data>> RecordChunks::anext() {
  if (!cursor_) cursor_ = backends::backend_for(qs_.get_using())->open_cursor(qs_, coroutine_);
  std::optional<std::vector<velmor_glue::Data>> records;
  try {
    records = co_await cursor_->anext(chunk_size_);
  } catch (const errors::DatabaseError& e) {
    explain_missing_history(qs_, e);
    throw;
  }
  if (!records->empty()) co_await acomplete(qs_, records);
  co_return std::move(*records);
}

}  // namespace velmor_models::querysets::executor
