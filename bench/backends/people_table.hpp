#pragma once
// The 200,000-row table the read benchmarks share, on every store: the model class and
// its rows (a `_metadata` of a plain record, without a class version to look up).

#include <boost/json/object.hpp>
#include <string>
#include <vector>

#include "velmor_models/classes/model.hpp"

namespace bench_people {

constexpr int row_count = 200'000;

inline const velmor_models::classes::model::ModelClassPtr& person() {
  using velmor_models::classes::model::CoreTypes;
  static const auto cls =
      velmor_models::classes::model::ModelClass::create("Person", "people",
                                                        {{"id", CoreTypes::INTEGER, true, {}},
                                                         {"name", CoreTypes::STRING, true, {}},
                                                         {"email", CoreTypes::STRING, true, {}},
                                                         {"age", CoreTypes::INTEGER, true, {}}});
  return cls;
}

inline std::vector<boost::json::object> person_rows() {
  std::vector<boost::json::object> rows;
  rows.reserve(row_count);
  for (int i = 0; i < row_count; ++i) {
    std::string meta = R"({"object_id":")" + std::to_string(1000000 + i) +
                       R"(","created_at":"2026-12-08T10:00:00Z","class_schema_reference":null})";
    rows.push_back(boost::json::object{{"id", i},
                                       {"name", "person-" + std::to_string(i)},
                                       {"email", "person" + std::to_string(i) + "@example.com"},
                                       {"age", 18 + (i * 7919) % 70},
                                       {"_metadata", meta}});
  }
  return rows;
}

}  // namespace bench_people
