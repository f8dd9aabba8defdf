// The version decision on real stored versions (version_cases.hpp), on every store that
// holds the object store: the object store saves the rows, the executors stamp the compatible class
// versions, materialisation decides current or legacy.

#include <gtest/gtest.h>

#include <algorithm>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_future.hpp>

#include "backends/stores.hpp"
#include "backends/version_cases.hpp"
#include "velmor_models/backends/object_store.hpp"
#include "velmor_models/backends/registry.hpp"
#include "velmor_utils/utils/decorators.hpp"

namespace {

using namespace velmor_test::conformance;
namespace backends = velmor_models::backends;
namespace decorators = velmor_utils::utils::decorators;
using velmor_models::querysets::qsetkit::Instance;
using velmor_models::querysets::qsetkit::StrictClassVersion;

class VersionConformance : public testing::TestWithParam<std::string> {
 protected:
  void SetUp() override { backends::reset(); }
  void TearDown() override { backends::reset(); }

  // Fresh databases for one case: the framework's in-memory ones, or two files.
  void fresh_databases(int serial) {
    backends::reset();
    velmor_test::configure_store_aliases(GetParam(), folder, std::to_string(serial));
  }
  velmor_test::TempFolder folder;
};

std::vector<Instance<Model>> read_all(const VersionCase& c) {
  // The strict flag is the constructor's; refinements would drop it, so nothing is refined.
  const Query qs(c.latest, {}, {}, StrictClassVersion(c.strict));
  if (!c.coroutine) return qs.execute();
  decorators::ModeScope async(decorators::Mode::async);
  boost::asio::io_context io;
  auto f = boost::asio::co_spawn(io, qs.aexecute(), boost::asio::use_future);
  io.run();
  return f.get();
}

TEST_P(VersionConformance, StoredRowsComeBackAsTheVersionDecisionSays) {
  int serial = 0;
  for (const VersionCase& c : version_cases()) {
    SCOPED_TRACE(c.name);
    fresh_databases(serial++);
    const ModelClassPtr original = original_book();
    ASSERT_EQ(backends::register_model_class(original), 1);
    (void)backends::save_new_batch(original, c.old_rows);
    ASSERT_EQ(backends::register_model_class(c.latest), 2);
    (void)backends::save_new(c.latest, c.new_row);

    std::vector<std::string> got;
    try {
      std::vector<Instance<Model>> rows = read_all(c);
      std::sort(rows.begin(), rows.end(), [](const auto& a, const auto& b) {
        return a.model().get("title").as_string() < b.model().get("title").as_string();
      });
      for (const auto& r : rows) got.push_back(r.is_legacy() ? "legacy" : "current");
    } catch (const velmor_utils::errors::ValidationError&) {
      got = {"ValidationError"};
    }
    EXPECT_EQ(got, c.expected);
  }
}

INSTANTIATE_TEST_SUITE_P(Stores, VersionConformance, velmor_test::sql_stores(),
                         velmor_test::store_name);

}  // namespace
