// Units of work and the history of objects, on every SQL store: a unit writes all its
// changes or none, stale anywhere refuses it whole, concurrent units on one object let
// exactly one win per conflict; every version records when it was saved, deletions too,
// and an id deleted can start anew.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_future.hpp>
#include <future>
#include <thread>

#include "backends/stores.hpp"
#include "velmor_models/backends/history.hpp"
#include "velmor_models/backends/registry.hpp"
#include "velmor_models/backends/unit_of_work.hpp"
#include "velmor_models/classes/class_manager.hpp"
#include "velmor_models/querysets/errors.hpp"
#include "velmor_models/querysets/qsetkit.hpp"

namespace {

namespace backends = velmor_models::backends;
namespace json = boost::json;
using velmor_models::classes::class_manager::ClassManager;
using velmor_models::classes::model::CoreTypes;
using velmor_models::classes::model::ModelClass;
using velmor_models::classes::model::ModelClassPtr;
using velmor_models::querysets::errors::ObjectDoesNotExistError;
using velmor_models::querysets::qsetkit::Model;
using velmor_models::querysets::qsetkit::NamedFilters;
using velmor_models::querysets::qsetkit::QuerySet;
using velmor_utils::errors::ValueError;

const ModelClassPtr& order_class() {
  static const ModelClassPtr cls = ModelClass::create(
      "UnitOrder", "unit_orders",
      {{"customer", CoreTypes::STRING, true, {}}, {"total", CoreTypes::INTEGER, false, {}}});
  return cls;
}
const ModelClassPtr& line_class() {
  static const ModelClassPtr cls = ModelClass::create(
      "UnitLine", "unit_lines",
      {{"item", CoreTypes::STRING, true, {}},
       {"qty", CoreTypes::INTEGER, false, {}},
       velmor_models::classes::model::reference_field("order", "UnitOrder", false)});
  return cls;
}

std::int64_t live(const ModelClassPtr& cls) {
  return QuerySet<Model>(cls).count().execute();
}
std::int64_t versions(const ModelClassPtr& cls) {
  return QuerySet<Model>(cls).using_("lakehouse").count().execute();
}
std::string state() {
  return std::to_string(live(order_class())) + "/" + std::to_string(versions(order_class())) + " " +
         std::to_string(live(line_class())) + "/" + std::to_string(versions(line_class()));
}

class UnitsAndHistory : public testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    backends::reset();
    urls = velmor_test::configure_store_aliases(GetParam(), folder);
    for (const ModelClassPtr& cls : {order_class(), line_class()}) {
      ClassManager::register_class(cls);  // select_related finds a referenced class here
      (void)backends::register_model_class(cls);
    }
  }
  void TearDown() override { backends::reset(); }
  velmor_test::TempFolder folder;
  std::pair<std::string, std::string> urls;
};

TEST_P(UnitsAndHistory, AUnitWritesEveryChangeOrNone) {
  const auto kept = backends::save_new(order_class(), {{"customer", "Kim"}, {"total", 1}});
  const auto gone = backends::save_new(line_class(), {{"item", "old"}});
  {
    backends::UnitOfWork unit;  // an order and its lines, one change to another, a deletion
    unit.save_new(order_class(), {{"customer", "Ann"}, {"total", 3}}, "o1");
    for (int i = 0; i < 3; ++i) unit.save_new(line_class(), {{"item", "l" + std::to_string(i)}});
    unit.save_version(order_class(), kept, {{"customer", "Kim"}, {"total", 2}});
    unit.delete_object(line_class(), gone.object_id);
    EXPECT_EQ(unit.size(), 4u) << "the lines in a row are one batch";
    const auto saved = unit.commit();
    ASSERT_EQ(saved.size(), 5u);
    EXPECT_EQ(saved[0].object_id, "o1");
    EXPECT_EQ(saved[4].object_version, 2);
    EXPECT_THROW(unit.commit(), ValueError);
    EXPECT_THROW(unit.save_new(order_class(), {{"customer", "late"}}), ValueError);
  }
  EXPECT_EQ(state(), "2/3 3/4");
  const std::string before = state();
  // A failure at any change, and a unit left without a commit: nothing of it is written.
  const auto base = QuerySet<Model>(order_class()).get(NamedFilters{{"customer", "Kim"}}).execute();
  for (int failing = 0; failing < 4; ++failing) {
    SCOPED_TRACE(failing);
    backends::UnitOfWork unit;
    unit.save_new(line_class(), {{"item", "x"}});
    if (failing == 0) unit.save_new(order_class(), {{"customer", "dup"}}, "o1");  // id in use
    unit.save_version(order_class(), base, {{"customer", "Kim"}, {"total", 9}});
    if (failing == 1) unit.save_version(order_class(), base, {{"customer", "Kim"}});  // stale
    if (failing == 2) unit.delete_object(line_class(), "nobody");
    if (failing == 3) continue;  // never committed
    try {
      (void)unit.commit();
      ADD_FAILURE() << "committed";
    } catch (const backends::StaleVersionError& e) {
      EXPECT_EQ(failing, 1);
      EXPECT_NE(std::string(e.what()).find(kept.object_id), std::string::npos) << e.what();
    } catch (const ObjectDoesNotExistError&) {
      EXPECT_EQ(failing, 2);
    } catch (const ValueError&) {
      EXPECT_EQ(failing, 0);
    }
    EXPECT_EQ(state(), before);
  }
  // Values are checked when a change is added; the unit keeps what it held.
  backends::UnitOfWork unit;
  unit.save_new(line_class(), {{"item", "y"}});
  EXPECT_THROW(unit.save_new(line_class(), {{"qty", 1}}), velmor_utils::errors::ValidationError);
  EXPECT_EQ(unit.commit().size(), 1u);
}

