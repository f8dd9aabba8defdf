// What every store keeps and refuses alike, run against each of them: integers in NUMBER
// fields, values no store may keep (past 64 bits, non-finite, NUL inside JSON), the shape
// of handed-over records, the depth of conditions, LATEST over records without a version,
// and names that need quoting.

#include <gtest/gtest.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/json/serialize.hpp>
#include <cmath>
#include <limits>

#include "backends/stores.hpp"
#include "velmor_models/backends/query_check.hpp"
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
using velmor_models::classes::model::ModelClass;
using velmor_models::classes::model::ModelClassPtr;
using velmor_models::querysets::executor::Executor;
using velmor_utils::errors::TypeError;
using velmor_utils::errors::ValueError;
using Query = QuerySet<Model>;

constexpr std::string_view kAlias = "rules";
constexpr std::int64_t k2p53 = std::int64_t(1) << 53;
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();

// Field names that SQL spells as keywords or that need quoting.
const ModelClassPtr& thing() {
  static const ModelClassPtr cls = ModelClass::create("Thing", "rule_things",
                                                      {{"id", CoreTypes::INTEGER, true, {}},
                                                       {"n", CoreTypes::NUMBER, false, {}},
                                                       {"order", CoreTypes::STRING, false, {}},
                                                       {"it's", CoreTypes::INTEGER, false, {}},
                                                       {"data", CoreTypes::DICTIONARY, false, {}},
                                                       {"tags", CoreTypes::ARRAY, false, {}},
                                                       {"blob", CoreTypes::BINARY, false, {}}});
  return cls;
}

class StoreRules : public testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    backends::reset();
    velmor_models::querysets::executor::MemoryStore::instance().clear();
    backends::configure(kAlias, velmor_test::store_url(GetParam(), folder_, "rules.db"));
    backends::create_table(kAlias, *thing());
  }
  void TearDown() override {
    backends::reset();
    velmor_models::querysets::executor::MemoryStore::instance().clear();
  }
  static Query all() { return Query(thing()).using_(kAlias).order_by("id"); }
  static void insert(std::vector<json::object> rows) {
    backends::insert_records(kAlias, *thing(), rows);
  }
  static std::vector<velmor_glue::Data> records(const Query& q) { return *Executor(q).query(); }
  static std::vector<std::int64_t> ids(const Query& q) {
    std::vector<std::int64_t> out;
    for (const auto& r : records(q)) out.push_back(r.data->at("id").as_int64());
    return out;
  }
  velmor_test::TempFolder folder_;
};

TEST_P(StoreRules, NumberFieldsKeepIntegersExactly) {
  insert({{{"id", 1}, {"n", k2p53 + 1}},
          {{"id", 2}, {"n", k2p53}},
          {{"id", 3}, {"n", kMax}},
          {{"id", 4}, {"n", std::numeric_limits<std::int64_t>::min()}},
          {{"id", 5}, {"n", 2.5}}});
  EXPECT_EQ(ids(all().filter({{"n", k2p53 + 1}})), (std::vector<std::int64_t>{1}));
  EXPECT_EQ(ids(all().filter({{"n", kMax}})), (std::vector<std::int64_t>{3}));
  EXPECT_EQ(ids(all().order_by("-n")), (std::vector<std::int64_t>{3, 1, 2, 5, 4}));
  const auto got = records(all());
  EXPECT_EQ(got[0].data->at("n"), json::value(k2p53 + 1));
  EXPECT_EQ(got[2].data->at("n"), json::value(kMax));
  EXPECT_EQ(got[1].data->at("n").to_number<double>(), 9007199254740992.0);
  EXPECT_EQ(got[4].data->at("n"), json::value(2.5));
}

