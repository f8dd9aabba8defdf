// Reference fields and select_related: validation, the checker, and the related objects
// delivered with each record, on every store.

#include <gtest/gtest.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/json/serialize.hpp>
#include <chrono>
#include <optional>

#include "backends/deletions.hpp"
#include "backends/stores.hpp"
#include "velmor_models/backends/query_check.hpp"
#include "velmor_models/backends/registry.hpp"
#include "velmor_models/backends/tables.hpp"
#include "velmor_models/classes/class_manager.hpp"
#include "velmor_models/querysets/errors.hpp"
#include "velmor_models/querysets/executor.hpp"
#include "velmor_models/querysets/qsetkit.hpp"
#include "velmor_utils/utils/decorators.hpp"

namespace {

namespace json = boost::json;
using namespace velmor_models::querysets::qsetkit;
using velmor_models::classes::class_manager::ClassManager;
using velmor_models::classes::model::CoreTypes;
using velmor_models::classes::model::ModelClass;
using velmor_models::classes::model::ModelClassPtr;
using velmor_models::classes::model::reference_field;
using velmor_models::querysets::errors::FieldError;
using velmor_models::querysets::executor::MemoryStore;

ModelClassPtr company() {
  static const ModelClassPtr cls =
      ModelClass::create("RelCompany", "rel_companies", {{"name", CoreTypes::STRING, true, {}}});
  return cls;
}
ModelClassPtr author() {
  static const ModelClassPtr cls = ModelClass::create(
      "RelAuthor", "rel_authors",
      {{"name", CoreTypes::STRING, true, {}}, reference_field("company", "RelCompany", false)});
  return cls;
}
ModelClassPtr book() {
  static const ModelClassPtr cls = ModelClass::create(
      "RelBook", "rel_books",
      {{"title", CoreTypes::STRING, true, {}}, reference_field("author", "RelAuthor", false)});
  return cls;
}

// 2026-12-10T12:00:00Z in microseconds since the epoch: the history's save times count
// from it.
constexpr std::int64_t kT0 = 1796904000000000;
constexpr std::int64_t kSecond = 1000000;

json::object ref(std::string_view cls, std::string_view id, json::value object_version = "LATEST",
                 json::value class_version = "LATEST") {
  return {{"class_name", cls},
          {"class_version", class_version},
          {"object_id", id},
          {"object_version", object_version}};
}

void register_classes() {
  for (const auto& cls : {company(), author(), book()}) ClassManager::register_class(cls);
}

class Related : public testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    velmor_models::backends::reset();
    MemoryStore::instance().clear();
    register_classes();
    for (const char* alias : {"default", "lakehouse"}) {
      velmor_models::backends::configure(
          alias, velmor_test::store_url(GetParam(), folder_, std::string(alias) + ".db"));
      for (const auto& cls : {company(), author(), book()})
        velmor_models::backends::create_table(alias, *cls);
    }
    store("default", company(), "c1", 1, {{"name", "Acme"}});
    store("default", author(), "a1", 2, {{"name", "Ann"}, {"company", ref("RelCompany", "c1")}});
    store("default", author(), "a2", 1, {{"name", "Bo"}, {"company", nullptr}});
    // The history, saved at kT0 and seconds after it: a2 was deleted at 4 s.
    store("lakehouse", company(), "c1", 1, {{"name", "Acme"}}, kT0);
    store("lakehouse", author(), "a1", 1, {{"name", "Ann (first)"}, {"company", nullptr}},
          kT0 + kSecond);
    store("lakehouse", author(), "a1", 2, {{"name", "Ann"}, {"company", ref("RelCompany", "c1")}},
          kT0 + 3 * kSecond);
    store("lakehouse", author(), "a2", 1, {{"name", "Bo"}, {"company", nullptr}}, kT0 + kSecond);
    velmor_test::record_deletions("lakehouse", {{"RelAuthor", "a2", 1, kT0 + 4 * kSecond}});
    const std::pair<const char*, json::value> books[] = {
        {"b1", ref("RelAuthor", "a1")},      {"b2", ref("RelAuthor", "a2")},
        {"b3", ref("RelAuthor", "a1", 1)},   {"b4", nullptr},
        {"b5", ref("RelAuthor", "missing")}, {"b6", ref("RelAuthor", "a1", 1, 1)}};
    for (const auto& [title, author_ref] : books) {
      store("default", book(), title, 1, {{"title", title}, {"author", author_ref}});
      store("lakehouse", book(), title, 1, {{"title", title}, {"author", author_ref}},
            kT0 + 2 * kSecond);
    }
  }
  void TearDown() override {
    velmor_models::backends::reset();
    MemoryStore::instance().clear();
  }

  // A stored row: its fields, its `_metadata` (which is what the store hands over) and the
  // address the store keeps beside it for the address filters.
  static void store(std::string_view alias, const ModelClassPtr& cls, std::string_view id,
                    std::int64_t version, json::object values,
                    std::optional<std::int64_t> saved_at = std::nullopt) {
    json::object meta{{"object_id", id},
                      {"object_version", version},
                      {"class_schema_reference",
                       {{"ref", {{"class_name", cls->name()}, {"object_version", 1}}}}}};
    if (saved_at) meta["saved_at"] = values["_saved_at"] = *saved_at;
    values["_metadata"] = json::serialize(meta);
    values["_object_id"] = id;
    values["_object_version"] = version;
    values["_class_version"] = 1;
    velmor_models::backends::insert_records(alias, *cls, std::span(&values, 1));
  }

  static QuerySet<Model> books() {
    return QuerySet<Model>(book()).select_related("author", "author__company").order_by("title");
  }

  // Author's name and company name per book, as the related instances give them.
  static std::vector<std::string> summary(const std::vector<Instance<Model>>& rows) {
    std::vector<std::string> out;
    for (const auto& b : rows) {
      std::string line(b.model().get("title").get_string());
      if (auto a = b.related("author")) {
        line += " by " + std::string(a->model().get("name").get_string());
        if (auto c = a->related("company"))
          line += " of " + std::string(c->model().get("name").get_string());
      }
      out.push_back(line);
    }
    return out;
  }
  velmor_test::TempFolder folder_;
};

