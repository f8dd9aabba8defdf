#pragma once
// The address filters every store must answer alike: a table of stored versions (as the
// lakehouse holds them: several versions of some objects, under two class versions) and
// queries over their addresses. A runner loads `versioned_rows()` with their address
// columns and compares the ids each case returns (see conformance_cases.hpp).

#include "backends/conformance_cases.hpp"
#include "velmor_utils/models/enums.hpp"

namespace velmor_test::conformance {

/// id INTEGER (one per stored version), name STRING.
inline const ModelClassPtr& versioned_class() {
  static const ModelClassPtr cls = ModelClass::create(
      "Versioned", "conformance_versions",
      {{"id", CoreTypes::INTEGER, true, {}}, {"name", CoreTypes::STRING, false, {}}});
  return cls;
}

/// The stored versions: field values plus the address columns `_object_id`,
/// `_object_version`, `_class_version`.
inline const std::vector<json::object>& versioned_rows() {
  static const std::vector<json::object> rows = [] {
    auto row = [](std::int64_t id, const char* object_id, std::int64_t version,
                  std::int64_t class_version) {
      return json::object{{"id", id},
                          {"name", std::string(object_id) + "@" + std::to_string(version)},
                          {"_object_id", object_id},
                          {"_object_version", version},
                          {"_class_version", class_version}};
    };
    // Object "c" is stored newest first, so "newest" never means "last inserted".
    return std::vector<json::object>{row(1, "a", 1, 1), row(2, "a", 2, 1), row(3, "a", 3, 2),
                                     row(4, "b", 1, 1), row(6, "c", 2, 2), row(5, "c", 1, 2),
                                     row(7, "10", 1, 1)};
  }();
  return rows;
}

inline const std::vector<Case>& address_cases() {
  using V = std::vector<std::int64_t>;
  using velmor_utils::models::enums::Versions;
  static const std::vector<Case> all = [] {
    const json::value latest = json::value_from(Versions::LATEST);
    return std::vector<Case>{
        {"object id", where({{"_address__object_id", "a"}}), V{1, 2, 3}},
        {"object id that looks like a number", where({{"_address__object_id", "10"}}), V{7}},
        {"object version", where({{"_address__object_version", 1}}), V{1, 4, 5, 7}},
        {"class version", where({{"_address__class_version", 2}}), V{3, 5, 6}},
        {"newest version of each object", where({{"_address__object_version", latest}}),
         V{3, 4, 6, 7}},
        {"the marker's other spelling", where({{"_address__object_version", "LATEST"}}),
         V{3, 4, 6, 7}},
        {"latest()", [](Query q) { return q.latest(); }, V{3, 4, 6, 7}},
        {"latest class version restricts nothing", where({{"_address__class_version", latest}}),
         V{1, 2, 3, 4, 5, 6, 7}},
        {"excluding the latest class version leaves nothing",
         where_not({{"_address__class_version", latest}}), V{}},
        {"older versions: exclude the newest", where_not({{"_address__object_version", latest}}),
         V{1, 2, 5}},
        {"one object at its newest",
         where({{"_address__object_id", "a"}, {"_address__object_version", latest}}), V{3}},
        {"newest under class version 1",
         [](Query q) {
           return q.latest().filter({{"_address__class_version", 1}});
         },
         V{4, 7}},
        {"version range", where({{"_address__object_version__gte", 2}}), V{2, 3, 6}},
        {"ids in a list", where({{"_address__object_id__in", json::array{"b", "c", "z"}}}),
         V{4, 5, 6}},
        {"or of address filters",
         where_q(Q({{"_address__object_id", "b"}}) | Q({{"_address__object_version", 3}})),
         V{3, 4}},
        {"ordered by version, then id",
         [](Query q) { return q.order_by("-_address__object_version", "id"); },
         V{3, 2, 6, 1, 4, 5, 7}, true},
        {"newest, ordered by object id",
         [](Query q) { return q.latest().order_by("_address__object_id"); }, V{7, 3, 4, 6}, true},
        // A version given as text, as the framework's version identifiers are: canonical
        // decimal text names that version, any other text none (and is no error).
        {"version as text",
         where({{"_address__object_version", "2"}, {"_address__class_version", "1"}}), V{2}},
        {"version text that names no version",
         where_q(Q({{"_address__object_version", "02"}}) |
                 Q({{"_address__object_version", "2.0"}}) |
                 Q({{"_address__object_version__gt", " 1"}})),
         V{}},
        {"excluding text that names no version excludes nothing",
         where_not({{"_address__object_version", "+1"}}), V{1, 2, 3, 4, 5, 6, 7}},
        {"versions as text in a list and in a range",
         where_q(Q({{"_address__object_version__in", json::array{"3", "x", 2, "-0"}}}) &
                 Q({{"_address__class_version__lte", "1"}})),
         V{2}},
    };
  }();
  return all;
}

}  // namespace velmor_test::conformance