TEST_P(UnitsAndHistory, ConcurrentUnitsOnOneObjectLetOneWinPerConflict) {
  const auto counter = backends::save_new(order_class(), {{"customer", "c"}, {"total", 0}});
  constexpr int writers = 3, rounds = 15;
  std::atomic<int> conflicts{0};
  auto write = [&] {
    for (int done = 0; done < rounds;) {
      const auto now = QuerySet<Model>(order_class())
                           .get(NamedFilters{{"_address__object_id", counter.object_id}})
                           .execute();
      backends::UnitOfWork unit;
      unit.save_version(order_class(), now,
                        {{"customer", "c"}, {"total", now.model().get("total").as_int64() + 1}});
      unit.save_new(line_class(), {{"item", "tick"}});
      try {
        (void)unit.commit();
        ++done;
      } catch (const backends::StaleVersionError&) {
        ++conflicts;
      }
    }
  };
  std::vector<std::thread> threads;
  for (int i = 0; i < writers; ++i) threads.emplace_back(write);
  for (auto& t : threads) t.join();
  int expected = writers * rounds;
  // Another process too, where the databases are shared between processes.
  if (!urls.first.empty()) {
    backends::reset();
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      int status = 0;
      try {
        backends::configure("default", urls.first);
        backends::configure("lakehouse", urls.second);
        write();
      } catch (...) {
        status = 3;
      }
      ::_exit(status);
    }
    backends::configure("default", urls.first);
    backends::configure("lakehouse", urls.second);
    write();
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    expected += 2 * rounds;
  }
  const auto last = QuerySet<Model>(order_class())
                        .get(NamedFilters{{"_address__object_id", counter.object_id}})
                        .execute();
  EXPECT_EQ(last.model().get("total").as_int64(), expected) << conflicts << " conflicts";
  EXPECT_EQ(last.address()->object_version, expected + 1);
  EXPECT_EQ(live(line_class()), expected) << "a refused unit saved its line";
}

TEST_P(UnitsAndHistory, EveryVersionAndDeletionIsInTheHistoryInOrder) {
  const ModelClassPtr& cls = order_class();
  (void)backends::save_new(cls, {{"customer", "Bo"}, {"total", 1}}, "h1");
  (void)backends::save_version(cls, "h1", 1, {{"customer", "Bo"}, {"total", 2}});
  backends::delete_object(cls, "h1");
  // The id starts anew, its versions continuing after the deletion.
  EXPECT_EQ(backends::save_new(cls, {{"customer", "Bo II"}}, "h1").object_version, 3);
  (void)backends::save_version(cls, "h1", 3, {{"customer", "Bo II"}, {"total", 5}});
  const auto steps = backends::history(cls, "h1");
  ASSERT_EQ(steps.size(), 5u);
  const std::vector<std::pair<std::int64_t, bool>> expected = {
      {1, false}, {2, false}, {2, true}, {3, false}, {4, false}};
  for (std::size_t i = 0; i < steps.size(); ++i) {
    EXPECT_EQ(steps[i].address.object_version, expected[i].first) << i;
    EXPECT_EQ(steps[i].deletion, expected[i].second) << i;
    if (i) {
      EXPECT_GE(steps[i].at, steps[i - 1].at) << "time went back at " << i;
    }
  }
  EXPECT_TRUE(steps[2].values.empty());
  EXPECT_EQ(steps[1].values.at("total"), json::value(2));
  EXPECT_EQ(backends::changes_between(cls, "h1", 2, 4),
            (std::vector<backends::FieldChange>{{"customer", "Bo", "Bo II"}, {"total", 2, 5}}));
  EXPECT_TRUE(backends::changes_between(cls, "h1", 1, 1).empty());
  EXPECT_THROW(backends::changes_between(cls, "h1", 1, 9), ObjectDoesNotExistError);
  EXPECT_THROW(backends::history(cls, "nobody"), ObjectDoesNotExistError);
  EXPECT_EQ(live(cls), 1);
}

