// select_related on SQLite files: related objects of a whole result in a constant number
// of statements, latest versions from the default database and older ones from the
// lakehouse, on the synchronous and the coroutine path.

#include <gtest/gtest.h>
#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <mutex>

#include "backends/temp_folder.hpp"
#include "velmor_models/backends/object_store.hpp"
#include "velmor_models/backends/registry.hpp"
#include "velmor_models/classes/class_manager.hpp"
#include "velmor_models/classes/helpers/reffetch.hpp"
#include "velmor_models/querysets/errors.hpp"
#include "velmor_models/querysets/qsetkit.hpp"
#include "velmor_utils/utils/decorators.hpp"

namespace {

namespace json = boost::json;
namespace backends = velmor_models::backends;
using namespace velmor_models::querysets::qsetkit;
using velmor_models::classes::class_manager::ClassManager;
using velmor_models::classes::model::CoreTypes;
using velmor_models::classes::model::ModelClass;
using velmor_models::classes::model::reference_field;

class CountingSink : public spdlog::sinks::base_sink<std::mutex> {
 public:
  std::size_t count = 0;

 protected:
  void sink_it_(const spdlog::details::log_msg&) override { ++count; }
  void flush_() override {}
};

const ModelClassPtr company = ModelClass::create("SqlRelCompany", "sqlrel_companies",
                                                 {{"name", CoreTypes::STRING, true, {}}});
const ModelClassPtr author = ModelClass::create(
    "SqlRelAuthor", "sqlrel_authors",
    {{"name", CoreTypes::STRING, true, {}}, reference_field("company", "SqlRelCompany", false)});
const ModelClassPtr book = ModelClass::create(
    "SqlRelBook", "sqlrel_books",
    {{"title", CoreTypes::STRING, true, {}}, reference_field("author", "SqlRelAuthor", false)});

json::object ref(std::string_view cls, const std::string& id, json::value version = "LATEST") {
  return {{"class_name", cls},
          {"class_version", "LATEST"},
          {"object_id", id},
          {"object_version", version}};
}

class SqliteRelated : public testing::Test {
 protected:
  void SetUp() override {
    backends::configure("default", folder_.url("default.db"));
    backends::configure("lakehouse", folder_.url("lakehouse.db"));
    backends::clear_class_version_cache();
    for (const auto& cls : {company, author, book}) {
      ClassManager::register_class(cls);
      backends::register_model_class(cls);
    }
    sink_ = std::make_shared<CountingSink>();
    logger_ = spdlog::get("velmor_models.backends.sql");
    if (!logger_) {  // the store has run nothing yet: its logger is made on first use
      logger_ = std::make_shared<spdlog::logger>("velmor_models.backends.sql");
      logger_->set_level(spdlog::level::off);
      spdlog::register_logger(logger_);
    }
    logger_->sinks().push_back(sink_);
    logger_->set_level(spdlog::level::debug);
  }
  void TearDown() override {
    logger_->sinks().pop_back();
    logger_->set_level(spdlog::level::off);
    backends::reset();
  }
  velmor_test::TempFolder folder_;
  std::shared_ptr<CountingSink> sink_;
  std::shared_ptr<spdlog::logger> logger_;
};

std::vector<std::string> names(const std::vector<Instance<Model>>& books) {
  std::vector<std::string> out;
  for (const auto& b : books) {
    auto a = b.related("author");
    auto c = a ? a->related("company") : std::nullopt;
    out.push_back(std::string(a ? a->model().get("name").get_string() : "-") + "/" +
                  std::string(c ? c->model().get("name").get_string() : "-"));
  }
  return out;
}

// The statements do not grow with the rows: 10 books or 200, one for the books and one
// per related class and alias.
TEST_F(SqliteRelated, StatementsDoNotGrowWithTheRows) {
  auto c = backends::save_new(company, {{"name", "Acme"}});
  std::vector<backends::ObjectAddress> authors;
  for (int i = 0; i < 20; ++i)
    authors.push_back(backends::save_new(
        author, {{"name", "author" + std::to_string(i)},
                 {"company", i % 2 ? json::value(ref("SqlRelCompany", c.object_id)) : nullptr}}));
  auto old = backends::save_version(author, authors[0].object_id, 1,
                                    {{"name", "renamed"}, {"company", nullptr}});
  EXPECT_EQ(old.object_version, 2);
  for (std::size_t counts : {10u, 200u}) {
    SCOPED_TRACE(counts);
    std::vector<json::object> rows;
    for (std::size_t i = 0; i < counts; ++i)
      rows.push_back({{"title", "b" + std::to_string(i)},
                      {"author", ref("SqlRelAuthor", authors[i % 20].object_id,
                                     i % 10 == 0 ? json::value(1) : json::value("LATEST"))}});
    backends::save_new_batch(book, rows);
    sink_->count = 0;
    auto got = QuerySet<Model>(book).select_related("author", "author__company").execute();
    // books; authors on default and on the lakehouse; companies of both.
    EXPECT_LE(sink_->count, 5u);
    ASSERT_FALSE(got.empty());
    for (std::size_t i = 0; i < got.size(); ++i) {
      auto a = got[i].related("author");
      ASSERT_TRUE(a);
    }
  }
}

TEST_F(SqliteRelated, LatestFromDefaultOlderFromTheLakehouseOnBothPaths) {
  auto c = backends::save_new(company, {{"name", "Acme"}});
  auto a =
      backends::save_new(author, {{"name", "Ann"}, {"company", ref("SqlRelCompany", c.object_id)}});
  backends::save_version(author, a.object_id, 1, {{"name", "Ann Moss"}, {"company", nullptr}});
  backends::save_new(book, {{"title", "1"}, {"author", ref("SqlRelAuthor", a.object_id)}});
  backends::save_new(book, {{"title", "2"}, {"author", ref("SqlRelAuthor", a.object_id, 1)}});
  backends::save_new(book, {{"title", "3"}, {"author", ref("SqlRelAuthor", "no-such-id")}});
  const std::vector<std::string> expected = {"Ann Moss/-", "Ann/Acme", "-/-"};
  auto qs = QuerySet<Model>(book).select_related("author", "author__company").order_by("title");
  EXPECT_EQ(names(qs.execute()), expected);
  std::vector<std::string> awaited;
  {
    velmor_utils::utils::decorators::ModeScope mode(velmor_utils::utils::decorators::Mode::async);
    boost::asio::io_context loop;
    boost::asio::co_spawn(
        loop, [&]() -> boost::asio::awaitable<void> { awaited = names(co_await qs.aexecute()); },
        [](std::exception_ptr e) {
          if (e) std::rethrow_exception(e);
        });
    loop.run();
  }
  EXPECT_EQ(awaited, expected);
  // The reference loader reads the same two versions.
  namespace rf = velmor_models::classes::helpers::reffetch;
  auto load = [&](json::value version) {
    return std::string(
        rf::ReferenceLoader(rf::Reference{{"SqlRelAuthor", "LATEST", json::string(a.object_id),
                                           std::move(version)}})
            .load_reference()
            .model()
            .get("name")
            .get_string());
  };
  EXPECT_EQ(load("LATEST"), "Ann Moss");
  EXPECT_EQ(load(1), "Ann");
  EXPECT_THROW(
      rf::ReferenceLoader(rf::Reference{{"SqlRelAuthor", "LATEST", "no-such-id", "LATEST"}})
          .load_reference(),
      velmor_models::querysets::errors::ObjectDoesNotExistError);
}

// A reference to an object that is gone: select_related delivers no related object (as
// for a null reference; the rest of the result stays readable), while the reference
// loader, asked for that one object, raises. An older version still loads from the
// lakehouse, where the history stays.
TEST_F(SqliteRelated, ADanglingReferenceIsNoRelatedObjectButTheLoaderRaises) {
  namespace rf = velmor_models::classes::helpers::reffetch;
  auto a = backends::save_new(author, {{"name", "Ann"}, {"company", nullptr}});
  backends::save_new(book, {{"title", "latest"}, {"author", ref("SqlRelAuthor", a.object_id)}});
  backends::save_new(book, {{"title", "v1"}, {"author", ref("SqlRelAuthor", a.object_id, 1)}});
  backends::delete_object(author, a.object_id);
  auto got = QuerySet<Model>(book).select_related("author").order_by("title").execute();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_FALSE(got[0].related("author"));
  EXPECT_TRUE(got[0].model().get("author").is_object());  // the reference itself is kept
  ASSERT_TRUE(got[1].related("author"));
  EXPECT_EQ(got[1].related("author")->model().get("name"), "Ann");
  auto load = [&](json::value version) {
    return rf::ReferenceLoader(
               rf::Reference{{"SqlRelAuthor", "LATEST", json::string(a.object_id), version}})
        .load_reference();
  };
  EXPECT_THROW(load("LATEST"), velmor_models::querysets::errors::ObjectDoesNotExistError);
  EXPECT_EQ(load(1).model().get("name"), "Ann");
}

}  // namespace
