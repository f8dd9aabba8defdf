// State shared across threads: the memory store read by several threads at once, and query
// sets executed as coroutines on an io_context that several threads run. Run under
// ThreadSanitizer by `scripts/test.sh --tsan` (label `threads`).

#include <gtest/gtest.h>

#include <atomic>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <thread>
#include <vector>

#include "velmor_models/backends/object_store.hpp"
#include "velmor_models/backends/registry.hpp"
#include "velmor_models/backends/tables.hpp"
#include "velmor_models/querysets/executor.hpp"
#include "velmor_models/querysets/qsetkit.hpp"
#include "velmor_utils/utils/decorators.hpp"

namespace {

namespace json = boost::json;
namespace backends = velmor_models::backends;
using namespace velmor_models::querysets::qsetkit;
using velmor_models::classes::model::CoreTypes;
using velmor_models::classes::model::Model;
using velmor_models::classes::model::ModelClass;
using velmor_models::classes::model::ModelClassPtr;
using velmor_utils::utils::decorators::Mode;
using velmor_utils::utils::decorators::ModeScope;

const ModelClassPtr& item() {
  static const ModelClassPtr cls = ModelClass::create(
      "Item", "thread_items",
      {{"id", CoreTypes::INTEGER, true, {}}, {"name", CoreTypes::STRING, false, {}}});
  return cls;
}

// Fills the table behind each alias with ids 0..99, names "n<id % 7>".
void fill(std::initializer_list<const char*> aliases) {
  std::vector<json::object> rows;
  for (int i = 0; i < 100; ++i) {
    std::string name = "n";
    name += std::to_string(i % 7);
    rows.push_back({{"id", i}, {"name", name}, {"_metadata", R"({"object_id": "1"})"}});
  }
  for (const char* alias : aliases) {
    backends::create_table(alias, *item());
    backends::insert_records(alias, *item(), rows);
  }
}

class Threads : public testing::Test {
 protected:
  void SetUp() override {
    backends::reset();
    velmor_models::querysets::executor::MemoryStore::instance().clear();
    backends::configure("mem", "memory:");
    backends::configure("lite", "sqlite::memory:");
    fill({"mem", "lite"});
  }
  void TearDown() override {
    backends::reset();
    backends::clear_class_version_cache();
  }
};

TEST_F(Threads, SeveralThreadsReadOneMemoryStore) {
  const QuerySet<Model> qs =
      QuerySet<Model>(item()).using_("mem").filter({{"name", "n3"}}).order_by("-id");
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 50; ++i) {
        auto rows = qs.execute();
        if (rows.size() != 14 || rows.front().model().get("id") != 94) ++wrong;
      }
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(wrong, 0);
}

// Coroutines on a loop that four threads run, each refining its own copy of one shared
// query set, against the memory store and against SQLite (whose statements run on the
// worker pool and resume on whichever loop thread is free).
TEST_F(Threads, CoroutinesOnAMultiThreadedLoopShareQuerySetsAndStores) {
  const QuerySet<Model> base = QuerySet<Model>(item()).filter({{"id__lt", 50}});
  ModeScope async(Mode::async);
  boost::asio::io_context loop(4);
  std::atomic<int> done{0}, wrong{0};
  for (int i = 0; i < 40; ++i) {
    boost::asio::co_spawn(
        loop,
        [&, alias = i % 2 ? "mem" : "lite"]() -> boost::asio::awaitable<void> {
          const auto qs = base.using_(alias).exclude({{"name", "n0"}});
          const auto rows = co_await qs.aexecute();
          const auto count = co_await qs.count().aexecute();
          if (rows.size() != 42 || count != 42) ++wrong;
          ++done;
        },
        [&](std::exception_ptr e) {
          if (e) ++wrong;
        });
  }
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) threads.emplace_back([&] { loop.run(); });
  for (auto& th : threads) th.join();
  EXPECT_EQ(done, 40);
  EXPECT_EQ(wrong, 0);
}

// The class-version cache and the store's write path under concurrent use: one thread
// registers new schemas of a class while others save objects and read versions.
TEST_F(Threads, RegistrationsSavesAndVersionReadsRace) {
  backends::configure("default", "sqlite::memory:");
  backends::configure("lakehouse", "sqlite::memory:");
  auto schema = [](int extra) {
    std::vector<velmor_models::classes::model::FieldDecl> fields{
        {"id", CoreTypes::INTEGER, true, {}}, {"name", CoreTypes::STRING, false, {}}};
    for (int i = 0; i < extra; ++i)
      fields.push_back({"extra" + std::to_string(i), CoreTypes::STRING, false, {}});
    return ModelClass::create("Racer", "racers", fields);
  };
  const auto first = schema(0);
  backends::register_model_class(first);
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  threads.emplace_back([&] {
    for (int v = 1; v <= 20; ++v)
      if (backends::register_model_class(schema(v)) != v + 1) ++wrong;
  });
  for (int t = 0; t < 2; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 30; ++i) {
        backends::save_new(first, {{"id", t * 100 + i}, {"name", "r"}});
        const auto latest = backends::latest_class_version("Racer");
        if (!latest || *latest < 1 || *latest > 21) ++wrong;
      }
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(backends::latest_class_version("Racer"), 21);
  EXPECT_EQ(QuerySet<Model>(schema(20)).count().execute(), 60);
}

}  // namespace
