// Running query sets and turning records into instances, synchronously and as
// coroutines.

#include <gtest/gtest.h>

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

#include "test_executors.hpp"
#include "test_models.hpp"
#include "velmor_data/services/historical_table_schema.hpp"
#include "velmor_models/backends/registry.hpp"
#include "velmor_models/querysets/errors.hpp"
#include "velmor_models/querysets/qsetkit.hpp"
#include "velmor_utils/errors.hpp"
#include "velmor_utils/utils/decorators.hpp"

namespace {

using namespace velmor_models::querysets::qsetkit;
using namespace velmor_test;
using velmor_models::querysets::errors::MultipleObjectsReturnedError;
using velmor_models::querysets::errors::ObjectDoesNotExistError;
using velmor_utils::utils::decorators::Mode;
using velmor_utils::utils::decorators::ModeError;
using velmor_utils::utils::decorators::ModeScope;
namespace json = boost::json;

constexpr std::string_view compatible =
    velmor_data::services::historical_table_schema::COMPATIBLE_CLASS_VERSIONS;

Data row(std::string_view name, json::value metadata = nullptr,
         std::optional<json::object> record_metadata = std::nullopt) {
  json::object data{{"name", name}};
  if (!metadata.is_null()) data["_metadata"] = std::move(metadata);
  return {std::move(data), std::move(record_metadata)};
}

// A record stored under class version `stored`, with its _metadata as JSON text.
Data stored_under(std::string_view stored, std::optional<json::object> record_metadata) {
  json::object meta{{"object_id", "\"c-1\""},
                    {"class_schema_reference", {{"ref", {{"object_version", stored}}}}}};
  return row("Ann", json::value(json::serialize(meta)), std::move(record_metadata));
}

QuerySet<Customer> over(Script& s, bool strict = false) {
  return QuerySet<Customer>(Customer::declaration(), factory(s), async_factory(s),
                            StrictClassVersion(strict));
}

TEST(Running, NoneMakesNoExecutor) {
  Script s;
  s.records = std::vector<Data>{row("Ann")};
  s.count = 5;
  // A query set marked empty that still has the scripted factories (a copy would not).
  struct Marked : QuerySet<Customer> {
    explicit Marked(Script& s) : QuerySet(Customer::declaration(), factory(s), async_factory(s)) {
      mark_none();
    }
  } marked(s);
  EXPECT_TRUE(marked._execute_query()->empty());
  EXPECT_EQ(marked._execute_count(), 0);
  EXPECT_TRUE(marked.execute().empty());
  {
    ModeScope async(Mode::async);
    EXPECT_TRUE(run(marked._aexecute_query())->empty());
    EXPECT_EQ(run(marked._aexecute_count()), 0);
    EXPECT_TRUE(run(marked.aexecute()).empty());
  }
  EXPECT_EQ(s.made, 0);
  EXPECT_EQ(QuerySet<Customer>().none().count().execute(), 0);
}

TEST(Running, EveryCallMakesAnExecutorAndKeepsTheOrder) {
  Script s;
  s.records = std::vector<Data>{row("Ann"), row("Bo"), row("Cy")};
  const QuerySet<Customer> qs = over(s);
  std::vector<Instance<Customer>> first = qs.execute();
  std::vector<Instance<Customer>> again = qs.execute();
  ASSERT_EQ(first.size(), 3u);
  EXPECT_EQ(first[0]->name(), "Ann");
  EXPECT_EQ(first[2]->name(), "Cy");
  EXPECT_TRUE(first[1].is_current());
  EXPECT_EQ(s.made, 2);
  s.count = 7;
  QuerySetCount<Customer> counter(Customer::declaration(), factory(s), async_factory(s));
  EXPECT_EQ(counter.execute(), 7);
}

TEST(Running, TheExecutorReadsTheQuerySet) {
  Script s;
  std::string seen;
  s.inspect = [&](const QuerySetReader& qs) {
    seen = qs.table_name() + " " + qs.get_using() + " " + qs.get_conditions().str();
  };
  QuerySet<Customer> qs(Customer::declaration(), factory(s));
  // Refinements copy without the factory; run the refined state through the scripted one.
  struct Refined : QuerySet<Customer> {
    Refined(const QuerySet<Customer>& q, Script& s)
        : QuerySet(Customer::declaration(), factory(s)) {
      carry_query_state(q);
    }
  } refined(qs.filter({{"age__gte", 18}}).using_("lakehouse"), s);
  (void)refined.execute();
  EXPECT_EQ(seen, "customers lakehouse age__gte=18");
}

TEST(Running, NothingFromTheExecutorIsATypeError) {
  Script s;
  s.records = std::nullopt;
  EXPECT_THROW(over(s).execute(), velmor_utils::errors::TypeError);
  EXPECT_FALSE(over(s)._execute_query().has_value());  // handed on unchanged
}

TEST(Running, ExecutorFailuresPassThroughUnchanged) {
  struct DatabaseDown : std::runtime_error {
    using std::runtime_error::runtime_error;
  };
  Script s;
  s.fail = std::make_exception_ptr(DatabaseDown("down"));
  EXPECT_THROW(over(s).execute(), DatabaseDown);
  ModeScope async(Mode::async);
  EXPECT_THROW(run(over(s).aexecute()), DatabaseDown);
}

TEST(Materialising, MetadataAndObjectIdAreDecoded) {
  QuerySet<Customer> qs;
  auto meta_of = [&](Data d) { return qs._create_instance(false, std::move(d)).model().get("_metadata"); };
  EXPECT_EQ(meta_of(row("a", R"({"object_id": "42"})")), json::parse(R"({"object_id": 42})"));
  EXPECT_EQ(meta_of(row("a", R"({"object_id": "abc"})")), json::parse(R"({"object_id": "abc"})"));
  EXPECT_EQ(meta_of(row("a", json::object{{"object_id", 7}})), json::parse(R"({"object_id": 7})"));
  EXPECT_EQ(meta_of(row("a", json::object{{"object_id", "[1,2]"}})),
            json::parse(R"({"object_id": [1,2]})"));
  EXPECT_EQ(qs._create_instance(false, row("a")).model().find("_metadata"), nullptr);
}

// An identifier never changes: an integer literal that does not fit in 64 bits keeps its
// text, in an object_id text and anywhere in the _metadata document.
TEST(Materialising, IntegersBeyond64BitsKeepTheirText) {
  QuerySet<Customer> qs;
  auto meta_of = [&](Data d) { return qs._create_instance(false, std::move(d)).model().get("_metadata"); };
  const std::string big = "123456789012345678901234567890";
  EXPECT_EQ(meta_of(row("a", json::object{{"object_id", big}})), (json::object{{"object_id", big}}));
  EXPECT_EQ(meta_of(row("a", R"({"object_id": 123456789012345678901234567890,
      "n": [18446744073709551615, -9223372036854775808, -9223372036854775809, 2.5, 1e3]})")),
            (json::object{{"object_id", big},
                          {"n", {UINT64_MAX, INT64_MIN, "-9223372036854775809", 2.5, 1000.0}}}));
}

// Nesting is accepted up to 1000 levels; deeper documents are refused as too deep, without
// exhausting the stack however deep they are.
TEST(Materialising, MetadataDepthIsBoundedAndNamed) {
  QuerySet<Customer> qs;
  auto nested = [](std::size_t levels) {  // the mapping is the first level
    return R"({"object_id": 1, "x": )" + std::string(levels - 1, '[') +
           std::string(levels - 1, ']') + "}";
  };
  for (std::size_t levels : {33u, 1000u})
    EXPECT_NO_THROW((void)qs._create_instance(false, row("a", json::string(nested(levels))))) << levels;
  for (std::size_t levels : {1001u, 100000u}) {
    try {
      (void)qs._create_instance(false, row("a", json::string(nested(levels))));
      ADD_FAILURE() << levels;
    } catch (const velmor_utils::errors::ValueError& e) {
      EXPECT_STREQ(e.what(), "_metadata is nested deeper than 1000 levels");
    }
  }
}

// Large documents decode as small ones (they do not use the parser kept between calls).
TEST(Materialising, LargeMetadataDecodes) {
  QuerySet<Customer> qs;
  std::string text = R"({"object_id": 1, "big": [0)";
  for (int i = 1; i < 100000; ++i) text += ",0";
  text += "]}";
  EXPECT_EQ(qs._create_instance(false, row("a", json::string(text))).model().get("_metadata").at("big").as_array().size(),
            100000u);
  EXPECT_EQ(qs._create_instance(false, row("a", R"({"object_id": "7"})")).model().get("_metadata"),
            (json::object{{"object_id", 7}}));
}

// Versions compare by value where they are numbers: 2.0 equals 2.
TEST(Materialising, NumericVersionsCompareByValue) {
  auto stored_as = [](json::value stored, json::array compatible_versions) {
    json::object meta{{"object_id", 1},
                      {"class_schema_reference", {{"ref", {{"object_version", stored}}}}}};
    return row("Ann", json::value(json::serialize(meta)),
               json::object{{compatible, std::move(compatible_versions)}});
  };
  LatestVersions versions(2);
  QuerySet<Customer> qs;
  EXPECT_TRUE(qs._create_instance(false, stored_as(2.0, {})).is_current());
  EXPECT_TRUE(qs._create_instance(false, stored_as(1, {1.0, 2.0})).is_current());
  EXPECT_TRUE(qs._create_instance(false, stored_as(2.5, {})).is_legacy());
  EXPECT_TRUE(qs._create_instance(false, stored_as("2", {})).is_legacy());
}

TEST(Materialising, BrokenRecordsFail) {
  QuerySet<Customer> qs;
  EXPECT_THROW(qs._create_instance(false, Data{}), velmor_utils::errors::TypeError);
  EXPECT_THROW(qs._create_instance(false, row("a", "{not json")), velmor_utils::errors::ValueError);
  EXPECT_THROW(qs._create_instance(false, row("a", "{}")), velmor_utils::errors::KeyError);
  EXPECT_THROW(qs._create_instance(false, row("a", "[1]")), velmor_utils::errors::AttributeError);
  EXPECT_THROW(qs._create_instance(false, row("a", R"({"object_id": 1,
      "class_schema_reference": {}})")), velmor_utils::errors::KeyError);
  EXPECT_THROW(qs._create_instance(false, Data{json::object{{"age", 3}}, {}}),
               velmor_utils::errors::ValidationError);
}

TEST(Materialising, LatestMarkersAndMissingReferencesNeedNoLookup) {
  LatestVersions versions("v9");
  QuerySet<Customer> qs;
  for (std::string_view marker : {"LATEST", "latest", ""})
    EXPECT_TRUE(qs._create_instance(false, stored_under(marker, json::object{{compatible, json::array{}}}))
                    .is_current());
  EXPECT_TRUE(qs._create_instance(false, row("a", R"({"object_id": 1})")).is_current());
  EXPECT_TRUE(qs._create_instance(false, row("a", R"({"object_id": 1, "class_schema_reference": "x"})"))
                  .is_current());
  EXPECT_EQ(versions.lookups, 0);
}

struct VersionCase {
  bool strict;
  std::optional<json::object> record_metadata;
  bool legacy_sync;
  bool legacy_async;
};

void PrintTo(const VersionCase& c, std::ostream* os) {
  *os << (c.strict ? "strict " : "") << (c.record_metadata ? json::serialize(*c.record_metadata) : "none");
}

class VersionDecision : public testing::TestWithParam<VersionCase> {};

TEST_P(VersionDecision, LegacyOnlyWhenIncompatible) {
  const VersionCase& c = GetParam();
  LatestVersions versions("v2");
  QuerySet<Customer> qs(Customer::declaration(), {}, {}, StrictClassVersion(c.strict));
  Instance<Model> sync = qs._create_instance(false, stored_under("v1", c.record_metadata));
  EXPECT_EQ(sync.is_legacy(), c.legacy_sync);
  Instance<Model> async = run(qs._acreate_instance(false, stored_under("v1", c.record_metadata)));
  EXPECT_EQ(async.is_legacy(), c.legacy_async);
  EXPECT_EQ(versions.lookups, 2);  // one per record, whatever the outcome
  if (async.is_legacy()) {
    EXPECT_EQ(async.legacy()->original_class(), Customer::declaration());
    EXPECT_EQ(async.get()->get("name"), "Ann");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, VersionDecision,
    testing::Values(
        VersionCase{true, json::object{{compatible, json::array{"v3"}}}, false, true},
        VersionCase{false, std::nullopt, false, false},
        VersionCase{false, json::object{}, false, false},
        VersionCase{false, json::object{{"other", 1}}, false, false},
        VersionCase{false, json::object{{compatible, json::array{"v1", "v2"}}}, false, false},
        VersionCase{false, json::object{{compatible, json::array{"v1"}}}, true, true},
        VersionCase{false, json::object{{compatible, json::array{}}}, true, true}));

TEST(Materialising, EqualVersionsAreCurrent) {
  LatestVersions versions("v1");
  QuerySet<Customer> qs;
  EXPECT_TRUE(qs._create_instance(false, stored_under("v1", json::object{{compatible, json::array{}}}))
                  .is_current());
}

TEST(Materialising, LegacyPrecedesPartialAndPartialSelectsFields) {
  LatestVersions versions("v2");
  Script s;
  s.records = std::vector<Data>{stored_under("v1", json::object{{compatible, json::array{}}}),
                                Data{json::object{{"age", 4}}, {}}};
  struct Selecting : QuerySet<Customer> {
    explicit Selecting(Script& s) : QuerySet(Customer::declaration(), factory(s)) {
      extend_only({"age"});
    }
  } qs(s);
  auto all = qs.execute();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_TRUE(all[0].is_legacy());
  EXPECT_EQ(all[0].get(), nullptr);
  EXPECT_TRUE(all[1].is_partial());  // "name" is missing, which only a partial class allows
  EXPECT_EQ(all[1].get(), nullptr);
  EXPECT_EQ(all[1].model().model_class()->name(), "CustomerPartial");
}

TEST(Materialising, AnnotationsPresentInTheDataAreSet) {
  QuerySet<Customer> qs;
  qs.annotate({{"score", 0}, {"missing", 0}});
  Instance<Model> obj = qs._create_instance(false, Data{json::object{{"name", "Ann"}, {"score", 9}}, {}});
  EXPECT_EQ(obj.model().get("score"), 9);
  EXPECT_EQ(obj.model().find("missing"), nullptr);
}

TEST(Materialising, LegacyRecordsMayNotNameOriginalClass) {
  LatestVersions versions("v2");
  Data d = stored_under("v1", json::object{{compatible, json::array{}}});
  (*d.data)["original_class"] = "x";
  EXPECT_THROW(QuerySet<Customer>()._create_instance(false, std::move(d)),
               velmor_utils::errors::TypeError);
}

TEST(SingleResults, OneNoneOrTooMany) {
  Script s;
  struct One : QuerySetOne<Customer> {
    One(Script& s, bool rule) : QuerySetOne(Customer::declaration()) {
      _settings.executor = factory(s);
      _settings.async_executor = async_factory(s);
      _raise_on_multiple = rule;
    }
  };
  EXPECT_EQ(One(s, true).execute(), std::nullopt);
  s.records = std::vector<Data>{row("Ann")};
  EXPECT_EQ(One(s, true).execute()->get()->name(), "Ann");
  // The rule off: the first record wins; the broken second one is never materialised.
  s.records = std::vector<Data>{row("Ann"), Data{}};
  try {
    (void)One(s, true).execute();
    FAIL();
  } catch (const MultipleObjectsReturnedError& e) {
    EXPECT_STREQ(e.what(), "Multiple items found");
  }
  EXPECT_EQ(One(s, false).execute()->get()->name(), "Ann");
  ModeScope async(Mode::async);
  EXPECT_THROW(run(One(s, true).aexecute()), MultipleObjectsReturnedError);
  EXPECT_EQ(run(One(s, false).aexecute())->get()->name(), "Ann");
}

TEST(SingleResults, RequiredRaisesWhenNothingMatches) {
  Script s;
  struct Required : QuerySetOneRequired<Customer> {
    explicit Required(Script& s) : QuerySetOneRequired(Customer::declaration()) {
      _settings.executor = factory(s);
      _settings.async_executor = async_factory(s);
    }
  };
  try {
    (void)Required(s).execute();
    FAIL();
  } catch (const ObjectDoesNotExistError& e) {
    EXPECT_STREQ(e.what(), "No items found");
  }
  s.records = std::vector<Data>{row("Ann")};
  Instance<Customer> found = Required(s).execute();
  EXPECT_EQ(found->name(), "Ann");
  ModeScope async(Mode::async);
  s.records = std::vector<Data>{};
  EXPECT_THROW(run(Required(s).aexecute()), ObjectDoesNotExistError);
}

TEST(SingleResults, ConvenienceOperationsRunNothing) {
  Script s;
  QuerySet<Customer> qs = over(s);
  (void)qs.get({{"a", 1}});
  (void)qs.get_or_none();
  (void)qs.first();
  (void)qs.count();
  EXPECT_EQ(s.made, 0);
}

TEST(Coroutines, GuardRunsOnCallTheRestWhenAwaited) {
  Script s;
  s.records = std::vector<Data>{row("Ann"), row("Bo")};
  QuerySet<Customer> qs = over(s);
  EXPECT_THROW((void)qs.aexecute(), ModeError);  // synchronous mode: refused at the call
  ModeScope async(Mode::async);
  EXPECT_THROW((void)qs.execute(), ModeError);
  auto pending = qs.aexecute();
  EXPECT_EQ(s.made, 0);
  auto all = run(std::move(pending));
  EXPECT_EQ(s.made, 1);
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[1]->name(), "Bo");
}

// The awaitable owns what it reads: the query set it came from may be gone when it is
// awaited (AddressSanitizer reports any read of a destroyed one).
TEST(Coroutines, AwaitablesOutliveTheirQuerySets) {
  using velmor_models::querysets::executor::MemoryStore;
  velmor_models::backends::configure("default", "memory:");
  MemoryStore::instance().clear();
  MemoryStore::instance().insert("default", "customers", row("Ann"));
  MemoryStore::instance().insert("default", "customers", row("Bo"));
  ModeScope async(Mode::async);
  auto aw = QuerySet<Customer>(Customer::declaration()).filter({{"name", "Bo"}}).aexecute();
  auto all = run(std::move(aw));
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0]->name(), "Bo");
  MemoryStore::instance().clear();

