#pragma once
// The address filters every store must answer alike: a table of stored versions (as the
// lakehouse holds them: several versions of some objects, under two class versions) and
// queries over their addresses. A runner loads `versioned_rows()` with their address
// columns and compares the ids each case returns (see conformance_cases.hpp).

#include <chrono>
#include <optional>

#include "backends/conformance_cases.hpp"
#include "backends/deletions.hpp"
#include "velmor_utils/models/enums.hpp"

namespace velmor_test::conformance {

/// id INTEGER (one per stored version), name STRING.
inline const ModelClassPtr& versioned_class() {
  static const ModelClassPtr cls = ModelClass::create(
      "Versioned", "conformance_versions",
      {{"id", CoreTypes::INTEGER, true, {}}, {"name", CoreTypes::STRING, false, {}}});
  return cls;
}

/// 2026-12-10T12:00:00Z in microseconds since the epoch: the versions' save times count
/// from it.
inline constexpr std::int64_t kT0 = 1796904000000000;
inline constexpr std::int64_t kSecond = 1000000;

/// The stored versions: field values plus the address columns `_object_id`,
/// `_object_version`, `_class_version` and `_saved_at`. Versions a1 and b1 were saved
/// before save times were kept (NULL; b1 has no such column at all); the others at kT0
/// plus a1 1 s, a2 1 s, a3 3 s, c1 2 s, c2 2.5 s, "10"1 1 s.
inline const std::vector<json::object>& versioned_rows() {
  static const std::vector<json::object> rows = [] {
    auto row = [](std::int64_t id, const char* object_id, std::int64_t version,
                  std::int64_t class_version, json::value saved_at) {
      json::object out{{"id", id},
                       {"name", std::string(object_id) + "@" + std::to_string(version)},
                       {"_object_id", object_id},
                       {"_object_version", version},
                       {"_class_version", class_version}};
      if (!saved_at.is_string()) out["_saved_at"] = saved_at;  // "absent": not given
      return out;
    };
    const json::value null;
    // Object "c" is stored newest first, so "newest" never means "last inserted".
    return std::vector<json::object>{row(1, "a", 1, 1, null),
                                     row(2, "a", 2, 1, kT0 + kSecond),
                                     row(3, "a", 3, 2, kT0 + 3 * kSecond),
                                     row(4, "b", 1, 1, "absent"),
                                     row(6, "c", 2, 2, kT0 + 5 * kSecond / 2),
                                     row(5, "c", 1, 2, kT0 + 2 * kSecond),
                                     row(7, "10", 1, 1, kT0 + kSecond)};
  }();
  return rows;
}

/// Deletions the SQL stores' runners record beside the versions: b at kT0 + 1.5 s (for
/// good), c at kT0 + 2.2 s (saved again as c2 at 2.5 s), and an object "a" of another
/// class, which deletes nothing here.
inline const std::vector<velmor_test::Deletion>& versioned_deletions() {
  static const std::vector<Deletion> all = {{"Versioned", "b", 1, kT0 + 3 * kSecond / 2},
                                            {"Versioned", "c", 1, kT0 + 22 * kSecond / 10},
                                            {"Other", "a", 9, kT0}};
  return all;
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

        // Save times: microseconds or RFC 3339 text; a NULL time is the earliest.
        {"saved at an instant, in microseconds", where({{"_address__saved_at", kT0 + kSecond}}),
         V{2, 7}},
        {"the instant as RFC 3339 text", where({{"_address__saved_at", "2026-12-10T12:00:01Z"}}),
         V{2, 7}},
        {"the instant with an offset and a fraction",
         where({{"_address__saved_at", "2026-12-10T14:00:01.000000+02:00"}}), V{2, 7}},
        {"lower-case t and z, a fraction of a second",
         where({{"_address__saved_at", "2026-12-10t12:00:02.5z"}}), V{6}},
        {"a time west of UTC", where({{"_address__saved_at__gt", "2026-12-10T09:00:02.1-03:00"}}),
         V{3, 6}},
        {"at or before a time, NULL times included",
         where({{"_address__saved_at__lte", kT0 + 2 * kSecond}}), V{1, 2, 4, 5, 7}},
        {"NULL times are earlier than any time",
         where({{"_address__saved_at__lt", "1970-01-01T00:00:00Z"}}), V{1, 4}},
        {"isnull tells the NULL times", where({{"_address__saved_at__isnull", true}}), V{1, 4}},
        {"exact null is NULL", where({{"_address__saved_at", nullptr}}), V{1, 4}},
        {"not null", where({{"_address__saved_at__isnull", false}}), V{2, 3, 5, 6, 7}},
        {"times in a list: text, microseconds and null",
         where({{"_address__saved_at__in",
                 json::array{"2026-12-10T12:00:03Z", kT0 + 2 * kSecond, nullptr}}}),
         V{3, 5}},
        {"excluding a range keeps the NULL times",
         where_not({{"_address__saved_at__gte", "2026-12-10T12:00:02Z"}}), V{1, 2, 4, 7}},
        {"ordered by save time, NULLs first",
         [](Query q) { return q.order_by("_address__saved_at", "id"); }, V{1, 4, 2, 7, 5, 6, 3},
         true},
        {"ordered by save time descending, NULLs last",
         [](Query q) { return q.order_by("-_address__saved_at", "id"); }, V{3, 6, 5, 2, 7, 1, 4},
         true},
        {"one per save time, the NULL times one group",
         [](Query q) { return q.order_by("id").distinct({"_address__saved_at"}); },
         V{1, 2, 3, 5, 6}, true},
    };
  }();
  return all;
}

