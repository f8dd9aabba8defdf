// Walking 1,000,000 stored rows (the shape of sqlite_bench's table: id, name, email, age,
// `_metadata`) with QuerySet::iterate() against QuerySet::execute(): the time, and the
// peak resident memory of a process that does nothing else. Each measurement runs in a
// child process of its own; the two sides alternate (A B A B ...), and the report gives
// the median and range of the per-pair ratios.
//
//   iterate_bench [pairs=3] [rows=1000000] [chunk=1000]

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <boost/json/object.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "velmor_models/backends/registry.hpp"
#include "velmor_models/backends/tables.hpp"
#include "velmor_models/querysets/qsetkit.hpp"

namespace {

namespace json = boost::json;
namespace backends = velmor_models::backends;
using namespace velmor_models::querysets::qsetkit;
using velmor_models::classes::model::CoreTypes;
using velmor_models::classes::model::ModelClass;

const ModelClassPtr& person() {
  static const ModelClassPtr cls = ModelClass::create("Person", "people",
                                                      {{"id", CoreTypes::INTEGER, true, {}},
                                                       {"name", CoreTypes::STRING, true, {}},
                                                       {"email", CoreTypes::STRING, true, {}},
                                                       {"age", CoreTypes::INTEGER, true, {}}});
  return cls;
}

// Builds the file once per row count; later runs reuse it.
std::string ensure_database(int rows) {
  const std::string path = (std::filesystem::temp_directory_path() /
                            ("velmor-bench-people-" + std::to_string(rows) + "-v1.db"))
                               .string();
  const bool exists = std::filesystem::exists(path);
  backends::configure("bench", "sqlite://" + path);
  if (exists) return path;
  backends::create_table("bench", *person(), {"age"});
  for (int start = 0; start < rows; start += 10'000) {
    std::vector<json::object> batch;
    for (int i = start; i < std::min(rows, start + 10'000); ++i)
      batch.push_back(json::object{
          {"id", i},
          {"name", "person-" + std::to_string(i)},
          {"email", "person" + std::to_string(i) + "@example.com"},
          {"age", 18 + (i * 7919) % 70},
          {"_metadata",
           R"({"object_id":")" + std::to_string(1000000 + i) +
               R"(","created_at":"2026-12-08T10:00:00Z","class_schema_reference":null})"}});
    backends::insert_records("bench", *person(), batch);
  }
  return path;
}

struct Run {
  double ms;
  double peak_mib;
};

// One measurement in a child process: its wall time and its peak resident memory.
Run measure(bool iterate, std::size_t chunk, int rows) {
  const auto started = std::chrono::steady_clock::now();
  const pid_t child = ::fork();
  if (child == 0) {
    const QuerySet<Model> all = QuerySet<Model>(person()).using_("bench");
    std::int64_t seen = 0;
    if (iterate) {
      for (auto& i : all.iterate(chunk)) seen += i.model().get("age").as_int64() > 0;
    } else {
      for (auto& i : all.execute()) seen += i.model().get("age").as_int64() > 0;
    }
    ::_exit(seen == rows ? 0 : 3);
  }
  int status = 0;
  rusage usage{};
  ::wait4(child, &status, 0, &usage);
  const double ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count();
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "the measuring process failed (status %d)\n", status);
    std::exit(1);
  }
  return {ms, static_cast<double>(usage.ru_maxrss) / 1024.0};
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const int pairs = argc > 1 ? std::atoi(argv[1]) : 3;
  const int rows = argc > 2 ? std::atoi(argv[2]) : 1'000'000;
  const std::size_t chunk = argc > 3 ? static_cast<std::size_t>(std::atoll(argv[3])) : 1000;
  std::printf("database: %s\n", ensure_database(rows).c_str());
  std::vector<double> time_ratios, iterate_peaks, execute_peaks;
  for (int p = 0; p < pairs; ++p) {
    const Run a = measure(true, chunk, rows);
    const Run b = measure(false, chunk, rows);
    time_ratios.push_back(a.ms / b.ms);
    iterate_peaks.push_back(a.peak_mib);
    execute_peaks.push_back(b.peak_mib);
    std::printf(
        "pair %d: iterate %.0f ms, peak %.1f MiB | execute %.0f ms, peak %.1f MiB | time "
        "ratio %.3f\n",
        p + 1, a.ms, a.peak_mib, b.ms, b.peak_mib, a.ms / b.ms);
  }
  std::printf(
      "iterate/execute time: median %.3f, range %.3f-%.3f over %d pairs; peak memory: iterate "
      "%.1f MiB, execute %.1f MiB (medians), %d rows, chunks of %zu\n",
      median(time_ratios), *std::min_element(time_ratios.begin(), time_ratios.end()),
      *std::max_element(time_ratios.begin(), time_ratios.end()), pairs, median(iterate_peaks),
      median(execute_peaks), rows, chunk);
  return 0;
}
