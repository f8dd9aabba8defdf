// Materialising records: 100,000 records of five fields and a `_metadata` JSON text of
// about 100 bytes, through an in-memory executor, synchronously and as a coroutine, next
// to a baseline that only copies each record's data and parses its `_metadata`.
//
// Every benchmark gives the same figure whether it runs alone (--benchmark_filter) or
// after the others:
//  - the stored records are built before any benchmark runs, so each starts from the
//    same heap;
//  - each warms up (untimed iterations) before it is measured, so the first touch of
//    fresh pages and the growth of the per-thread parser's buffers are nobody's cost;
//  - freed memory stays in the process (below), so no benchmark pays for giving pages
//    back to the kernel and fetching them again, and the blocks freed untimed are merged
//    untimed (settle_heap).
// Timed: turning the handed-over records into results. Not timed: making the records
// the executor hands over (a driver's work) and freeing the results the caller keeps.

#include <benchmark/benchmark.h>

#include <malloc.h>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/json/parse.hpp>

#include <cstdlib>

#include "velmor_models/querysets/async_executor.hpp"
#include "velmor_models/querysets/qsetkit.hpp"
#include "velmor_utils/utils/decorators.hpp"

namespace {

using namespace velmor_models::querysets::qsetkit;
using velmor_glue::Data;
using velmor_models::classes::model::CoreTypes;
using velmor_models::classes::model::ModelClass;
using velmor_models::querysets::executor::AsyncExecutorBase;
using velmor_models::querysets::executor::ExecutorBase;
using velmor_models::querysets::executor::QuerySetReader;
namespace json = boost::json;

constexpr int record_count = 100'000;

// Keeps freed memory in the process between iterations, so that every benchmark measures
// its own work rather than how often the heap goes back to the kernel for fresh pages
// (which otherwise depends on the order the benchmarks run in).
// Large blocks (the result vectors) come from that same memory rather than from fresh
// mappings, whose pages would be faulted in again on every iteration.
const bool heap_kept = [] {
  mallopt(M_TRIM_THRESHOLD, 1 << 30);
  mallopt(M_TOP_PAD, 256 << 20);
  mallopt(M_MMAP_THRESHOLD, 1 << 30);
  return true;
}();

// glibc merges freed small blocks lazily, at the next request for a large one, whoever
// makes it: here, untimed, so that freeing one iteration's results (not timed) is not
// charged to the next iteration.
void settle_heap() {
  void* block = std::malloc(64 << 10);
  benchmark::DoNotOptimize(block);
  std::free(block);
}

const ModelClassPtr& reading() {
  static const ModelClassPtr cls = ModelClass::create(
      "Reading", "readings",
      {{"sensor", CoreTypes::STRING, true, {}},
       {"value", CoreTypes::NUMBER, true, {}},
       {"count", CoreTypes::INTEGER, true, {}},
       {"ok", CoreTypes::BOOLEAN, true, {}},
       {"taken_at", CoreTypes::DATETIME, true, {}}});
  return cls;
}

const std::vector<Data>& stored() {
  static const std::vector<Data> records = [] {
    std::vector<Data> out;
    out.reserve(record_count);
    for (int i = 0; i < record_count; ++i) {
      std::string meta = R"({"object_id":)" + std::to_string(100000 + i) +
                         R"(,"created_at":"2026-12-08T10:00:00Z","class_schema_reference":)"
                         R"({"ref":{"object_version":"LATEST"}}})";
      out.push_back({json::object{{"sensor", "s-" + std::to_string(i % 97)},
                                  {"value", i * 0.5},
                                  {"count", i},
                                  {"ok", i % 2 == 0},
                                  {"taken_at", "2026-12-08T10:00:00Z"},
                                  {"_metadata", meta}},
                     json::object{}});
    }
    return out;
  }();
  return records;
}
const bool records_built = (stored(), true);

// The rows the executor hands over next, made outside the timed region: a driver's work
// of producing rows is not materialisation.
std::vector<Data> next_rows;

struct MemoryExecutor : ExecutorBase {
  std::optional<std::vector<Data>> query() override { return std::move(next_rows); }
  std::int64_t count() override { return record_count; }
};
struct AsyncMemoryExecutor : AsyncExecutorBase {
  boost::asio::awaitable<std::optional<std::vector<Data>>> query() override {
    co_return std::move(next_rows);
  }
  boost::asio::awaitable<std::int64_t> count() override { co_return record_count; }
};

QuerySet<Model> query_set() {
  return QuerySet<Model>(
      reading(), [](const QuerySetReader&) { return std::make_unique<MemoryExecutor>(); },
      [](const QuerySetReader&) { return std::make_unique<AsyncMemoryExecutor>(); });
}

void Baseline(benchmark::State& state) {
  const auto& records = stored();
  for (auto _ : state) {
    for (const Data& r : records) {
      json::object copy = *r.data;
      json::value meta = json::parse(copy.at("_metadata").get_string());
      benchmark::DoNotOptimize(copy);
      benchmark::DoNotOptimize(meta);
    }
  }
  state.SetItemsProcessed(state.iterations() * record_count);
}
BENCHMARK(Baseline)->Unit(benchmark::kMillisecond)->MinWarmUpTime(0.5);

// The same work with the results kept, as materialised instances are kept by the caller
// (freed outside the timed region, as below).
void BaselineKept(benchmark::State& state) {
  const auto& records = stored();
  std::vector<json::object> kept;
  kept.reserve(record_count);
  for (auto _ : state) {
    for (const Data& r : records) {
      json::object copy = *r.data;
      copy["_metadata"] = json::parse(copy.at("_metadata").get_string());
      kept.push_back(std::move(copy));
    }
    benchmark::DoNotOptimize(kept);
    state.PauseTiming();
    kept.clear();
    settle_heap();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * record_count);
}
BENCHMARK(BaselineKept)->Unit(benchmark::kMillisecond)->MinWarmUpTime(0.5);

void Materialise(benchmark::State& state) {
  const QuerySet<Model> qs = query_set();
  for (auto _ : state) {
    state.PauseTiming();
    next_rows = stored();
    settle_heap();
    state.ResumeTiming();
    auto instances = qs.execute();
    benchmark::DoNotOptimize(instances);
    state.PauseTiming();
    instances.clear();  // the caller's instances are the caller's to free
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * record_count);
}
BENCHMARK(Materialise)->Unit(benchmark::kMillisecond)->MinWarmUpTime(0.5);

void MaterialiseCoroutine(benchmark::State& state) {
  using namespace velmor_utils::utils::decorators;
  ModeScope async(Mode::async);
  const QuerySet<Model> qs = query_set();
  for (auto _ : state) {
    state.PauseTiming();
    next_rows = stored();
    settle_heap();
    boost::asio::io_context loop;
    std::vector<Instance<Model>> instances;
    state.ResumeTiming();
    boost::asio::co_spawn(
        loop, [&]() -> boost::asio::awaitable<void> { instances = co_await qs.aexecute(); },
        boost::asio::detached);
    loop.run();
    benchmark::DoNotOptimize(instances);
    state.PauseTiming();
    instances.clear();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * record_count);
}
BENCHMARK(MaterialiseCoroutine)->Unit(benchmark::kMillisecond)->MinWarmUpTime(0.5);

}  // namespace
