// Cost of building query sets: the usual refinement chain, each step, and one copy.

#include <benchmark/benchmark.h>

#include "velmor_models/querysets/qsetkit.hpp"

namespace {

using namespace velmor_models::querysets::qsetkit;
using velmor_models::classes::model::CoreTypes;
using velmor_models::classes::model::ModelClass;

const ModelClassPtr& customer() {
  static const ModelClassPtr cls =
      ModelClass::create("Customer", "customers",
                         {{"a", CoreTypes::INTEGER, true, {}},
                          {"b", CoreTypes::INTEGER, true, {}},
                          {"c", CoreTypes::INTEGER, true, {}}});
  return cls;
}

void Chain(benchmark::State& state) {
  for (auto _ : state) {
    auto qs = QuerySet<Model>(customer())
                  .filter({{"a", 1}})
                  .exclude({{"b", 2}})
                  .order_by("-c")[Slice(10, 20)];
    benchmark::DoNotOptimize(qs);
  }
}
BENCHMARK(Chain);

void Construct(benchmark::State& state) {
  for (auto _ : state) {
    QuerySet<Model> qs(customer());
    benchmark::DoNotOptimize(qs);
  }
}
BENCHMARK(Construct);

QuerySet<Model> refined() {
  return QuerySet<Model>(customer()).filter({{"a", 1}}).exclude({{"b", 2}}).order_by("-c");
}

void Copy(benchmark::State& state) {
  const QuerySet<Model> qs = refined();
  for (auto _ : state) {
    auto copy = qs._copy();
    benchmark::DoNotOptimize(copy);
  }
}
BENCHMARK(Copy);

void Filter(benchmark::State& state) {
  const QuerySet<Model> qs = refined();
  for (auto _ : state) {
    auto next = qs.filter({{"a", 1}});
    benchmark::DoNotOptimize(next);
  }
}
BENCHMARK(Filter);

void Exclude(benchmark::State& state) {
  const QuerySet<Model> qs = refined();
  for (auto _ : state) {
    auto next = qs.exclude({{"b", 2}});
    benchmark::DoNotOptimize(next);
  }
}
BENCHMARK(Exclude);

void OrderByOne(benchmark::State& state) {
  const QuerySet<Model> qs = refined();
  for (auto _ : state) {
    auto next = qs.order_by("-c");
    benchmark::DoNotOptimize(next);
  }
}
BENCHMARK(OrderByOne);

void SliceWindow(benchmark::State& state) {
  const QuerySet<Model> qs = refined();
  for (auto _ : state) {
    auto next = qs[Slice(10, 20)];
    benchmark::DoNotOptimize(next);
  }
}
BENCHMARK(SliceWindow);

}  // namespace