/// Save times a store must refuse in `_address__saved_at`, before it runs anything.
inline const std::vector<ErrorCase>& address_error_cases() {
  static const std::vector<ErrorCase> all = [] {
    using velmor_utils::query::Filter;
    using velmor_utils::query::Lookup;
    auto exact = [](json::value v) {
      return where_q(Q::leaf(Filter{"_address__saved_at", Lookup::exact, std::move(v)}));
    };
    return std::vector<ErrorCase>{
        {"no offset", exact("2026-12-10T12:00:00"), Refusal::value, "takes a time"},
        {"a space for the T", exact("2026-12-10 12:00:00Z"), Refusal::value, "takes a time"},
        {"a date alone", exact("2026-12-10"), Refusal::value, "takes a time"},
        {"no such day", exact("2026-02-29T12:00:00Z"), Refusal::value, "takes a time"},
        {"no such hour", exact("2026-12-10T24:00:00Z"), Refusal::value, "takes a time"},
        {"a leap second", exact("2016-12-31T23:59:60Z"), Refusal::value, "takes a time"},
        {"finer than a microsecond", exact("2026-12-10T12:00:00.1234567Z"), Refusal::value,
         "takes a time"},
        {"an empty fraction", exact("2026-12-10T12:00:00.Z"), Refusal::value, "takes a time"},
        {"a fraction of thirty digits",
         exact(json::string("2026-12-10T12:00:00." + std::string(30, '9') + "Z")), Refusal::value,
         "takes a time"},
        {"an offset without minutes", exact("2026-12-10T12:00:00+02"), Refusal::value,
         "takes a time"},
        {"text after the time", exact("2026-12-10T12:00:00Zx"), Refusal::value, "takes a time"},
        {"the version marker", exact("LATEST"), Refusal::value, "takes a time"},
        {"a real number", exact(1.5), Refusal::type, "a real number"},
        {"a boolean", exact(true), Refusal::type, "a boolean"},
        {"a list", exact(json::array{kT0}), Refusal::type, "a list"},
        {"past 64 bits", exact(std::uint64_t(1) << 63), Refusal::value, "9223372036854775808"},
        {"a bad time in a list", where({{"_address__saved_at__in", json::array{kT0, "yesterday"}}}),
         Refusal::value, "'yesterday'"},
        {"a real in a list", where({{"_address__saved_at__in", json::array{0.5}}}), Refusal::type,
         "a real number"},
        {"a text lookup", where({{"_address__saved_at__startswith", "2026"}}), Refusal::type,
         "applies to text"},
    };
  }();
  return all;
}