// The times the store records are the instants as_of reads at: each save and deletion is
// seen from its own microsecond on and not a microsecond before, and select_related follows
// a reference as of the same time.
TEST_P(UnitsAndHistory, AsOfSeesEachSaveAndDeletionFromItsInstantOn) {
  using std::chrono::microseconds;
  const ModelClassPtr& order = order_class();
  const auto pause = [] { std::this_thread::sleep_for(std::chrono::milliseconds(2)); };
  const auto first = backends::save_new(order, {{"customer", "A"}, {"total", 1}}, "o1");
  pause();
  (void)backends::save_new(line_class(),
                           {{"item", "x"},
                            {"order",
                             {{"class_name", "UnitOrder"},
                              {"class_version", "LATEST"},
                              {"object_id", "o1"},
                              {"object_version", "LATEST"}}}},
                           "l1");
  pause();
  (void)backends::save_version(order, "o1", 1, {{"customer", "A"}, {"total", 2}});
  pause();
  backends::delete_object(order, "o1");
  const auto steps = backends::history(order, "o1");
  ASSERT_EQ(steps.size(), 3u);
  const auto line_saved = backends::history(line_class(), "l1").at(0).at;
  // One address, with its time, wherever it is read.
  EXPECT_EQ(steps[0].address, first);
  EXPECT_EQ(steps[0].address.saved_at, steps[0].at);
  EXPECT_EQ(QuerySet<Model>(order)
                .using_("lakehouse")
                .get({{"_address__object_version", 1}})
                .execute()
                .address(),
            first);

  const auto orders_at = [&](auto t) {
    std::vector<std::int64_t> totals;
    for (const auto& o : QuerySet<Model>(order).using_("lakehouse").as_of(t).execute())
      totals.push_back(o.model().get("total").as_int64());
    return totals;
  };
  using V = std::vector<std::int64_t>;
  EXPECT_EQ(orders_at(steps[0].at - microseconds(1)), V{});
  EXPECT_EQ(orders_at(steps[0].at), V{1});
  EXPECT_EQ(orders_at(steps[1].at - microseconds(1)), V{1});
  EXPECT_EQ(orders_at(steps[1].at), V{2});
  EXPECT_EQ(orders_at(steps[2].at - microseconds(1)), V{2});
  EXPECT_EQ(orders_at(steps[2].at), V{});
  EXPECT_EQ(QuerySet<Model>(order)
                .using_("lakehouse")
                .as_of(steps[1].at)
                .filter({{"total__gte", 2}})
                .count()
                .execute(),
            1);

  // The line's order as it was at each time: none yet, the first version, the second,
  // then none (deleted).
  const auto order_of_line_at = [&](auto t) -> std::string {
    const auto lines = QuerySet<Model>(line_class())
                           .using_("lakehouse")
                           .as_of(t)
                           .select_related("order")
                           .execute();
    if (lines.size() != 1) return "lines: " + std::to_string(lines.size());
    const auto o = lines.at(0).related("order");
    return o ? std::to_string(o->model().get("total").as_int64()) : "none";
  };
  EXPECT_EQ(order_of_line_at(line_saved - microseconds(1)), "lines: 0");
  EXPECT_EQ(order_of_line_at(line_saved), "1");
  EXPECT_EQ(order_of_line_at(steps[1].at), "2");
  EXPECT_EQ(order_of_line_at(steps[2].at), "none");
  // A time to come: the live objects.
  const auto later = std::chrono::system_clock::now() + std::chrono::hours(1);
  EXPECT_EQ(orders_at(later), V{});
  EXPECT_EQ(order_of_line_at(later), "none");
}