const std::vector<std::string> expected_summary = {
    "b1 by Ann of Acme", "b2 by Bo", "b3 by Ann (first)", "b4", "b5", "b6 by Ann (first)"};

TEST(RelatedRules, ReferenceValuesAreCheckedOnConstruction) {
  EXPECT_NO_THROW(author()->construct({{"name", "x"}, {"company", ref("RelCompany", "c", 3, 1)}}));
  const json::value bad[] = {
      ref("RelAuthor", "c"),                       // another class
      json::object{{"class_name", "RelCompany"}},  // no id, no versions
      ref("RelCompany", "c", "newest"),            // not a version
      ref("RelCompany", "c", 1.5),                 // not a whole number
      "c1",                                        // not an address
  };
  for (const auto& v : bad) {
    SCOPED_TRACE(json::serialize(v));
    EXPECT_THROW(author()->construct({{"name", "x"}, {"company", v}}),
                 velmor_utils::errors::ValidationError);
  }
}

TEST(RelatedRules, TheCheckerTakesReferenceFieldsAndPathsThroughThem) {
  using velmor_models::backends::check_query;
  register_classes();
  EXPECT_NO_THROW(check_query(QuerySet<Model>(book()).select_related("author", "author__company")));
  try {
    check_query(QuerySet<Model>(book()).select_related("title"));
    FAIL() << "select_related on a text field ran";
  } catch (const FieldError& e) {
    EXPECT_NE(std::string(e.what()).find("not a reference"), std::string::npos) << e.what();
  }
  EXPECT_THROW(check_query(QuerySet<Model>(book()).select_related("author__name")), FieldError);
  EXPECT_THROW(check_query(QuerySet<Model>(book()).select_related("author__nope")), FieldError);
  EXPECT_THROW(check_query(QuerySet<Model>(book()).select_related("nope")), FieldError);
}

// Latest references come from the default database, older versions from the lakehouse;
// a null reference and a reference to no stored object give no related object.
TEST_P(Related, EachRecordCarriesItsRelatedObjects) {
  EXPECT_EQ(summary(books().execute()), expected_summary);
  auto partial = books().only({"title", "author"}).execute();
  EXPECT_TRUE(partial.front().is_partial());
  EXPECT_EQ(summary(partial), expected_summary);
}

TEST_P(Related, CoroutinesGetTheSame) {
  boost::asio::io_context loop;
  std::vector<std::string> got;
  velmor_utils::utils::decorators::ModeScope mode(velmor_utils::utils::decorators::Mode::async);
  boost::asio::co_spawn(
      loop, [&]() -> boost::asio::awaitable<void> { got = summary(co_await books().aexecute()); },
      [](std::exception_ptr e) {
        if (e) std::rethrow_exception(e);
      });
  loop.run();
  EXPECT_EQ(got, expected_summary);
}

// Records that refer to one object share its one record (and its related records), so a
// large result holds each related object once.
TEST_P(Related, ReferencesToOneObjectShareOneRecord) {
  store("default", book(), "b7", 1, {{"title", "b7"}, {"author", ref("RelAuthor", "a1")}});
  auto rows = books().filter({{"title__in", json::array{"b1", "b7"}}}).execute();
  ASSERT_EQ(rows.size(), 2u);
  const auto& first = rows[0].related_records();
  const auto& second = rows[1].related_records();
  ASSERT_EQ(first.size(), 1u);
  ASSERT_TRUE(first[0].second);
  EXPECT_EQ(first[0].second, second[0].second);
  EXPECT_EQ(first[0].second->related.at(0).first, "company");
  // Materialising it twice gives two instances; the shared record stays as it was.
  auto a = rows[0].related("author");
  ASSERT_TRUE(a);
  a->model().set_attribute("name", "changed");
  EXPECT_EQ(rows[1].related("author")->model().get("name"), "Ann");
}

TEST_P(Related, AFieldNotNamedInSelectRelatedIsAKeyError) {
  auto rows = QuerySet<Model>(book()).filter({{"title", "b1"}}).execute();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_THROW(rows[0].related("author"), velmor_utils::errors::KeyError);
  auto authors =
      QuerySet<Model>(author()).select_related("company").filter({{"name", "Bo"}}).execute();
  ASSERT_EQ(authors.size(), 1u);
  EXPECT_FALSE(authors[0].related("company"));
}

// As of a time, a reference to the latest version names the object's newest version then
// and a pinned one stays pinned; an object deleted by then is gone (the memory store keeps
// no deletions). Read the same on the coroutine path; each instance's address tells when
// its version was saved.
TEST_P(Related, AsOfATimeReferencesAreFollowedAsOfThatTime) {
  using namespace std::chrono;
  using S = std::vector<std::string>;
  const auto at = [](std::int64_t offset) {
    return sys_time<microseconds>(microseconds(kT0 + offset));
  };
  const QuerySet<Model> history =
      books().using_("lakehouse").filter({{"title__in", json::array{"b1", "b2", "b3"}}});
  EXPECT_EQ(summary(history.as_of(at(-1)).execute()), S{});
  const S then{"b1 by Ann (first)", "b2 by Bo", "b3 by Ann (first)"};
  EXPECT_EQ(summary(history.as_of(at(2 * kSecond)).execute()), then);
  const S later = GetParam() == "memory:" ? S{"b1 by Ann of Acme", "b2 by Bo", "b3 by Ann (first)"}
                                          : S{"b1 by Ann of Acme", "b2", "b3 by Ann (first)"};
  EXPECT_EQ(summary(history.as_of(at(5 * kSecond)).execute()), later);

  const auto rows = history.as_of(at(5 * kSecond)).execute();
  ASSERT_FALSE(rows.empty());
  const std::optional<ObjectAddress> book_address = rows[0].address();
  ASSERT_TRUE(book_address);
  EXPECT_EQ(book_address->saved_at, at(2 * kSecond));
  EXPECT_EQ(rows[0].related("author")->address()->saved_at, at(3 * kSecond));
  EXPECT_EQ(rows[0].related("author")->address()->object_version, 2);

  boost::asio::io_context loop;
  S got;
  velmor_utils::utils::decorators::ModeScope mode(velmor_utils::utils::decorators::Mode::async);
  const QuerySet<Model> later_books = history.as_of(at(5 * kSecond));
  boost::asio::co_spawn(
      loop,
      [&]() -> boost::asio::awaitable<void> {
        std::vector<Instance<Model>> rows = co_await later_books.aexecute();
        got = summary(rows);
      },
      [](std::exception_ptr e) {
        if (e) std::rethrow_exception(e);
      });
  loop.run();
  EXPECT_EQ(got, later);
}

INSTANTIATE_TEST_SUITE_P(Stores, Related, velmor_test::every_store(), velmor_test::store_name);

}  // namespace
