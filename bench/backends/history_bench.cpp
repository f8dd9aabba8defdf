// Reading the lakehouse as of a time, on SQLite files (WAL): 100,000 objects with 10
// versions each, version k of every object saved k seconds after the first.
//  - AsOf_IndexedSelect: the 100 objects of a range of an indexed field as they were
//    between their fifth and sixth versions;
//  - AsOf_FullScan against Latest_FullScan: every object as of that time, and every
//    object's newest version (`latest()`), each materialised.
// The lakehouse is built once per folder (the objects saved by the store, the later
// versions copied from them by raw SQL) and reused by later runs of this binary.

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "velmor_models/backends/object_store.hpp"
#include "velmor_models/backends/registry.hpp"
#include "velmor_models/querysets/qsetkit.hpp"

namespace {

namespace json = boost::json;
namespace backends = velmor_models::backends;
namespace fs = std::filesystem;
using namespace velmor_models::querysets::qsetkit;
using velmor_models::classes::model::CoreTypes;
using velmor_models::classes::model::ModelClass;

constexpr int object_count = 100'000;
constexpr int versions_per_object = 10;
constexpr int selected = 100;
constexpr std::int64_t second = 1'000'000;

const ModelClassPtr& person() {
  static const ModelClassPtr cls = ModelClass::create("HistoryPerson", "history_people",
                                                      {{"id", CoreTypes::INTEGER, true, {}},
                                                       {"name", CoreTypes::STRING, true, {}},
                                                       {"email", CoreTypes::STRING, true, {}},
                                                       {"age", CoreTypes::INTEGER, true, {}}});
  return cls;
}

void exec(sqlite3* db, const std::string& sql) {
  char* error = nullptr;
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
    const std::string message = error ? error : "unknown error";
    sqlite3_free(error);
    throw std::runtime_error(sql + ": " + message);
  }
}

// The time between the fifth and sixth versions of every object.
std::chrono::sys_time<std::chrono::microseconds> between_versions;

void ensure_lakehouse() {
  static const bool ready = [] {
    const fs::path folder = fs::temp_directory_path() / "velmor-history-bench-1";
    const fs::path done = folder / "complete";
    if (!fs::exists(done)) {
      fs::remove_all(folder);
      fs::create_directories(folder);
    }
    backends::configure("default", "sqlite://" + (folder / "default.db").string());
    backends::configure("lakehouse", "sqlite://" + (folder / "lake.db").string());
    std::int64_t first = 0;
    if (!fs::exists(done)) {
      std::vector<json::object> batch;
      for (int i = 0; i < object_count; ++i) {
        batch.push_back({{"id", i},
                         {"name", "person-" + std::to_string(i)},
                         {"email", "person" + std::to_string(i) + "@example.com"},
                         {"age", 18 + (i * 7919) % 70}});
        if (batch.size() == 1000) {
          (void)backends::save_new_batch(person(), batch);
          batch.clear();
        }
      }
      sqlite3* db = nullptr;
      sqlite3_open((folder / "lake.db").c_str(), &db);
      // Every object's first version at one time, the later ones a second apart.
      exec(db, "BEGIN");
      exec(db, "UPDATE history_people SET _saved_at = (SELECT min(_saved_at) FROM history_people)");
      for (int k = 2; k <= versions_per_object; ++k) {
        const std::string v = std::to_string(k);
        exec(db,
             "INSERT INTO history_people (id, name, email, age, _metadata, _object_id, "
             "_object_version, _class_version, _saved_at) SELECT id, name, email, age + " +
                 v + ", json_set(_metadata, '$.object_version', " + v +
                 ", '$.saved_at', _saved_at + " + std::to_string((k - 1) * second) +
                 "), _object_id, " + v + ", _class_version, _saved_at + " +
                 std::to_string((k - 1) * second) +
                 " FROM history_people WHERE _object_version = 1");
      }
      exec(db, "CREATE INDEX history_people_id ON history_people (id)");
      exec(db, "COMMIT");
      exec(db, "ANALYZE");
      sqlite3_close(db);
      std::ofstream(done.string()) << "built\n";
    }
    sqlite3* db = nullptr;
    sqlite3_open((folder / "lake.db").c_str(), &db);
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(db, "SELECT min(_saved_at) FROM history_people", -1, &stmt, nullptr);
    sqlite3_step(stmt);
    first = sqlite3_column_int64(stmt, 0);
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    between_versions = std::chrono::sys_time<std::chrono::microseconds>(
        std::chrono::microseconds(first + 4 * second + second / 2));
    return true;
  }();
  (void)ready;
}

QuerySet<Model> lakehouse() {
  return QuerySet<Model>(person()).using_("lakehouse");
}

void AsOf_IndexedSelect(benchmark::State& state) {
  ensure_lakehouse();
  int start = 0;
  for (auto _ : state) {
    start = (start + 7919) % (object_count - selected);
    const auto rows = lakehouse()
                          .as_of(between_versions)
                          .filter({{"id__gte", start}, {"id__lt", start + selected}})
                          .execute();
    if (rows.size() != selected ||
        address_of(rows.front().model())->object_version != versions_per_object / 2)
      state.SkipWithError("wrong rows");
    benchmark::DoNotOptimize(rows);
  }
}

void AsOf_FullScan(benchmark::State& state) {
  ensure_lakehouse();
  for (auto _ : state) {
    const auto rows = lakehouse().as_of(between_versions).execute();
    if (rows.size() != object_count) state.SkipWithError("wrong row count");
    benchmark::DoNotOptimize(rows);
  }
  state.SetItemsProcessed(state.iterations() * object_count);
}

void Latest_FullScan(benchmark::State& state) {
  ensure_lakehouse();
  for (auto _ : state) {
    const auto rows = lakehouse().latest().execute();
    if (rows.size() != object_count) state.SkipWithError("wrong row count");
    benchmark::DoNotOptimize(rows);
  }
  state.SetItemsProcessed(state.iterations() * object_count);
}

}  // namespace

BENCHMARK(AsOf_IndexedSelect)->Unit(benchmark::kMillisecond);
BENCHMARK(AsOf_FullScan)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(Latest_FullScan)->Unit(benchmark::kMillisecond)->Iterations(3);
