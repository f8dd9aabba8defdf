// The store of versioned objects on files (WAL, synchronous=NORMAL), each next to a raw
// SQLite C API loop doing the same work:
//  - Materialise: 200,000 stored objects whose rows carry a concrete class version (every
//    row asks for the latest class version: the process-wide cache answers) against the
//    raw loop of sqlite_bench (read every row, parse `_metadata`);
//  - SaveBatches: 100,000 new objects in batches of 1,000 against raw inserts of the same
//    rows in transactions of 1,000;
//  - SaveUnits: the same 100,000 new objects as units of work of 1,000 saves each;
//  - SaveVersions: 10,000 new versions one at a time against 10,000 single-row raw
//    transactions, and against the statements a save runs written as a raw loop over the
//    store's two databases and tables (prepared once, no checks): what the SQL of a save
//    costs by itself.

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <unistd.h>
#include <boost/json/parse.hpp>

#include <chrono>
#include <filesystem>

#include "velmor_models/backends/object_store.hpp"
#include "velmor_models/backends/registry.hpp"
#include "velmor_models/backends/unit_of_work.hpp"
#include "velmor_models/querysets/qsetkit.hpp"

namespace {

namespace json = boost::json;
namespace backends = velmor_models::backends;
namespace fs = std::filesystem;
using namespace velmor_models::querysets::qsetkit;
using velmor_models::classes::model::CoreTypes;
using velmor_models::classes::model::ModelClass;

constexpr int stored_count = 200'000;
constexpr int batch_count = 100'000;
constexpr int batch_size = 1'000;
constexpr int version_count = 10'000;

const ModelClassPtr& person() {
  static const ModelClassPtr cls = ModelClass::create("StoredPerson", "stored_people",
                                                      {{"id", CoreTypes::INTEGER, true, {}},
                                                       {"name", CoreTypes::STRING, true, {}},
                                                       {"email", CoreTypes::STRING, true, {}},
                                                       {"age", CoreTypes::INTEGER, true, {}}});
  return cls;
}

json::object person_values(int i) {
  return json::object{{"id", i},
                      {"name", "person-" + std::to_string(i)},
                      {"email", "person" + std::to_string(i) + "@example.com"},
                      {"age", 18 + (i * 7919) % 70}};
}

// This process's databases (some 80 MB), removed when it ends.
struct Folder {
  fs::path path = fs::temp_directory_path() / ("velmor-store-bench-" + std::to_string(::getpid()));
  Folder() {
    fs::remove_all(path);
    fs::create_directories(path);
  }
  ~Folder() {
    std::error_code ignored;  // files still open go when they are closed
    fs::remove_all(path, ignored);
  }
};

fs::path folder() {
  static const Folder made;
  return made.path;
}

// Fresh default and lakehouse files.
void fresh_store(const std::string& name) {
  backends::configure("default", "sqlite://" + (folder() / (name + "-default.db")).string());
  backends::configure("lakehouse", "sqlite://" + (folder() / (name + "-lake.db")).string());
  backends::clear_class_version_cache();
}

void save_all(int count) {
  std::vector<json::object> batch;
  for (int i = 0; i < count; ++i) {
    batch.push_back(person_values(i));
    if (static_cast<int>(batch.size()) == batch_size || i + 1 == count) {
      (void)backends::save_new_batch(person(), batch);
      batch.clear();
    }
  }
}

void ensure_stored() {
  static const bool ready = [] {
    fresh_store("stored");
    save_all(stored_count);
    return true;
  }();
  (void)ready;
}

sqlite3* raw_open(const fs::path& path) {
  sqlite3* db = nullptr;
  sqlite3_open_v2(path.c_str(), &db,
                  SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
  sqlite3_exec(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
  return db;
}

void Materialise_RawLoop(benchmark::State& state) {
  ensure_stored();
  sqlite3* db = raw_open(folder() / "stored-default.db");
  sqlite3_stmt* stmt = nullptr;
  sqlite3_prepare_v2(db, R"(SELECT "id", "name", "email", "age", "_metadata" FROM "stored_people")",
                     -1, &stmt, nullptr);
  for (auto _ : state) {
    std::vector<json::object> rows;
    while (sqlite3_step(stmt) == SQLITE_ROW) {
      json::object row(5);
      row.emplace("id", sqlite3_column_int64(stmt, 0));
      for (int c : {1, 2})
        row.emplace(sqlite3_column_name(stmt, c),
                    std::string_view(reinterpret_cast<const char*>(sqlite3_column_text(stmt, c)),
                                     sqlite3_column_bytes(stmt, c)));
      row.emplace("age", sqlite3_column_int64(stmt, 3));
      row.emplace("_metadata", json::parse(std::string_view(
                                   reinterpret_cast<const char*>(sqlite3_column_text(stmt, 4)),
                                   sqlite3_column_bytes(stmt, 4))));
      rows.push_back(std::move(row));
    }
    sqlite3_reset(stmt);
    if (rows.size() != stored_count) state.SkipWithError("wrong row count");
    benchmark::DoNotOptimize(rows);
  }
  sqlite3_finalize(stmt);
  sqlite3_close(db);
  state.SetItemsProcessed(state.iterations() * stored_count);
}

void Materialise_Library(benchmark::State& state) {
  ensure_stored();
  const QuerySet<Model> all(person());
  for (auto _ : state) {
    auto people = all.execute();
    if (people.size() != stored_count || !people.front().is_current())
      state.SkipWithError("wrong rows");
    benchmark::DoNotOptimize(people);
  }
  state.SetItemsProcessed(state.iterations() * stored_count);
}

void SaveBatches_RawLoop(benchmark::State& state) {
  for (auto _ : state) {
    const fs::path path = folder() / "raw-batches.db";
    fs::remove(path);
    sqlite3* db = raw_open(path);
    sqlite3_exec(db,
                 "CREATE TABLE t (id INTEGER, name TEXT, email TEXT, age INTEGER, _metadata TEXT, "
                 "_object_id TEXT, _object_version INTEGER, _class_version INTEGER)",
                 nullptr, nullptr, nullptr);
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO t VALUES (?, ?, ?, ?, ?, ?, 1, 1)", -1, &stmt, nullptr);
    for (int i = 0; i < batch_count; ++i) {
      if (i % batch_size == 0) sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
      const json::object v = person_values(i);
      const std::string id = std::to_string(i), meta = R"({"object_id":")" + id + "\"}";
      sqlite3_bind_int64(stmt, 1, i);
      sqlite3_bind_text(stmt, 2, v.at("name").as_string().c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(stmt, 3, v.at("email").as_string().c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_int64(stmt, 4, v.at("age").as_int64());
      sqlite3_bind_text(stmt, 5, meta.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(stmt, 6, id.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_step(stmt);
      sqlite3_reset(stmt);
      if ((i + 1) % batch_size == 0) sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
  }
  state.SetItemsProcessed(state.iterations() * batch_count);
}

void SaveBatches_Library(benchmark::State& state) {
  int run = 0;
  for (auto _ : state) {
    state.PauseTiming();
    fresh_store("batches-" + std::to_string(run++));
    state.ResumeTiming();
    save_all(batch_count);
  }
  state.SetItemsProcessed(state.iterations() * batch_count);
}

// The same 100,000 new objects as units of work of 1,000 saves each.
void SaveUnits_Library(benchmark::State& state) {
  int run = 0;
  for (auto _ : state) {
    state.PauseTiming();
    fresh_store("units-" + std::to_string(run++));
    state.ResumeTiming();
    for (int i = 0; i < batch_count;) {
      backends::UnitOfWork unit;
      for (int n = 0; n < batch_size; ++n, ++i) unit.save_new(person(), person_values(i));
      (void)unit.commit();
    }
  }
  state.SetItemsProcessed(state.iterations() * batch_count);
}

void SaveVersions_RawLoop(benchmark::State& state) {
  for (auto _ : state) {
    const fs::path path = folder() / "raw-versions.db";
    fs::remove(path);
    sqlite3* db = raw_open(path);
    sqlite3_exec(db, "CREATE TABLE t (id INTEGER, name TEXT, email TEXT, age INTEGER)", nullptr,
                 nullptr, nullptr);
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO t VALUES (?, ?, ?, ?)", -1, &stmt, nullptr);
    for (int i = 0; i < version_count; ++i) {
      const json::object v = person_values(i);
      sqlite3_bind_int64(stmt, 1, i);
      sqlite3_bind_text(stmt, 2, v.at("name").as_string().c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(stmt, 3, v.at("email").as_string().c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_int64(stmt, 4, v.at("age").as_int64());
      sqlite3_step(stmt);  // one transaction per row, like one save
      sqlite3_reset(stmt);
    }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
  }
  state.SetItemsProcessed(state.iterations() * version_count);
}

void SaveVersions_RawStoreSql(benchmark::State& state) {
  for (auto _ : state) {
    const fs::path lake_path = folder() / "raw-store-lake.db",
                   main_path = folder() / "raw-store.db";
    for (const fs::path& p : {lake_path, main_path}) fs::remove(p);
    sqlite3* lake = raw_open(lake_path);
    sqlite3* main = raw_open(main_path);
    const char* table =
        "CREATE TABLE p (id INTEGER, name TEXT, email TEXT, age INTEGER, _metadata TEXT, "
        "_object_id TEXT, _object_version INTEGER, _class_version INTEGER, _saved_at INTEGER);"
        "CREATE INDEX p_class ON p (_class_version);";
    sqlite3_exec(lake, table, nullptr, nullptr, nullptr);
    sqlite3_exec(main, table, nullptr, nullptr, nullptr);
    sqlite3_exec(lake,
                 "CREATE UNIQUE INDEX p_version ON p (_object_id, _object_version);"
                 "CREATE TABLE o (class_name TEXT NOT NULL, object_id TEXT NOT NULL, "
                 "latest_version INTEGER NOT NULL, deleted INTEGER NOT NULL DEFAULT 0, "
                 "saved_at INTEGER, PRIMARY KEY (class_name, object_id));"
                 "CREATE TABLE pending (save_id TEXT, table_name TEXT NOT NULL, object_id TEXT "
                 "NOT NULL, object_version INTEGER NOT NULL, deleted INTEGER NOT NULL);"
                 "INSERT INTO o VALUES ('StoredPerson', 'x', 0, 0, NULL)",
                 nullptr, nullptr, nullptr);
    sqlite3_exec(main, "CREATE UNIQUE INDEX p_object ON p (_object_id)", nullptr, nullptr, nullptr);
    auto prepare = [](sqlite3* db, const char* sql) {
      sqlite3_stmt* stmt = nullptr;
      sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr);
      return stmt;
    };
    sqlite3_stmt* lake_begin = prepare(lake, "BEGIN IMMEDIATE");
    sqlite3_stmt* lake_commit = prepare(lake, "COMMIT");
    sqlite3_stmt* main_begin = prepare(main, "BEGIN IMMEDIATE");
    sqlite3_stmt* main_commit = prepare(main, "COMMIT");
    sqlite3_stmt* move_on = prepare(
        lake,
        "UPDATE o SET latest_version = ?, saved_at = CASE WHEN saved_at IS NOT NULL AND "
        "saved_at > ? THEN saved_at ELSE ? END WHERE class_name = 'StoredPerson' AND object_id "
        "= 'x' AND latest_version = ? AND deleted = 0 RETURNING saved_at");
    sqlite3_stmt* lake_row = prepare(lake, "INSERT INTO p VALUES (?, ?, ?, ?, ?, 'x', ?, 1, ?)");
    sqlite3_stmt* entry = prepare(lake, "INSERT INTO pending VALUES (?, 'p', 'x', ?, 0)");
    sqlite3_stmt* prune = prepare(lake, "DELETE FROM pending WHERE save_id = ?");
    sqlite3_stmt* older =
        prepare(main, "DELETE FROM p WHERE _object_id = 'x' AND _object_version < ?");
    sqlite3_stmt* main_row = prepare(main, "INSERT INTO p VALUES (?, ?, ?, ?, ?, 'x', ?, 1, ?)");
    auto step = [](sqlite3_stmt* stmt) {
      sqlite3_step(stmt);
      sqlite3_reset(stmt);
    };
    for (int i = 1; i <= version_count; ++i) {
      const json::object v = person_values(i);
      const std::int64_t now = std::chrono::duration_cast<std::chrono::microseconds>(
                                   std::chrono::system_clock::now().time_since_epoch())
                                   .count();
      const std::string meta =
          R"({"object_id":""x"","object_version":)" + std::to_string(i) +
          R"(,"class_schema_reference":{"ref":{"class_name":"StoredPerson","object_version":1}},"saved_at":)" +
          std::to_string(now) + "}";
      const std::string save = std::to_string(i), last = std::to_string(i - 1);
      step(lake_begin);
      sqlite3_bind_int64(move_on, 1, i);
      sqlite3_bind_int64(move_on, 2, now);
      sqlite3_bind_int64(move_on, 3, now);
      sqlite3_bind_int64(move_on, 4, i - 1);
      step(move_on);
      sqlite3_bind_text(prune, 1, last.c_str(), -1, SQLITE_TRANSIENT);
      step(prune);
      for (sqlite3_stmt* row : {lake_row, main_row}) {
        sqlite3_bind_int64(row, 1, i);
        sqlite3_bind_text(row, 2, v.at("name").as_string().c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(row, 3, v.at("email").as_string().c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int64(row, 4, v.at("age").as_int64());
        sqlite3_bind_text(row, 5, meta.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int64(row, 6, i);
        sqlite3_bind_int64(row, 7, now);
      }
      step(lake_row);
      sqlite3_bind_text(entry, 1, save.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_int64(entry, 2, i);
      step(entry);
      step(main_begin);
      sqlite3_bind_int64(older, 1, i);
      step(older);
      step(main_row);
      step(lake_commit);
      step(main_commit);
    }
    for (sqlite3_stmt* stmt : {lake_begin, lake_commit, main_begin, main_commit, move_on, lake_row,
                               entry, prune, older, main_row})
      sqlite3_finalize(stmt);
    sqlite3_close(lake);
    sqlite3_close(main);
  }
  state.SetItemsProcessed(state.iterations() * version_count);
}

void SaveVersions_Library(benchmark::State& state) {
  int run = 0;
  for (auto _ : state) {
    state.PauseTiming();
    fresh_store("versions-" + std::to_string(run++));
    const auto first = backends::save_new(person(), person_values(0));
    state.ResumeTiming();
    for (int i = 1; i <= version_count; ++i)
      (void)backends::save_version(person(), first.object_id, i, person_values(i));
  }
  state.SetItemsProcessed(state.iterations() * version_count);
}

BENCHMARK(Materialise_RawLoop)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(Materialise_Library)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(SaveBatches_RawLoop)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(SaveBatches_Library)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(SaveUnits_Library)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(SaveVersions_RawLoop)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(SaveVersions_RawStoreSql)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(SaveVersions_Library)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace
