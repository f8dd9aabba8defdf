// Loading the object a reference points at: the alias its versions choose, the caller's
// field selection and alias, failures, and replaced steps, synchronously and awaited.

#include <gtest/gtest.h>

#include <boost/json/serialize.hpp>
#include <set>
#include <tuple>

#include "qsetkit/test_executors.hpp"
#include "velmor_models/backends/registry.hpp"
#include "velmor_models/classes/class_manager.hpp"
#include "velmor_models/classes/helpers/reffetch.hpp"
#include "velmor_models/querysets/errors.hpp"
#include "velmor_models/utils/verpin.hpp"
#include "velmor_utils/models/enums.hpp"
#include "velmor_utils/utils/decorators.hpp"

namespace {

using namespace velmor_models::classes::helpers::reffetch;
using velmor_models::classes::class_manager::ClassManager;
using velmor_models::classes::class_manager::ClassNotFoundError;
using velmor_models::classes::model::CoreTypes;
using velmor_models::classes::model::ModelClass;
using velmor_models::querysets::errors::MultipleObjectsReturnedError;
using velmor_models::querysets::errors::ObjectDoesNotExistError;
using velmor_models::querysets::executor::MemoryStore;
using velmor_models::querysets::qsetkit::NamedFilters;
using velmor_models::querysets::qsetkit::Q;
using velmor_test::Data;
using velmor_test::run;
using velmor_test::Script;
using velmor_utils::models::data_models::reference::Address;
using velmor_utils::utils::decorators::Mode;
using velmor_utils::utils::decorators::ModeError;
using velmor_utils::utils::decorators::ModeScope;
namespace json = boost::json;
using Fields = std::vector<std::string>;

const json::value kLatest = json::value_from(velmor_utils::models::enums::Versions::LATEST);

// Argument kinds: lists of field names and alias texts; other kinds do not compile.
template <class... A>
concept Loads = requires(const ReferenceLoader& l, A&&... a) {
  l.load_reference(std::forward<A>(a)...);
};
template <class... A>
concept ALoads = requires(const ReferenceLoader& l, A&&... a) {
  l.aload_reference(std::forward<A>(a)...);
};
static_assert(Loads<> && Loads<Fields> && Loads<Fields, std::string> &&
              Loads<std::nullopt_t, const char*>);
static_assert(!Loads<std::tuple<std::string>> && !Loads<std::set<std::string>> &&
              !Loads<std::string> && !Loads<std::nullopt_t, int> &&
              !Loads<std::nullopt_t, std::nullptr_t>);
static_assert(ALoads<Fields, std::string> && !ALoads<std::set<std::string>> &&
              !ALoads<std::nullopt_t, int> && !ALoads<std::nullopt_t, std::nullptr_t>);

Reference reference(json::value class_version, json::value object_version,
                    std::string class_name = "Widget") {
  return Reference{
      Address{std::move(class_name), std::move(class_version), "w-1", std::move(object_version)}};
}

// A stored widget whose `_address` matches the filters of `reference(cv, ov)`.
void store(std::string_view alias, std::string_view name, json::value cv, json::value ov,
           std::string_view table = "widgets") {
  json::object address{{"class_version", cv}, {"object_id", "w-1"}, {"object_version", ov}};
  MemoryStore::instance().insert(
      alias, table, Data{json::object{{"name", name}, {"_address", address}}, std::nullopt});
}

std::string name_of(const Instance<Model>& found) {
  return std::string(found.model().get("name").get_string());
}

class Loading : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* alias : {"default", "lakehouse", "archive"})
      velmor_models::backends::configure(alias, "memory:");
    MemoryStore::instance().clear();
    ClassManager::register_class(widget);
  }
  void TearDown() override {
    ClassManager::unregister_class("Widget");
    MemoryStore::instance().clear();
    velmor_models::backends::reset();
  }
  static std::string aload(const ReferenceLoader& loader, std::optional<Fields> only = {},
                           std::optional<std::string> using_ = {}) {
    ModeScope async(Mode::async);
    return name_of(run(loader.aload_reference(std::move(only), std::move(using_))));
  }

  ModelClassPtr widget =
      ModelClass::create("Widget", "widgets", {{"name", CoreTypes::STRING, true, {}}});
};

struct Case {
  json::value class_version, object_version;
  std::string_view alias;
};

TEST_F(Loading, TheVersionsChooseTheAliasAndLatestBecomesTheMarker) {
  const Case cases[] = {{"LATEST", "LATEST", "default"},
                        {"LATEST", 3, "lakehouse"},
                        {2, "LATEST", "lakehouse"},
                        {2, 3, "lakehouse"},
                        {"latest", "latest", "default"}};  // already the marker's text
  for (const Case& c : cases) {
    SCOPED_TRACE(json::serialize(c.class_version) + " " + json::serialize(c.object_version));
    json::value cv = c.class_version == "LATEST" ? kLatest : c.class_version;
    json::value ov = c.object_version == "LATEST" ? kLatest : c.object_version;
    MemoryStore::instance().clear();
    store("default", "default", cv, ov);
    store("lakehouse", "lakehouse", cv, ov);
    ReferenceLoader loader(reference(c.class_version, c.object_version));

    auto qs = loader._load_record(widget);
    EXPECT_EQ(qs.get_using(), c.alias);
    EXPECT_EQ(qs.get_conditions(), Q(NamedFilters{{"_address__class_version", cv},
                                                  {"_address__object_id", "w-1"},
                                                  {"_address__object_version", ov}}));
    EXPECT_EQ(qs.entity(), widget);
    EXPECT_TRUE(qs.get_query_specifier().only.empty());
    EXPECT_EQ(name_of(loader.load_reference()), c.alias);
    EXPECT_EQ(aload(loader), c.alias);
  }
}

// The framework gives specific versions as text (SpecificVersion): canonical decimal text
// names the stored integer version; other text names none.
TEST_F(Loading, AVersionGivenAsTextLoadsThatVersion) {
  store("lakehouse", "second", 1, 2);
  store("lakehouse", "third", 1, 3);
  const velmor_models::utils::verpin::SpecificVersion three("3"), one("1");
  ReferenceLoader pinned(reference(json::string(one), json::string(three)));
  EXPECT_EQ(name_of(pinned.load_reference()), "third");
  EXPECT_EQ(aload(pinned), "third");
  EXPECT_THROW(ReferenceLoader(reference(1, "03")).load_reference(), ObjectDoesNotExistError);
}

TEST_F(Loading, TheCallersAliasAndFieldsApplyOnlyWhenNonEmpty) {
  store("lakehouse", "in lakehouse", 2, 3);
  store("archive", "in archive", 2, 3);
  ReferenceLoader loader(reference(2, 3));

  EXPECT_EQ(loader._load_record(widget, std::nullopt, "archive").get_using(), "archive");
  EXPECT_EQ(name_of(loader.load_reference(std::nullopt, "archive")), "in archive");
  EXPECT_EQ(aload(loader, std::nullopt, "archive"), "in archive");

  auto empty = loader._load_record(widget, Fields{}, std::string{});
  EXPECT_EQ(empty.get_using(), "lakehouse");
  EXPECT_TRUE(empty.get_query_specifier().only.empty());
  Instance<Model> whole = loader.load_reference(Fields{}, "");
  EXPECT_TRUE(whole.is_current());
  EXPECT_EQ(name_of(whole), "in lakehouse");

  EXPECT_EQ(loader._load_record(widget, Fields{"name"}).get_query_specifier().only, Fields{"name"});
  EXPECT_TRUE(loader.load_reference(Fields{"name"}).is_partial());
  ModeScope async(Mode::async);
  EXPECT_TRUE(run(loader.aload_reference(Fields{"name"}, "archive")).is_partial());
}

TEST_F(Loading, FailuresPassThroughOnBothPaths) {
  ReferenceLoader missing(reference(2, 3));
  EXPECT_THROW(missing.load_reference(), ObjectDoesNotExistError);
  EXPECT_THROW(aload(missing), ObjectDoesNotExistError);

  ReferenceLoader unknown(reference(2, 3, "Nothing"));
  EXPECT_THROW(unknown.load_reference(), ClassNotFoundError);
  EXPECT_THROW(aload(unknown), ClassNotFoundError);

  store("lakehouse", "a", 2, 3);
  store("lakehouse", "b", 2, 3);
  EXPECT_THROW(missing.load_reference(), MultipleObjectsReturnedError);
  EXPECT_THROW(aload(missing), MultipleObjectsReturnedError);
}

TEST_F(Loading, LoadRecordOnlyBuildsTheQuerySet) {
  // Two matches: running the query set fails, building it must not.
  store("lakehouse", "a", 2, 3);
  store("lakehouse", "b", 2, 3);
  ReferenceLoader loader(reference(2, 3));
  auto qs = loader._load_record(widget, Fields{"name"}, "lakehouse");
  EXPECT_THROW(qs.execute(), MultipleObjectsReturnedError);
  EXPECT_EQ(loader._load_model_class(), widget);
  // Nothing is kept between calls: the class is resolved anew every time.
  ModelClassPtr replacement =
      ModelClass::create("Widget", "widgets", {{"name", CoreTypes::STRING, true, {}}});
  ClassManager::register_class(replacement);
  EXPECT_EQ(loader._load_model_class(), replacement);
}

// Replaced steps, each recording that it ran.
struct OtherClass : ReferenceLoader {
  using ReferenceLoader::ReferenceLoader;
  ModelClassPtr _load_model_class() const override {
    return ModelClass::create("Gadget", "gadgets", {{"name", CoreTypes::STRING, true, {}}});
  }
};

struct Traced : ReferenceLoader {
  Traced(Reference r, std::vector<std::string>& events, Script& script)
      : ReferenceLoader(std::move(r)), events_(events), script_(script) {}
  ModelClassPtr _load_model_class() const override {
    events_.push_back("class");
    return ReferenceLoader::_load_model_class();
  }
  QuerySetOneRequired<Model> _load_record(
      const ModelClassPtr& cls, std::optional<Fields> only = std::nullopt,
      std::optional<std::string> using_ = std::nullopt) const override {
    events_.push_back("record");
    // Hands the query set the scripted executors; a move keeps them.
    struct Scripted : QuerySetOneRequired<Model> {
      Scripted(QuerySetOneRequired<Model> qs, Script& s) : QuerySetOneRequired(std::move(qs)) {
        _settings.executor = velmor_test::factory(s);
        _settings.async_executor = velmor_test::async_factory(s);
      }
    };
    return Scripted(ReferenceLoader::_load_record(cls, std::move(only), std::move(using_)),
                    script_);
  }
  std::vector<std::string>& events_;
  Script& script_;
};

TEST_F(Loading, ReplacedStepsAreHonouredByBothOperations) {
  store("lakehouse", "gadget", 2, 3, "gadgets");
  OtherClass other(reference(2, 3));
  EXPECT_EQ(other.load_reference().model().model_class()->name(), "Gadget");
  EXPECT_EQ(aload(other), "gadget");

  std::vector<std::string> events;
  Script script;
  script.records = std::vector<Data>{{json::object{{"name", "scripted"}}, std::nullopt}};
  script.inspect = [&](const velmor_test::QuerySetReader& qs) {
    events.push_back("query " + qs.get_using());
  };
  Traced traced(reference(2, 3), events, script);
  EXPECT_EQ(name_of(traced.load_reference(std::nullopt, "x")), "scripted");
  EXPECT_EQ(aload(traced), "scripted");
  EXPECT_EQ(events, (Fields{"class", "record", "query x", "class", "record", "query lakehouse"}));

  // The class and the query set come before the awaited execution, whose mode check
  // then fails when awaited in synchronous mode.
  events.clear();
  auto pending = traced.aload_reference();
  EXPECT_THROW(run(std::move(pending)), ModeError);
  EXPECT_EQ(events, (Fields{"class", "record"}));
  EXPECT_EQ(script.made, 2);
}

}  // namespace
