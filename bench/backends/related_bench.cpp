// select_related over 10,000 books (each referring to one of 500 authors, each author to
// one of 20 companies) on SQLite files, against loading the related objects by hand:
//  - SelectRelated: books.select_related("author", "author__company").execute();
//  - ByHandInBulk: the books, then the authors by one `_address__object_id__in` query, then
//    the companies the same way, matched up in a map;
//  - ByHandPerRow: the books, then one ReferenceLoader call per book (what select_related
//    saves the application from).
// The `statements` counter is the number of SQL statements one iteration ran.

#include <benchmark/benchmark.h>
#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>

#include <boost/json/serialize.hpp>
#include <filesystem>
#include <mutex>
#include <unordered_map>

#include "velmor_models/backends/object_store.hpp"
#include "velmor_models/backends/registry.hpp"
#include "velmor_models/classes/class_manager.hpp"
#include "velmor_models/classes/helpers/reffetch.hpp"
#include "velmor_models/querysets/qsetkit.hpp"

namespace {

namespace json = boost::json;
namespace backends = velmor_models::backends;
using namespace velmor_models::querysets::qsetkit;
using velmor_models::classes::model::CoreTypes;
using velmor_models::classes::model::ModelClass;
using velmor_models::classes::model::reference_field;

constexpr int book_count = 10'000;
constexpr int author_count = 500;
constexpr int company_count = 20;

class CountingSink : public spdlog::sinks::base_sink<std::mutex> {
 public:
  std::size_t count = 0;

 protected:
  void sink_it_(const spdlog::details::log_msg&) override { ++count; }
  void flush_() override {}
};

const ModelClassPtr company =
    ModelClass::create("BenchCompany", "bench_companies", {{"name", CoreTypes::STRING, true, {}}});
const ModelClassPtr author = ModelClass::create(
    "BenchAuthor", "bench_authors",
    {{"name", CoreTypes::STRING, true, {}}, reference_field("company", "BenchCompany")});
const ModelClassPtr book = ModelClass::create(
    "BenchBook", "bench_books",
    {{"title", CoreTypes::STRING, true, {}}, reference_field("author", "BenchAuthor")});

// (Built in steps: g++ 12 warns wrongly on "text" + std::to_string(i).)
std::string label(std::string_view prefix, int i) {
  std::string out(prefix);
  out += std::to_string(i);
  return out;
}

json::object ref(std::string_view cls, const std::string& id) {
  return {{"class_name", cls},
          {"class_version", "LATEST"},
          {"object_id", id},
          {"object_version", "LATEST"}};
}

std::shared_ptr<CountingSink> setup() {
  static const std::shared_ptr<CountingSink> sink = [] {
    auto s = std::make_shared<CountingSink>();
    auto logger = std::make_shared<spdlog::logger>("velmor_models.backends.sql", s);
    logger->set_level(spdlog::level::debug);
    spdlog::register_logger(logger);
    const auto folder = std::filesystem::temp_directory_path() / "velmor-bench-related";
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    backends::configure("default", "sqlite://" + (folder / "default.db").string());
    backends::configure("lakehouse", "sqlite://" + (folder / "lakehouse.db").string());
    for (const auto& cls : {company, author, book}) {
      velmor_models::classes::class_manager::ClassManager::register_class(cls);
      backends::register_model_class(cls);
    }
    std::vector<json::object> rows;
    for (int i = 0; i < company_count; ++i)
      rows.push_back({{"_object_id", label("c", i)}, {"name", label("company ", i)}});
    backends::save_new_batch(company, rows);
    rows.clear();
    for (int i = 0; i < author_count; ++i)
      rows.push_back({{"_object_id", label("a", i)},
                      {"name", label("author ", i)},
                      {"company", ref("BenchCompany", label("c", i % company_count))}});
    backends::save_new_batch(author, rows);
    rows.clear();
    for (int i = 0; i < book_count; ++i)
      rows.push_back({{"title", label("book ", i)},
                      {"author", ref("BenchAuthor", label("a", i % author_count))}});
    backends::save_new_batch(book, rows);
    return s;
  }();
  return sink;
}

void SelectRelated(benchmark::State& state) {
  auto sink = setup();
  std::size_t statements = 0;
  for (auto _ : state) {
    sink->count = 0;
    auto rows = QuerySet<Model>(book).select_related("author", "author__company").execute();
    if (rows.size() != book_count || !rows.back().related("author")->related("company"))
      state.SkipWithError("related objects missing");
    benchmark::DoNotOptimize(rows);
    statements = sink->count;
  }
  state.counters["statements"] = static_cast<double>(statements);
}
BENCHMARK(SelectRelated)->Unit(benchmark::kMillisecond);

// The related objects of `rows` (their `field` references) by one query, keyed by id.
std::unordered_map<std::string, Instance<Model>> by_id(const std::vector<Instance<Model>>& rows,
                                                       std::string_view field,
                                                       const ModelClassPtr& cls) {
  json::array ids;
  std::unordered_map<std::string, bool> seen;
  for (const auto& r : rows) {
    const auto& id = r.model().get(field).get_object().at("object_id").get_string();
    if (seen.emplace(std::string(id), true).second) ids.push_back(json::string(id));
  }
  std::unordered_map<std::string, Instance<Model>> out;
  for (auto& r : QuerySet<Model>(cls).filter({{"_address__object_id__in", ids}}).execute()) {
    std::string id;
    if (const auto* oid = r.model().find("object_id"); oid && oid->is_string())
      id = oid->get_string();
    else if (const auto* m = r.model().find("_metadata"); m && m->is_object())
      id = m->get_object().at("object_id").get_string();
    out.emplace(std::move(id), std::move(r));
  }
  return out;
}

void ByHandInBulk(benchmark::State& state) {
  auto sink = setup();
  std::size_t statements = 0;
  for (auto _ : state) {
    sink->count = 0;
    auto rows = QuerySet<Model>(book).execute();
    auto authors = by_id(rows, "author", author);
    std::vector<Instance<Model>> author_list;
    for (auto& [id, a] : authors) author_list.push_back(std::move(a));
    auto companies = by_id(author_list, "company", company);
    benchmark::DoNotOptimize(rows);
    benchmark::DoNotOptimize(companies);
    statements = sink->count;
  }
  state.counters["statements"] = static_cast<double>(statements);
}
BENCHMARK(ByHandInBulk)->Unit(benchmark::kMillisecond);

void ByHandPerRow(benchmark::State& state) {
  namespace rf = velmor_models::classes::helpers::reffetch;
  auto sink = setup();
  std::size_t statements = 0;
  for (auto _ : state) {
    sink->count = 0;
    auto rows = QuerySet<Model>(book).execute();
    for (const auto& r : rows) {
      const auto& a = r.model().get("author").get_object();
      auto loaded = rf::ReferenceLoader(rf::Reference{{"BenchAuthor", a.at("class_version"),
                                                       a.at("object_id"), a.at("object_version")}})
                        .load_reference();
      benchmark::DoNotOptimize(loaded);
    }
    statements = sink->count;
  }
  state.counters["statements"] = static_cast<double>(statements);
}
BENCHMARK(ByHandPerRow)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace
