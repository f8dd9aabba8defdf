// Allocation failure at every step of running a query set and materialising its records,
// and of saving objects: the global operator new is replaced by one that fails after a
// countdown, and the countdown is swept from 0 up to the number of allocations one run
// needs. Every run must either succeed in full or throw std::bad_alloc: no crash, no
// partial result, nothing half saved (and, in the sanitizer build, no leak).

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <boost/json/serialize.hpp>
#include <cstdlib>
#include <new>
#include <thread>

#include "backends/temp_folder.hpp"
#include "qsetkit/test_executors.hpp"
#include "velmor_models/backends/object_store.hpp"
#include "velmor_models/backends/registry.hpp"
#include "velmor_models/backends/sqlite/sqlite_backend.hpp"
#include "velmor_models/querysets/qsetkit.hpp"
#include "velmor_utils/utils/decorators.hpp"

namespace {

// Armed on the testing thread only, so that no other thread (a worker of the store, the
// test framework) meets a failure it was not written for. Negative: no limit.
thread_local long allocations_left = -1;
thread_local long failures = 0;

void* allocate(std::size_t size) {
  if (allocations_left == 0) {
    ++failures;
    throw std::bad_alloc();
  }
  if (allocations_left > 0) --allocations_left;
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t size) {
  return allocate(size);
}
void* operator new[](std::size_t size) {
  return allocate(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return allocate(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return operator new(size, std::nothrow);
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete[](void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  std::free(p);
}

namespace {

namespace backends = velmor_models::backends;
namespace json = boost::json;
using velmor_models::classes::model::CoreTypes;
using velmor_models::classes::model::Model;
using velmor_models::classes::model::ModelClass;
using velmor_models::classes::model::ModelClassPtr;
using velmor_models::querysets::qsetkit::Instance;
using velmor_models::querysets::qsetkit::QuerySet;

const ModelClassPtr& book() {
  static const ModelClassPtr cls = ModelClass::create(
      "AllocBook", "alloc_books",
      {{"title", CoreTypes::STRING, true, {}}, {"pages", CoreTypes::INTEGER, false, {}}});
  return cls;
}

namespace decorators = velmor_utils::utils::decorators;

// Runs `qs` on the synchronous or the coroutine path (the store's own work on its worker
// threads is not armed; what runs on this thread is).
std::vector<Instance<Model>> execute(const QuerySet<Model>& qs, bool coroutine) {
  if (!coroutine) return qs.execute();
  decorators::ModeScope async(decorators::Mode::async);
  return velmor_test::run(qs.aexecute());
}

std::string titles(const std::vector<Instance<Model>>& all) {
  std::string out;
  for (const auto& i : all)
    out += json::serialize(i.model().get("title")) + (i.is_current() ? " " : "(not current) ");
  return out;
}

// Runs `run` with allocations failing after 0, 1, 2, ... of them, until a run meets no
// failure; `prepare` runs before each, unarmed. Returns the allocations a whole run needs.
long sweep(const std::function<void()>& prepare,
           const std::function<std::vector<Instance<Model>>()>& run, const std::string& expected) {
  for (long n = 0;; ++n) {
    prepare();
    std::optional<std::vector<Instance<Model>>> got;
    std::string error;
    failures = 0;
    allocations_left = n;
    try {
      got = run();
    } catch (const std::bad_alloc&) {
    } catch (const std::exception& e) {
      error = std::string(typeid(e).name()) + ": " + e.what();
    }
    allocations_left = -1;
    const long failed = failures;
    if (!error.empty()) {
      ADD_FAILURE() << "failing allocation " << n << " became " << error;
    } else if (got) {
      EXPECT_EQ(titles(*got), expected) << "failing allocation " << n;
      if (failed == 0) return n;
    } else {
      EXPECT_GT(failed, 0) << "std::bad_alloc with no failed allocation";
    }
    if (n > 200000) {
      ADD_FAILURE() << "the sweep does not end";
      return n;
    }
  }
}

TEST(AllocationFailure, MaterialisingRecordsFromAnExecutor) {
  velmor_test::LatestVersions versions(json::value(2));
  velmor_test::Script s;
  s.records.emplace();
  for (const char* title : {"t0", "t1", "t2"}) {
    json::object meta{{"object_id", json::serialize(json::value(title))},
                      {"class_schema_reference", {{"ref", {{"object_version", 2}}}}}};
    s.records->push_back(velmor_glue::Data{
        json::object{{"title", title}, {"pages", 1}, {"_metadata", json::serialize(meta)}},
        json::object{}});
  }
  const QuerySet<Model> qs(book(), velmor_test::factory(s), velmor_test::async_factory(s));
  for (bool coroutine : {false, true}) {
    SCOPED_TRACE(coroutine ? "coroutine" : "sync");
    const long needed = sweep([] {}, [&] { return execute(qs, coroutine); }, R"("t0" "t1" "t2" )");
    EXPECT_GT(needed, 10);
    std::printf("one %s run of a stand-in executor: %ld allocations\n",
                coroutine ? "coroutine" : "sync", needed);
  }
}

TEST(AllocationFailure, RunningAndMaterialisingOnSqlite) {
  velmor_test::TempFolder folder;
  backends::reset();
  backends::configure("default", folder.url("default.db"));
  backends::configure("lakehouse", folder.url("lake.db"));
  for (const char* title : {"a", "b", "c"}) (void)backends::save_new(book(), {{"title", title}});
  const QuerySet<Model> qs =
      QuerySet<Model>(book()).filter({{"pages__isnull", true}}).order_by("title");
  // Each run from cold: new connections (nothing prepared yet), no class versions known.
  auto cold = [&] {
    backends::configure("default", folder.url("default.db"));
    backends::configure("lakehouse", folder.url("lake.db"));
    backends::clear_class_version_cache();
  };
  // What SQLite holds comes back to where it was once the connections of the sweep are
  // closed: a statement left unfinalized would keep its connection open. A worker thread
  // may let go of the previous connections a moment later, and SQLite may keep a few bytes
  // per file for descriptors it closes late.
  auto settled = [&] {
    cold();
    sqlite3_int64 last = sqlite3_memory_used();
    for (int still = 0, i = 0; still < 3 && i < 200; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      const sqlite3_int64 now = sqlite3_memory_used();
      still = now == last ? still + 1 : 0;
      last = now;
    }
    return last;
  };
  for (bool coroutine : {false, true}) {
    SCOPED_TRACE(coroutine ? "coroutine" : "sync");
    const sqlite3_int64 before = settled();
    const long needed = sweep(
        cold, [&] { return execute(qs, coroutine); }, R"("a" "b" "c" )");
    EXPECT_GT(needed, 10);
    EXPECT_LE(settled() - before, 1024) << "bytes SQLite holds after the sweep";
    std::printf("one cold %s run on SQLite: %ld allocations\n", coroutine ? "coroutine" : "sync",
                needed);
  }
  backends::reset();
}

// Every stored row and every object's state in both databases, as text.
std::string stored() {
  auto dump = [](std::string_view alias, const std::string& sql) {
    auto& db = dynamic_cast<backends::SqliteBackend&>(*backends::backend_for(alias));
    return json::serialize(*db.run({sql, {}, {{"v", CoreTypes::STRING}}}).at(0).data);
  };
  const std::string books =
      "SELECT json_group_array(json_array(\"_object_id\", \"_object_version\", title)) AS v "
      "FROM (SELECT * FROM alloc_books ORDER BY 1, 2, 3)";
  return dump("default", books) + dump("lakehouse", books) +
         dump("lakehouse",
              "SELECT json_group_array(json_array(object_id, latest_version, deleted)) AS v "
              "FROM (SELECT * FROM _velmor_objects ORDER BY 1, 2)");
}

TEST(AllocationFailure, SavingIsAllOrNothing) {
  velmor_test::TempFolder folder;
  backends::reset();
  backends::configure("default", folder.url("default.db"));
  backends::configure("lakehouse", folder.url("lake.db"));
  (void)backends::save_new(book(), {{"title", "a"}}, "o1");
  const std::function<void()> saves[] = {
      [] {
        (void)backends::save_new(book(), {{"title", "n"}}, "n1");
      },
      [] {
        (void)backends::save_new_batch(
            book(), std::vector<json::object>{{{"title", "b"}, {"_object_id", "b1"}},
                                              {{"title", "c"}, {"_object_id", "b2"}}});
      },
      [] {
        (void)backends::save_version(book(), "o1", 1, {{"title", "a2"}});
      },
      [] { backends::delete_object(book(), "o1"); },
  };
  for (const auto& save : saves) {
    const std::string before = stored();
    for (long n = 0;; ++n) {
      failures = 0;
      allocations_left = n;
      bool saved = false;
      std::string error;
      try {
        save();
        saved = true;
      } catch (const std::bad_alloc&) {
      } catch (const std::exception& e) {
        error = std::string(typeid(e).name()) + ": " + e.what();
      }
      allocations_left = -1;
      ASSERT_EQ(error, "") << "failing allocation " << n;
      if (!saved) {
        ASSERT_EQ(stored(), before) << "half saved when allocation " << n << " failed";
        continue;
      }
      EXPECT_NE(stored(), before);
      break;  // saved (a failure met after both commits may have been passed over)
    }
  }
  backends::reset();
}

}  // namespace
