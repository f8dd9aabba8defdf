// The cost of compiling a typical query set to SQL: a filter on two fields, an
// exclusion, an ordering and a slice, per dialect.

#include <benchmark/benchmark.h>

#include "velmor_models/backends/sql/compiler.hpp"
#include "velmor_models/backends/sql/dialect.hpp"
#include "velmor_models/querysets/qsetkit.hpp"

namespace {

using namespace velmor_models::querysets::qsetkit;
namespace sql = velmor_models::backends::sql;
using velmor_models::classes::model::CoreTypes;
using velmor_models::classes::model::ModelClass;

QuerySet<Model> typical() {
  static const ModelClassPtr cls = ModelClass::create("Customer", "customers",
                                                      {{"id", CoreTypes::INTEGER, true, {}},
                                                       {"name", CoreTypes::STRING, true, {}},
                                                       {"email", CoreTypes::STRING, false, {}},
                                                       {"age", CoreTypes::INTEGER, false, {}}});
  return QuerySet<Model>(cls)
      .filter({{"age__gte", 18}, {"name__startswith", "A"}})
      .exclude({{"email", nullptr}})
      .order_by("-age", "name")[Slice(20, 40)];
}

void compile(benchmark::State& state, const sql::Dialect& dialect) {
  const QuerySet<Model> qs = typical();
  for (auto _ : state) {
    sql::Statement s = sql::compile_select(qs, dialect);
    benchmark::DoNotOptimize(s);
  }
}

void BM_CompileSqlite(benchmark::State& state) { compile(state, sql::sqlite_dialect()); }
void BM_CompilePostgres(benchmark::State& state) { compile(state, sql::postgres_dialect()); }
void BM_CountSqlite(benchmark::State& state) {
  const QuerySet<Model> qs = typical();
  for (auto _ : state) {
    sql::Statement s = sql::compile_count(qs, sql::sqlite_dialect());
    benchmark::DoNotOptimize(s);
  }
}

BENCHMARK(BM_CompileSqlite);
BENCHMARK(BM_CompilePostgres);
BENCHMARK(BM_CountSqlite);

}  // namespace
