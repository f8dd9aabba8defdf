// A tour of velmor_models on an embedded SQLite database made in a temporary folder:
// versioned objects, queries, the lakehouse, a schema change, references,
// select_related, coroutines, the SQL of a query and an introspected database.

#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>
#include <stdlib.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/json/serialize.hpp>
#include <chrono>
#include <filesystem>
#include <iostream>
#include <mutex>

#include "velmor_models/backends/history.hpp"
#include "velmor_models/backends/object_store.hpp"
#include "velmor_models/backends/registry.hpp"
#include "velmor_models/backends/sqlite/introspect.hpp"
#include "velmor_models/backends/unit_of_work.hpp"
#include "velmor_models/classes/class_manager.hpp"
#include "velmor_models/classes/helpers/reffetch.hpp"
#include "velmor_models/querysets/errors.hpp"
#include "velmor_models/querysets/qsetkit.hpp"
#include "velmor_utils/utils/decorators.hpp"

namespace backends = velmor_models::backends;
namespace json = boost::json;
using namespace velmor_models::querysets::qsetkit;
using velmor_models::classes::class_manager::ClassManager;
using velmor_models::classes::model::CoreTypes;
using velmor_models::classes::model::declare_model;
using velmor_models::classes::model::ModelClass;
using velmor_models::classes::model::ModelClassPtr;
using velmor_models::classes::model::reference_field;

class Book : public Model {
 public:
  using Model::Model;
  static const ModelClassPtr& declaration() {
    static const ModelClassPtr cls =
        declare_model<Book>("Book", "books",
                            {{"title", CoreTypes::STRING, true, {}},
                             {"year", CoreTypes::INTEGER, true, {}},
                             {"pages", CoreTypes::INTEGER, false, {}},
                             reference_field("author", "Author", false)});
    return cls;
  }
  std::string_view title() const { return get("title").get_string(); }
  std::int64_t year() const { return get("year").to_number<std::int64_t>(); }
};

namespace {

const ModelClassPtr company =
    ModelClass::create("Company", "companies", {{"name", CoreTypes::STRING, true, {}}});
const ModelClassPtr author = ModelClass::create("Author", "authors",
                                                {{"name", CoreTypes::STRING, true, {}},
                                                 {"born", CoreTypes::INTEGER, false, {}},
                                                 reference_field("company", "Company", false)});

// Counts the statements the SQLite store runs (it logs each one on this logger).
class CountingSink : public spdlog::sinks::base_sink<std::mutex> {
 public:
  std::size_t count = 0;

 protected:
  void sink_it_(const spdlog::details::log_msg&) override { ++count; }
  void flush_() override {}
};
auto statements = std::make_shared<CountingSink>();

void section(std::string_view title) {
  std::cout << "\n== " << title << '\n';
}

json::object ref(std::string_view cls, const std::string& id, json::value version = "LATEST") {
  return {{"class_name", cls},
          {"class_version", "LATEST"},
          {"object_id", id},
          {"object_version", version}};
}

std::string describe(const Instance<Book>& b) {
  return std::string(b->title()) + " (" + std::to_string(b->year()) + ")";
}

boost::asio::awaitable<void> tour_as_coroutines(QuerySet<Book> books) {
  auto recent =
      co_await books.filter(where("year__gte", 1950)).order_by("-year")[Slice(0, 3)].aexecute();
  std::cout << "awaited: " << recent.size() << " recent books, first " << describe(recent[0])
            << '\n';
  std::cout << "awaited count: " << co_await books.count().aexecute() << '\n';
  auto none = co_await books.get_or_none(where("title", "Nope")).aexecute();
  std::cout << "awaited get_or_none: " << (none ? "found" : "nothing") << '\n';
  auto with_authors = co_await books.select_related("author").order_by("title").aexecute();
  std::cout << "awaited select_related: " << with_authors[0]->title() << " by "
            << with_authors[0].related("author")->model().get("name").get_string().subview()
            << '\n';
}

}  // namespace

