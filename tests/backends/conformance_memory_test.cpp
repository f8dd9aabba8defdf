// What only the in-memory store, the reference, answers: its total order over values of
// every kind (records no database store would accept). The shared cases: conformance_test.

#include <gtest/gtest.h>

#include "backends/conformance_cases.hpp"
#include "velmor_models/backends/query_check.hpp"
#include "velmor_models/querysets/executor.hpp"

namespace {

using namespace velmor_test::conformance;
using velmor_models::querysets::executor::MemoryStore;

constexpr std::string_view kAlias = "conformance";

class MemoryConformance : public testing::Test {
 protected:
  void SetUp() override {
    MemoryStore::instance().clear();
    for (const json::object& row : sample_rows()) {
      json::object data = row;
      data["_metadata"] = "{}";
      MemoryStore::instance().insert(kAlias, "conformance_samples",
                                     {std::move(data), std::nullopt});
    }
  }
  void TearDown() override { MemoryStore::instance().clear(); }
  static Query base() { return Query(sample_class()).using_(kAlias); }
};

// Ordering on a key that mixes every kind with NULLs and ties gives a sequence in which
// every neighbour pair is in order, however the rows were loaded.
TEST_F(MemoryConformance, OrderingIsTotalOverMixedKinds) {
  MemoryStore::instance().clear();
  const json::value keys[] = {nullptr,
                              1,
                              1.0,
                              true,
                              false,
                              "b",
                              "a",
                              json::array{1},
                              -0.5,
                              std::uint64_t(1) << 63,
                              json::object{{"k", 1}},
                              2,
                              nullptr,
                              "B"};
  std::int64_t id = 0;
  for (int round = 0; round < 3; ++round)
    for (const json::value& k : keys)
      MemoryStore::instance().insert(kAlias, "conformance_samples",
                                     {json::object{{"id", id++}, {"data", {{"v", k}}}}, {}});
  auto rows = MemoryStore::instance().select(base().order_by("data__v"));
  ASSERT_EQ(rows.size(), 3 * std::size(keys));
  std::vector<std::int64_t> rank;
  for (const auto& r : rows) {
    const json::value& v = r.data->at("data").at("v");
    // null 0; numbers 1; text (with JSON text) 2.
    rank.push_back(v.is_null() ? 0 : v.is_number() || v.is_bool() ? 1 : 2);
  }
  EXPECT_TRUE(std::is_sorted(rank.begin(), rank.end()));
  EXPECT_EQ(rows.front().data->at("data").at("v"), nullptr);
  EXPECT_EQ(rows.back().data->at("data").at("v"), (json::object{{"k", 1}}));  // "{" > "b"
}

TEST(FieldOf, FindsDeclaredFieldsAndNamesTheOthers) {
  EXPECT_EQ(velmor_models::backends::field_of(*sample_class(), "score").type, CoreTypes::NUMBER);
  try {
    velmor_models::backends::field_of(*sample_class(), "Name");
    ADD_FAILURE() << "no error";
  } catch (const velmor_models::querysets::errors::FieldError& e) {
    EXPECT_STREQ(e.what(),
                 "Cannot resolve 'Name': model 'Sample' has no field 'Name'. Its fields: id, "
                 "name, age, score, active, data. Did you mean 'name'?");
  }
}

}  // namespace