  Script s;
  s.records = std::vector<Data>{row("Ann")};
  s.count = 3;
  auto count = QuerySetCount<Customer>(Customer::declaration(), factory(s), async_factory(s))
                   .aexecute();
  auto records = over(s)._aexecute_query();
  auto instance = over(s)._acreate_instance(false, row("Cy"));
  EXPECT_EQ(run(std::move(count)), 3);
  EXPECT_EQ(run(std::move(records))->size(), 1u);
  EXPECT_EQ(run(std::move(instance)).get()->get("name"), "Cy");
}

TEST(Coroutines, AFailingRecordLeavesNoPartialResult) {
  Script s;
  s.records = std::vector<Data>{row("Ann"), Data{json::object{{"name", 5}}, {}}, row("Cy")};
  ModeScope async(Mode::async);
  EXPECT_THROW(run(over(s).aexecute()), velmor_utils::errors::ValidationError);
}

TEST(Coroutines, ACancelledQueryReachesTheAwaitingCaller) {
  Script s;
  s.records = std::vector<Data>{row("Ann")};
  s.slow = true;
  QuerySet<Customer> qs = over(s);
  ModeScope async(Mode::async);
  boost::asio::io_context loop;
  std::exception_ptr error;
  std::optional<std::vector<Instance<Customer>>> result;
  boost::asio::cancellation_signal cancel;
  boost::asio::co_spawn(
      loop, [&]() -> boost::asio::awaitable<void> { result.emplace(co_await qs.aexecute()); },
      boost::asio::bind_cancellation_slot(cancel.slot(),
                                          [&](std::exception_ptr e) { error = e; }));
  loop.poll();  // runs up to the executor's suspension
  cancel.emit(boost::asio::cancellation_type::terminal);
  loop.run();
  ASSERT_TRUE(error);
  EXPECT_FALSE(result);
  EXPECT_THROW(std::rethrow_exception(error), boost::system::system_error);
}

}  // namespace