int main() {
  // The store logs each statement at debug level on this logger; the demo counts them.
  spdlog::register_logger(
      std::make_shared<spdlog::logger>("velmor_models.backends.sql", statements));
  spdlog::get("velmor_models.backends.sql")->set_level(spdlog::level::debug);

  char folder_template[] = "/tmp/velmor-demo-XXXXXX";
  const std::filesystem::path folder = mkdtemp(folder_template);
  backends::configure("default", "sqlite://" + (folder / "default.db").string());
  backends::configure("lakehouse", "sqlite://" + (folder / "lakehouse.db").string());
  std::cout << "databases in " << folder.string() << '\n';

  section("saving objects and versions");
  for (const auto& cls : {company, author, Book::declaration()}) {
    ClassManager::register_class(cls);
    backends::register_model_class(cls);
  }
  auto acme = backends::save_new(company, {{"name", "Acme Press"}}, "acme");
  auto ann = backends::save_new(
      author, {{"name", "Ann Lee"}, {"born", 1931}, {"company", ref("Company", acme.object_id)}});
  auto bo = backends::save_new(author, {{"name", "Bo Dahl"}, {"born", 1964}});
  const std::pair<const char*, int> titles[] = {{"Winter Roads", 1958},   {"Salt", 1971},
                                                {"The Long Field", 1949}, {"Harbours", 1990},
                                                {"Nine Lamps", 2004},     {"Copper", 2011}};
  std::vector<backends::ObjectAddress> books_saved;
  for (std::size_t i = 0; i < std::size(titles); ++i)
    books_saved.push_back(backends::save_new(
        Book::declaration(), {{"title", titles[i].first},
                              {"year", titles[i].second},
                              {"pages", 200 + 40 * int(i)},
                              {"author", ref("Author", (i % 2 ? bo : ann).object_id)}}));
  // Ann changes her name (version 2); the first book gets a new edition (version 2, 3).
  backends::save_version(
      author, ann.object_id, 1,
      {{"name", "Ann Lee-Moss"}, {"born", 1931}, {"company", ref("Company", acme.object_id)}});
  for (std::int64_t v : {1, 2})
    backends::save_version(Book::declaration(), books_saved[0].object_id, v,
                           {{"title", "Winter Roads"},
                            {"year", 1958},
                            {"pages", 210 + v},
                            {"author", ref("Author", ann.object_id)}});
  std::cout << "saved 1 company, 2 authors, " << std::size(titles) << " books; author "
            << ann.object_id << " is at version 2, book " << books_saved[0].object_id
            << " at version 3\n";
  try {
    backends::save_version(author, ann.object_id, 1, {{"name", "stale"}});
  } catch (const backends::StaleVersionError& e) {
    std::cout << "a save based on version 1 again: " << e.what() << '\n';
  }

  const QuerySet<Book> books;
  section("a query: filter, order_by, slice");
  auto query = books.filter({{"year__gte", 1950}})
                   .exclude({{"title__startswith", "S"}})
                   .order_by("-year")[Slice(0, 3)];
  for (const auto& b : query.execute()) std::cout << "  " << describe(b) << '\n';
  std::cout << "count of books: " << books.count().execute()
            << ", before 1960: " << books.filter({{"year__lt", 1960}}).count().execute() << '\n';

  section("get, first, only");
  try {
    books.get({{"title", "No Such Book"}}).execute();
  } catch (const velmor_models::querysets::errors::ObjectDoesNotExistError& e) {
    std::cout << "get with no match: ObjectDoesNotExistError: " << e.what() << '\n';
  }
  try {
    books.get({{"year__gt", 2000}}).execute();
  } catch (const velmor_models::querysets::errors::MultipleObjectsReturnedError& e) {
    std::cout << "get with several: MultipleObjectsReturnedError: " << e.what() << '\n';
  }
  std::cout << "first by year: " << describe(*books.order_by("year").first().execute()) << '\n';
  auto partial = books.only({"title"}).order_by("title").first().execute();
  std::cout << "only(title): partial=" << partial->is_partial() << ", values "
            << json::serialize(partial->model().values()) << '\n';

  section("the lakehouse keeps every version");
  auto lake_books = books.using_("lakehouse");
  auto editions = lake_books.filter({{"_address__object_id", books_saved[0].object_id}})
                      .order_by("pages")
                      .execute();
  for (const auto& b : editions)
    std::cout << "  " << b->title() << ", " << b.model().get("pages").as_int64() << " pages\n";
  auto first_name =
      QuerySet<Model>(author)
          .using_("lakehouse")
          .get({{"_address__object_id", ann.object_id}, {"_address__object_version", 1}})
          .execute();
  std::cout << "author " << ann.object_id
            << " at version 1: " << first_name.model().get("name").get_string().subview() << '\n';
  std::cout << "latest() on the lakehouse: " << lake_books.latest().count().execute()
            << " books (one per object)\n";

  section("references");
  namespace rf = velmor_models::classes::helpers::reffetch;
  auto as_reference = [](const json::object& address) {
    return rf::Reference{{std::string(address.at("class_name").get_string()),
                          address.at("class_version"), address.at("object_id"),
                          address.at("object_version")}};
  };
  auto latest_ann =
      rf::ReferenceLoader(as_reference(ref("Author", ann.object_id))).load_reference();
  auto old_ann =
      rf::ReferenceLoader(as_reference(ref("Author", ann.object_id, 1))).load_reference();
  std::cout << "at the latest version (default database): "
            << latest_ann.model().get("name").get_string().subview() << '\n'
            << "at version 1 (lakehouse): " << old_ann.model().get("name").get_string().subview()
            << '\n';

  section("select_related");
  statements->count = 0;
  auto with_authors = books.select_related("author", "author__company").order_by("year").execute();
  for (const auto& b : with_authors) {
    auto a = b.related("author");
    auto c = a ? a->related("company") : std::nullopt;
    std::cout << "  " << describe(b) << " by "
              << (a ? a->model().get("name").get_string().subview() : "?")
              << (c ? ", " + std::string(c->model().get("name").get_string().subview())
                    : std::string())
              << '\n';
  }
  std::cout << with_authors.size() << " books with authors and companies in " << statements->count
            << " statements\n";

  section("a unit of work, and the lakehouse as it was");
  const auto before_unit = std::chrono::system_clock::now();
  {
    // A new edition of one book, another book withdrawn and a new one: one save, all or none.
    backends::UnitOfWork unit;
    unit.save_version(Book::declaration(), books_saved[1].object_id, 1,
                      {{"title", "Salt"},
                       {"year", 1971},
                       {"pages", 260},
                       {"author", ref("Author", bo.object_id)}});
    unit.delete_object(Book::declaration(), books_saved[5].object_id);
    unit.save_new(Book::declaration(), {{"title", "Ember"},
                                        {"year", 2020},
                                        {"pages", 180},
                                        {"author", ref("Author", bo.object_id)}});
    std::cout << "committed " << unit.size() << " changes as one save\n";
    unit.commit();
  }
  std::cout << "books now: " << books.count().execute() << " (Ember new, Copper withdrawn, Salt "
            << books.get({{"title", "Salt"}}).execute().model().get("pages").as_int64()
            << " pages)\nthe lakehouse as of before the unit:\n";
  for (const auto& b :
       lake_books.as_of(before_unit).filter({{"year__gte", 1970}}).order_by("year").execute())
    std::cout << "  " << describe(b) << ", " << b.model().get("pages").as_int64() << " pages\n";
  std::cout << "history of Copper:";
  for (const auto& step : backends::history(Book::declaration(), books_saved[5].object_id))
    std::cout << " version " << step.address.object_version
              << (step.deletion ? " deleted" : " saved");
  std::cout << '\n';

  section("the same queries awaited as coroutines");
  {
    velmor_utils::utils::decorators::ModeScope mode(velmor_utils::utils::decorators::Mode::async);
    boost::asio::io_context loop;
    boost::asio::co_spawn(loop, tour_as_coroutines(books), [](std::exception_ptr e) {
      if (e) std::rethrow_exception(e);
    });
    loop.run();
  }

  section("a schema change");
  // Author's `born` becomes text: rows saved under the old schema no longer fit it.
  const ModelClassPtr author_v2 =
      ModelClass::create("Author", "authors",
                         {{"name", CoreTypes::STRING, true, {}},
                          {"born", CoreTypes::STRING, false, {}},
                          reference_field("company", "Company", false)});
  ClassManager::register_class(author_v2);
  std::cout << "Author is now at class version " << backends::register_model_class(author_v2)
            << '\n';
  backends::save_new(author_v2, {{"name", "Cy Oduya"}, {"born", "1980s"}});
  for (const auto& a : QuerySet<Model>(author_v2).order_by("name").execute())
    std::cout << "  " << a.model().get("name").get_string().subview() << ": "
              << (a.is_legacy() ? "LegacyModel" : "current instance") << '\n';

  section("the SQL of a query");
  const auto statement = query.to_sql();
  std::cout << statement.text << "\n  with " << statement.params.size() << " bound values\n";

  section("an introspected database");
  for (const auto& t : backends::sqlite::introspect_database((folder / "default.db").string()))
    std::cout << t.name << ": " << json::serialize(t.schema.to_fields()) << '\n';

  std::filesystem::remove_all(folder);
}