TEST_P(StoreRules, ValuesNoStoreKeepsAreRefusedAndNothingIsKept) {
  const json::value nan = std::nan(""), inf = std::numeric_limits<double>::infinity();
  const json::value past = std::uint64_t(1) << 63;
  const std::pair<json::object, bool> bad[] = {
      // the value, and whether a TypeError
      {{{"it's", "3"}}, true},
      {{{"n", "3"}}, true},
      {{{"data", json::array{}}}, true},
      {{{"blob", 7}}, true},
      {{{"it's", past}}, false},
      {{{"n", past}}, false},
      {{{"n", nan}}, false},
      {{{"tags", json::array{1, json::array{inf}}}}, false},
      {{{"data", {{"a", {{"b", nan}}}}}}, false},
      {{{"data", {{"big", past}}}}, false},
      {{{"tags", json::array{past}}}, false},
      {{{"data", {{"s", json::string(std::string_view("ab\0cd", 5))}}}}, false},
      {{{"data", {{std::string_view("k\0", 2), 1}}}}, false},
      {{{"tags", json::array{"\xff"}}}, false},
      {{{"data", {{"\xc3", 1}}}}, false},
      {{{"blob", "not base64!"}}, false},
  };
  for (const auto& [values, type_error] : bad) {
    json::object row = values;
    row["id"] = 2;
    SCOPED_TRACE(json::serialize(row));
    std::vector<json::object> rows{{{"id", 1}}, row};
    if (type_error)
      EXPECT_THROW(insert(rows), TypeError);
    else
      EXPECT_THROW(insert(rows), ValueError);
  }
  EXPECT_TRUE(records(all()).empty());
  // The same values, finite and in range, are kept; JSON paths still read the table.
  insert({{{"id", 1}, {"data", {{"a", {{"b", 1.5}}}, {"big", kMax}}}, {"tags", {1, "x"}}}});
  EXPECT_EQ(ids(all().filter({{"data__a__b", 1.5}})), (std::vector<std::int64_t>{1}));
  EXPECT_EQ(ids(all().filter({{"data__big", kMax}})), (std::vector<std::int64_t>{1}));
}

TEST_P(StoreRules, TextWithNulIsMatchedWholeInLongLists) {
  if (GetParam() == "postgresql")
    GTEST_SKIP() << "PostgreSQL text cannot hold a NUL character (README, Query semantics); "
                    "the store refuses such a value before writing anything";
  const json::string with_nul(std::string_view("ab\0cd", 5));
  insert({{{"id", 1}, {"order", "ab"}}, {{"id", 2}, {"order", with_nul}}});
  for (std::size_t size : {3, 101}) {
    json::array list;
    for (std::size_t i = 0; i + 1 < size; ++i) list.push_back(json::value("x" + std::to_string(i)));
    list.push_back(with_nul);
    SCOPED_TRACE(size);
    EXPECT_EQ(ids(all().filter({{"order__in", list}})), (std::vector<std::int64_t>{2}));
    EXPECT_EQ(ids(all().exclude({{"order__in", list}})), (std::vector<std::int64_t>{1}));
    list.push_back("ab");
    EXPECT_EQ(ids(all().filter({{"order__in", list}})), (std::vector<std::int64_t>{1, 2}));
  }
  EXPECT_EQ(ids(all().filter({{"data__s", with_nul}})), (std::vector<std::int64_t>{}));
}

TEST_P(StoreRules, RecordsCarryTheirFieldsAndMetadataOnly) {
  insert({{{"id", 1}, {"_object_id", "o1"}, {"_object_version", 1}, {"_class_version", 1}},
          {{"id", 2}, {"_metadata", "{\"object_id\":\"o2\"}"}},
          {{"id", 3}, {"_metadata", nullptr}}});
  const auto got = records(all());
  ASSERT_EQ(got.size(), 3u);
  for (const auto& r : got) EXPECT_FALSE(r.data->contains("_address")) << json::serialize(*r.data);
  EXPECT_FALSE(got[0].data->contains("_metadata"));
  EXPECT_EQ(got[1].data->at("_metadata"), "{\"object_id\":\"o2\"}");
  EXPECT_FALSE(got[2].data->contains("_metadata"));
  EXPECT_EQ(got[0].data->size(), thing()->fields().size());
  // A record without metadata becomes an instance like any other.
  EXPECT_EQ(all().execute().size(), 3u);
}

TEST_P(StoreRules, ConditionsNestUpToTheLimitAndDeeperOnesAreRefusedFirst) {
  insert({{{"id", 1}, {"it's", 1}}, {{"id", 2}, {"it's", 2}}});
  auto nested = [](std::size_t levels) {
    Q q(NamedFilters{{"it's", 1}});
    for (std::size_t i = 0; i < levels; ++i)
      q = i % 2 ? (q & Q(NamedFilters{{"id__gte", 1}})) : (q | Q(NamedFilters{{"id", 99}}));
    return q;
  };
  const Q deepest = nested(backends::max_condition_depth);
  EXPECT_EQ(ids(all().filter(deepest)), (std::vector<std::int64_t>{1}));
  EXPECT_EQ(ids(all().exclude(deepest).distinct({"order"})), (std::vector<std::int64_t>{2}));
  for (std::size_t levels : {backends::max_condition_depth + 1, std::size_t(100000)}) {
    SCOPED_TRACE(levels);
    // A bad name in the tree does not hide the depth, and nothing runs.
    const Query q = all().filter(nested(levels) & Q(NamedFilters{{"nmae", 1}}));
    EXPECT_THROW((void)records(q), ValueError);
    EXPECT_THROW((void)Executor(q).count(), ValueError);
    EXPECT_THROW((void)q.to_sql(), ValueError);
  }
  // A run of NOTs is no nesting: 100,000 of them evaluate like their operand.
  Q negated = nested(3);
  for (int i = 0; i < 100000; ++i) negated = ~negated;
  EXPECT_EQ(ids(all().filter(negated)), (std::vector<std::int64_t>{1}));
  EXPECT_EQ(ids(all().filter(~negated)), (std::vector<std::int64_t>{2}));
}

TEST_P(StoreRules, LatestSkipsRecordsWithoutAnObjectVersion) {
  insert({{{"id", 1}, {"_object_id", "a"}, {"_object_version", nullptr}},
          {{"id", 2}, {"_object_id", "b"}, {"_object_version", 1}},
          {{"id", 3}, {"_object_id", "b"}, {"_object_version", 2}},
          {{"id", 4}, {"_object_id", "c"}, {"_object_version", nullptr}},
          {{"id", 5}, {"_object_id", "c"}, {"_object_version", 1}}});
  EXPECT_EQ(ids(all().latest()), (std::vector<std::int64_t>{3, 5}));
  EXPECT_EQ(ids(all().exclude({{"_address__object_version", "LATEST"}})),
            (std::vector<std::int64_t>{1, 2, 4}));
}

TEST_P(StoreRules, AnyNameAFilterTakesCanBeOrderedAndGroupedBy) {
  insert({{{"id", 1}, {"it's", 2}, {"order", "b"}, {"data", {{"a b", 1}, {"it's", "x"}}}},
          {{"id", 2}, {"it's", 1}, {"order", "b"}, {"data", {{"a b", 2}}}},
          {{"id", 3}, {"it's", 1}, {"order", "a"}, {"data", {{"a b", 2}, {"it's", "y"}}}}});
  EXPECT_EQ(ids(Query(thing()).using_(kAlias).order_by("-it's", "id")),
            (std::vector<std::int64_t>{1, 2, 3}));
  EXPECT_EQ(ids(Query(thing()).using_(kAlias).order_by("order", "-id")),
            (std::vector<std::int64_t>{3, 2, 1}));
  EXPECT_EQ(ids(Query(thing()).using_(kAlias).order_by("-data__a b", "id")),
            (std::vector<std::int64_t>{2, 3, 1}));
  EXPECT_EQ(ids(Query(thing()).using_(kAlias).order_by("data__it's")),
            (std::vector<std::int64_t>{2, 1, 3}));
  EXPECT_EQ(ids(all().distinct({"order"})), (std::vector<std::int64_t>{1, 3}));
  EXPECT_EQ(ids(all().distinct({"it's"})), (std::vector<std::int64_t>{1, 2}));
}

// iterate() and aiterate() give what execute() gives, in every chunk size, and a range left
// early stands in the way of nothing.
TEST_P(StoreRules, IterationGivesWhatExecuteGivesAChunkAtATime) {
  std::vector<json::object> rows;
  for (int i = 1; i <= 7; ++i) rows.push_back({{"id", i}, {"order", i % 2 ? "odd" : "even"}});
  insert(rows);
  const Query odd = all().filter({{"order", "odd"}}).order_by("-id");
  std::vector<std::int64_t> expected;
  for (const auto& i : odd.execute()) expected.push_back(i.model().get("id").as_int64());
  for (std::size_t chunk : {1, 2, 3, 1000}) {
    std::vector<std::int64_t> got;
    for (auto& i : odd.iterate(chunk)) got.push_back(i.model().get("id").as_int64());
    EXPECT_EQ(got, expected) << "chunks of " << chunk;
  }
  EXPECT_EQ(odd.none().iterate().begin() == std::default_sentinel, true);
  for (auto& i : all().only({"id"}).iterate(2)) EXPECT_TRUE(i.is_partial());
  {
    auto range = all().iterate(2);
    auto first = range.begin();
    EXPECT_EQ(first->model().get("id"), json::value(1));
  }  // left after one chunk
  insert({{{"id", 8}}});
  EXPECT_EQ(all().count().execute(), 8);

  velmor_utils::utils::decorators::ModeScope async(velmor_utils::utils::decorators::Mode::async);
  boost::asio::io_context loop;
  std::vector<std::int64_t> streamed;
  boost::asio::co_spawn(
      loop,
      [](Query q, std::vector<std::int64_t>& out) -> boost::asio::awaitable<void> {
        auto stream = q.aiterate(2);
        while (auto i = co_await stream.next()) out.push_back(i->model().get("id").as_int64());
      }(odd, streamed),
      boost::asio::detached);
  loop.run();
  EXPECT_EQ(streamed, expected);
}

INSTANTIATE_TEST_SUITE_P(Stores, StoreRules, velmor_test::every_store(), velmor_test::store_name);

}  // namespace