/// A query as of a time and the ids it returns. The memory store keeps no deletions:
/// where one matters it returns `without_deletions` instead.
struct AsOfCase {
  Case query;
  std::optional<std::vector<std::int64_t>> without_deletions = std::nullopt;
};

/// `base` as of kT0 plus `offset` microseconds.
inline Query as_of(const Query& base, std::int64_t offset) {
  return base.as_of(
      std::chrono::sys_time<std::chrono::microseconds>(std::chrono::microseconds(kT0 + offset)));
}

inline const std::vector<AsOfCase>& as_of_cases() {
  using V = std::vector<std::int64_t>;
  using namespace std::chrono;
  static const std::vector<AsOfCase> all = {
      {{"at the epoch: the versions without a time",
        [](Query q) { return q.as_of(sys_days(1970y / 1 / 1)); }, V{1, 4}}},
      {{"each object's newest version at a time", [](Query q) { return as_of(q, kSecond); },
        V{2, 4, 7}}},
      {{"a time in nanoseconds counts down to the microsecond",
        [](Query q) {
          return q.as_of(sys_time<nanoseconds>(microseconds(kT0 + kSecond)) - nanoseconds(1));
        },
        V{1, 4}}},
      {{"deleted at that very time", [](Query q) { return as_of(q, 3 * kSecond / 2); }, V{2, 7}},
       V{2, 4, 7}},
      {{"before a deletion", [](Query q) { return as_of(q, 21 * kSecond / 10); }, V{2, 5, 7}},
       V{2, 4, 5, 7}},
      {{"after a deletion, before the object is saved again",
        [](Query q) { return as_of(q, 23 * kSecond / 10); }, V{2, 7}},
       V{2, 4, 5, 7}},
      {{"saved again after its deletion", [](Query q) { return as_of(q, 5 * kSecond / 2); },
        V{2, 6, 7}},
       V{2, 4, 6, 7}},
      {{"a time to come: the live objects",
        [](Query q) { return q.as_of(sys_days(2100y / 1 / 1)); }, V{3, 6, 7}},
       V{3, 4, 6, 7}},
      {{"a filter on top",
        [](Query q) {
          return as_of(q, 5 * kSecond / 2).filter({{"name__endswith", "@2"}});
        },
        V{2, 6}}},
      {{"an exclusion on top",
        [](Query q) {
          return as_of(q, 5 * kSecond / 2).exclude({{"_address__object_id", "c"}});
        },
        V{2, 7}},
       V{2, 4, 7}},
      {{"latest() on top: the newest then, not now",
        [](Query q) { return as_of(q, kSecond).latest(); }, V{2, 4, 7}}},
      {{"excluding the newest then leaves nothing",
        [](Query q) {
          return as_of(q, kSecond).exclude({{"_address__object_version", "latest"}});
        },
        V{}}},
      {{"a version filter on top",
        [](Query q) {
          return as_of(q, kSecond).filter({{"_address__object_version", 1}});
        },
        V{4, 7}}},
      {{"ordered by save time and sliced",
        [](Query q) {
          return as_of(q, 5 * kSecond / 2).order_by("-_address__saved_at")[Slice(0, 2)];
        },
        V{6, 2}, true}},
      {{"distinct on top",
        [](Query q) {
          return as_of(q, 5 * kSecond / 2).order_by("id").distinct({"_address__class_version"});
        },
        V{2, 6}, true}},
      {{"as of a time, then another: the last one counts",
        [](Query q) { return as_of(as_of(q, 0), kSecond); }, V{2, 4, 7}}},
  };
  return all;
}

}  // namespace velmor_test::conformance