// A database whose tables were made before save times were kept gains the columns when the
// store opens it, keeps every row as it was, and counts the old versions as saved at the
// earliest time.
TEST_P(UnitsAndHistory, TablesMadeBeforeTimesWereKeptGainThem) {
  if (GetParam() == "sqlite::memory:") GTEST_SKIP() << "a database that outlives the store";
  const ModelClassPtr& order = order_class();
  (void)backends::save_new(order, {{"customer", "Old"}, {"total", 1}}, "old");
  for (const char* alias : {"default", "lakehouse"}) {
    auto lease = backends::backend_for(alias)->lease();
    lease->execute(R"(ALTER TABLE "unit_orders" DROP COLUMN "_saved_at")");
  }
  {
    auto lease = backends::backend_for("lakehouse")->lease();
    lease->execute(R"(ALTER TABLE "_velmor_objects" DROP COLUMN "saved_at")");
    lease->execute(R"(DROP TABLE "_velmor_deletions")");
  }
  backends::reset();
  backends::configure("default", urls.first);
  backends::configure("lakehouse", urls.second);
  (void)backends::register_model_class(order);

  (void)backends::save_version(order, "old", 1, {{"customer", "Old"}, {"total", 2}});
  const auto steps = backends::history(order, "old");
  ASSERT_EQ(steps.size(), 2u);
  EXPECT_EQ(steps[0].values.at("total"), json::value(1));
  EXPECT_LT(steps[0].at, steps[1].at);
  const QuerySet<Model> lake = QuerySet<Model>(order).using_("lakehouse");
  const auto first_then = lake.as_of(std::chrono::sys_days{});  // 1970: only the old version
  ASSERT_EQ(first_then.count().execute(), 1);
  EXPECT_EQ(first_then.get({}).execute().model().get("total"), json::value(1));
  EXPECT_EQ(lake.filter({{"_address__saved_at__isnull", true}}).count().execute(), 1);
  backends::delete_object(order, "old");
  EXPECT_EQ(lake.as_of(std::chrono::system_clock::now() + std::chrono::hours(1)).count().execute(),
            0);
}

TEST_P(UnitsAndHistory, ACoroutineCommitsAUnitWithoutBlockingItsLoop) {
  auto unit = std::make_shared<backends::UnitOfWork>();
  unit->save_new(order_class(), {{"customer", "A"}});
  unit->save_new(line_class(), {{"item", "a"}});
  boost::asio::io_context loop;
  auto saved = boost::asio::co_spawn(loop, unit->acommit(), boost::asio::use_future);
  EXPECT_THROW(unit->save_new(order_class(), {{"customer", "B"}}), ValueError);
  unit.reset();  // the awaitable owns the changes
  loop.run();
  EXPECT_EQ(saved.get().size(), 2u);
  EXPECT_EQ(state(), "1/1 1/1");
}

INSTANTIATE_TEST_SUITE_P(Stores, UnitsAndHistory, velmor_test::sql_stores(),
                         velmor_test::store_name);

// A unit used from a second thread while its first thread is inside it refuses the second,
// and the first goes on with nothing lost.
struct WaitingQuerySet : velmor_models::querysets::qsetkit::QuerySet<Model, WaitingQuerySet> {
  using QuerySet::QuerySet;
  std::promise<void>* entered = nullptr;
  std::shared_future<void> go;
  void _check_type(const Model& obj) const override {
    entered->set_value();
    go.wait();
    QuerySet::_check_type(obj);
  }
};

TEST(UnitOfWork, IsUsedByOneThreadAtATime) {
  backends::reset();
  backends::UnitOfWork unit;
  std::promise<void> entered, release;
  WaitingQuerySet qs(order_class());
  qs.entered = &entered;
  qs.go = release.get_future().share();
  const auto changes = order_class()->construct({{"customer", "Z"}});
  std::thread first([&] { unit.bulk_update(qs, *changes); });
  entered.get_future().wait();
  EXPECT_THROW(unit.save_new(order_class(), {{"customer", "second"}}), ValueError);
  release.set_value();
  first.join();
  EXPECT_EQ(unit.size(), 1u);
  backends::reset();
}

}  // namespace
