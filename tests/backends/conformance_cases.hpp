#pragma once
// The meaning of queries that every store must share: one table of rows, queries over it
// and the ids each query returns, plus queries each store must refuse. A runner per store
// loads the rows into its table, runs every case and compares the ids; the cases do not
// know which store runs them.
//
// Rows hold mixed-case and non-ASCII text, NULLs in every column, integers that doubles
// cannot tell apart (2^53 + 1, 2^62 + 1), reals, booleans stored as true/false and as 1/0,
// and JSON values whose paths hold every kind or are missing.

#include <gtest/gtest.h>

#include <algorithm>
#include <boost/json/array.hpp>
#include <boost/json/object.hpp>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "velmor_models/querysets/errors.hpp"
#include "velmor_models/querysets/qsetkit.hpp"

namespace velmor_test::conformance {

using velmor_models::classes::model::CoreTypes;
using velmor_models::classes::model::Model;
using velmor_models::classes::model::ModelClass;
using velmor_models::classes::model::ModelClassPtr;
using velmor_models::querysets::qsetkit::NamedFilters;
using velmor_models::querysets::qsetkit::Q;
using velmor_models::querysets::qsetkit::QuerySet;
using velmor_models::querysets::qsetkit::Slice;
namespace json = boost::json;

using Query = QuerySet<Model>;
using Build = std::function<Query(Query)>;

/// The model of the table: id INTEGER, name STRING, age INTEGER, score NUMBER,
/// active BOOLEAN, data DICTIONARY; every field but id optional.
inline const ModelClassPtr& sample_class() {
  static const ModelClassPtr cls = ModelClass::create("Sample", "conformance_samples",
                                                      {{"id", CoreTypes::INTEGER, true, {}},
                                                       {"name", CoreTypes::STRING, false, {}},
                                                       {"age", CoreTypes::INTEGER, false, {}},
                                                       {"score", CoreTypes::NUMBER, false, {}},
                                                       {"active", CoreTypes::BOOLEAN, false, {}},
                                                       {"data", CoreTypes::DICTIONARY, false, {}}});
  return cls;
}

inline constexpr std::int64_t k2p53 = 9007199254740992;     // 2^53
inline constexpr std::int64_t k2p62 = 4611686018427387904;  // 2^62

/// The rows, one mapping of field values each (a NULL is a null value; `_metadata` is
/// the runner's to add).
inline const std::vector<json::object>& sample_rows() {
  static const std::vector<json::object> rows = [] {
    json::value null;
    auto row = [&](std::int64_t id, json::value name, json::value age, json::value score,
                   json::value active, json::value data) {
      return json::object{{"id", id},
                          {"name", std::move(name)},
                          {"age", std::move(age)},
                          {"score", std::move(score)},
                          {"active", std::move(active)},
                          {"data", std::move(data)}};
    };
    return std::vector<json::object>{
        row(1, "Ann", 30, 29.5, true,
            json::object{{"city", "Paris"}, {"n", 1}, {"tags", {{"x", 1}}}}),
        row(2, "ann", 25, 30.0, false, json::object{{"city", "paris"}, {"n", "1"}}),
        row(3, "ANNA", null, 12.25, null, json::object{{"city", nullptr}}),
        row(4, "Stra\u00dfe", k2p53 + 1, -1.5, 1, json::object{{"n", 2.5}}),
        row(5, "STRASSE", k2p53, null, 0, json::object{}),
        row(6, "\u03a3\u03af\u03c3\u03c5\u03c6\u03bf\u03c2", k2p62 + 1, 1e300, true,
            json::object{{"nested", {{"deep", "yes"}}}}),
        row(7, null, k2p62, 0.0, false, null),
        row(8, "bob_%x", -7, 30, true, json::object{{"city", "Lyon"}, {"n", 30}}),
        row(9, "\u212aelvin", 0, 7.0, null, json::object{{"city", "PARIS"}}),
        row(10, "\u00e9mile", 29, null, true, json::object{{"n", json::array{1, 2}}}),
        row(11, "", std::numeric_limits<std::int64_t>::min(), 2.0, false,
            json::object{{"n", true}}),
        row(12, "zo\u00eb", 30, 29.0, true, json::object{{"city", "Paris"}, {"n", 1.0}}),
    };
  }();
  return rows;
}

/// One query and the ids of the rows it returns. `ordered`: the ids in exactly this
/// order; otherwise as a set (the query leaves ties or the whole order open).
struct Case {
  std::string name;
  Build build;
  std::vector<std::int64_t> ids;
  bool ordered = false;
};

inline Build where(NamedFilters f) {
  return [f = std::move(f)](Query q) { return q.filter(f); };
}
inline Build where_not(NamedFilters f) {
  return [f = std::move(f)](Query q) { return q.exclude(f); };
}
inline Build where_q(Q c) {
  return [c = std::move(c)](Query q) { return q.filter(c); };
}
inline Query sorted(const Query& q) {
  return q.order_by("id");
}

inline const std::vector<Case>& cases() {
  using V = std::vector<std::int64_t>;
  static const std::vector<Case> all = [] {
    json::array long_in;
    for (std::int64_t i = 0; i < 40000; ++i) long_in.push_back(1000 + 3 * i);
    long_in.push_back(30);
    json::value null;
    // NOT(NOT(...)) 64 levels deep around an OR: the same rows as the OR.
    Q deep = Q(NamedFilters{{"age", 25}}) | Q(NamedFilters{{"name", nullptr}});
    for (int i = 0; i < 64; ++i) deep = ~deep;
    const V all_ids{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    return std::vector<Case>{
        {"no_condition", [](Query q) { return q; }, all_ids},

        // Text: bytes, case-sensitive unless the lookup says otherwise.
        {"exact_text", where({{"name", "Ann"}}), V{1}},
        {"exact_is_case_sensitive", where({{"name", "ann"}}), V{2}},
        {"exact_null_is_null", where({{"name", nullptr}}), V{7}},
        {"iexact_null_is_null", where({{"name__iexact", nullptr}}), V{7}},
        {"iexact_ascii", where({{"name__iexact", "ANN"}}), V{1, 2}},
        {"iexact_folds_sharp_s", where({{"name__iexact", "strasse"}}), V{4, 5}},
        {"iexact_folds_final_sigma",
         where({{"name__iexact", "\u03a3\u038a\u03a3\u03a5\u03a6\u039f\u03a3"}}), V{6}},
        {"icontains_ascii", where({{"name__icontains", "An"}}), V{1, 2, 3}},
        {"icontains_folds_kelvin_sign", where({{"name__icontains", "KELVIN"}}), V{9}},
        {"icontains_non_ascii", where({{"name__icontains", "\u00c9MI"}}), V{10}},
        {"contains_is_case_sensitive", where({{"name__contains", "nn"}}), V{1, 2}},
        {"contains_percent_and_underscore_are_plain", where({{"name__contains", "_%"}}), V{8}},
        {"contains_underscore_is_no_wildcard", where({{"name__contains", "b_"}}), V{8}},
        {"contains_empty_matches_all_text", where({{"name__contains", ""}}),
         V{1, 2, 3, 4, 5, 6, 8, 9, 10, 11, 12}},
        {"startswith_is_case_sensitive", where({{"name__startswith", "A"}}), V{1, 3}},
        {"endswith_non_ascii", where({{"name__endswith", "e"}}), V{4, 10}},
        {"text_range_is_bytewise", where({{"name__gt", "Z"}}), V{2, 6, 8, 9, 10, 12}},
        {"text_in", where({{"name__in", {"Ann", "zo\u00eb", "nobody"}}}), V{1, 12}},

        // Numbers: exact across int64 and reals, booleans as 0 and 1.
        {"int_gt", where({{"age__gt", 29}}), V{1, 4, 5, 6, 7, 12}},
        {"int_gte", where({{"age__gte", 29}}), V{1, 4, 5, 6, 7, 10, 12}},
        {"int_lt_negative", where({{"age__lt", 0}}), V{8, 11}},
        {"int_lte", where({{"age__lte", 0}}), V{8, 9, 11}},
        {"int64_min", where({{"age", std::numeric_limits<std::int64_t>::min()}}), V{11}},
        {"two_to_53_plus_1", where({{"age", k2p53 + 1}}), V{4}},
        {"two_to_53", where({{"age", k2p53}}), V{5}},
        {"two_to_62_plus_1", where({{"age", k2p62 + 1}}), V{6}},
        {"above_two_to_53", where({{"age__gt", k2p53}}), V{4, 6, 7}},
        {"large_in", where({{"age__in", {k2p62, 1}}}), V{7}},
        {"real_equals_no_integer", where({{"age", 29.5}}), V{}},
        {"integer_below_real", where({{"age__lt", 29.5}}), V{2, 8, 9, 10, 11}},
        {"integer_above_real", where({{"age__gt", 29.5}}), V{1, 4, 5, 6, 7, 12}},
        {"real_equals_integer", where({{"score", 30}}), V{2, 8}},
        {"real_gt_integer", where({{"score__gt", 29}}), V{1, 2, 6, 8}},
        {"real_lte", where({{"score__lte", 0}}), V{4, 7}},
        {"bool_true", where({{"active", true}}), V{1, 4, 6, 8, 10, 12}},
        {"bool_false", where({{"active", false}}), V{2, 5, 7, 11}},
        {"bool_as_integer", where({{"active", 1}}), V{1, 4, 6, 8, 10, 12}},
        {"bool_in", where({{"active__in", {true}}}), V{1, 4, 6, 8, 10, 12}},
        {"bool_gt_false", where({{"active__gt", false}}), V{1, 4, 6, 8, 10, 12}},

        // NULLs and negation: two-valued, NOT is the complement.
        {"isnull_true", where({{"score__isnull", true}}), V{5, 10}},
        {"isnull_false", where({{"score__isnull", false}}), V{1, 2, 3, 4, 6, 7, 8, 9, 11, 12}},
        {"exclude_keeps_nulls", where_not({{"name", "Ann"}}),
         V{2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}},
        {"exclude_range_keeps_nulls", where_not({{"score__gt", 10}}), V{4, 5, 7, 9, 10, 11}},
        {"exclude_bool_keeps_nulls", where_not({{"active", true}}), V{2, 3, 5, 7, 9, 11}},
        {"exclude_icontains_keeps_nulls", where_not({{"name__icontains", "a"}}),
         V{6, 7, 8, 9, 10, 11, 12}},
        {"exclude_null_is_not_null", where_not({{"name", nullptr}}),
         V{1, 2, 3, 4, 5, 6, 8, 9, 10, 11, 12}},
        {"in_empty", where({{"age__in", json::array{}}}), V{}},
        {"exclude_in_empty", where_not({{"age__in", json::array{}}}), all_ids},
        {"in_null_matches_nothing", where({{"age__in", {null, 30}}}), V{1, 12}},
        {"exclude_in_with_null_keeps_nulls", where_not({{"age__in", {null, 30}}}),
         V{2, 3, 4, 5, 6, 7, 8, 9, 10, 11}},
        {"in_long_list", where({{"age__in", long_in}}), V{1, 12}},
        {"exclude_in_long_list", where_not({{"age__in", long_in}}),
         V{2, 3, 4, 5, 6, 7, 8, 9, 10, 11}},

        // AND, OR, NOT of any depth.
        {"and", where({{"age__gte", 25}, {"active", true}}), V{1, 4, 6, 10, 12}},
        {"or",
         where_q(Q(NamedFilters{{"active", true}}) | Q(NamedFilters{{"score__isnull", true}})),
         V{1, 4, 5, 6, 8, 10, 12}},
        {"not_of_or",
         where_q(~(Q(NamedFilters{{"age__lt", 30}}) | Q(NamedFilters{{"name", nullptr}}))),
         V{1, 3, 4, 5, 6, 12}},
        {"and_of_not_and_or",
         where_q(Q(NamedFilters{{"score__gte", 0}}) &
                 ~(Q(NamedFilters{{"active", false}}) | Q(NamedFilters{{"age__gt", 29}}))),
         V{3, 8, 9}},
        {"exclude_of_and", where_not({{"active", true}, {"age", 30}}),
         V{2, 3, 4, 5, 6, 7, 8, 9, 10, 11}},
        {"deep_negation", where_q(deep), V{2, 7}},
        {"filter_then_exclude",
         [](Query q) {
           return q.filter({{"active", true}}).exclude({{"data__city", "Paris"}});
         },
         V{4, 6, 8, 10}},

        // Paths into the JSON field: objects only, a missing key is NULL, any kind.
        {"json_text", where({{"data__city", "Paris"}}), V{1, 12}},
        {"json_iexact", where({{"data__city__iexact", "PARIS"}}), V{1, 2, 9, 12}},
        {"json_null_or_missing", where({{"data__city", nullptr}}), V{3, 4, 5, 6, 7, 10, 11}},
        {"json_isnull_false", where({{"data__city__isnull", false}}), V{1, 2, 8, 9, 12}},
        {"json_exclude_keeps_missing", where_not({{"data__city", "Paris"}}),
         V{2, 3, 4, 5, 6, 7, 8, 9, 10, 11}},
        {"json_number_and_bool", where({{"data__n", 1}}), V{1, 11, 12}},
        {"json_text_is_not_a_number", where({{"data__n", "1"}}), V{2}},
        {"json_cross_kind_range", where({{"data__n__gt", 2}}), V{2, 4, 8, 10}},
        {"json_contains_matches_only_text", where({{"data__n__contains", "1"}}), V{2}},
        {"json_nested", where({{"data__nested__deep", "yes"}}), V{6}},
        {"json_nested_number", where({{"data__tags__x", 1}}), V{1}},
        {"json_in", where({{"data__n__in", {2.5, "1", null}}}), V{2, 4}},

        // One total order: NULL first ascending and last descending, numbers exactly,
        // text by bytes, kinds in the order NULL < numbers < text.
        {"order_int", [](Query q) { return q.order_by("age", "id"); },
         V{3, 11, 8, 9, 2, 10, 1, 12, 5, 4, 7, 6}, true},
        {"order_int_descending", [](Query q) { return q.order_by("-age", "id"); },
         V{6, 7, 4, 5, 1, 12, 10, 2, 9, 8, 11, 3}, true},
        {"order_text_bytes", [](Query q) { return q.order_by("name"); },
         V{7, 11, 3, 1, 5, 4, 2, 8, 12, 10, 6, 9}, true},
        {"order_text_descending", [](Query q) { return q.order_by("-name"); },
         V{9, 6, 10, 12, 8, 2, 4, 5, 1, 3, 11, 7}, true},
        {"order_real_with_ties", [](Query q) { return q.order_by("score", "-id"); },
         V{10, 5, 4, 7, 11, 9, 3, 12, 1, 8, 2, 6}, true},
        {"order_bool", [](Query q) { return q.order_by("+active", "id"); },
         V{3, 9, 2, 5, 7, 11, 1, 4, 6, 8, 10, 12}, true},
        {"order_json_path_across_kinds", [](Query q) { return q.order_by("data__n", "id"); },
         V{3, 5, 6, 7, 9, 1, 11, 12, 4, 8, 2, 10}, true},
        {"order_json_path_descending", [](Query q) { return q.order_by("-data__city", "id"); },
         V{2, 1, 12, 9, 8, 3, 4, 5, 6, 7, 10, 11}, true},

        // distinct(fields): the first row of each group in the query's ordering.
        {"distinct_first_in_order", [](Query q) { return q.order_by("id").distinct({"active"}); },
         V{1, 2, 3}, true},
        {"distinct_first_in_reverse_order",
         [](Query q) { return q.order_by("-id").distinct({"active"}); }, V{12, 11, 9}, true},
        {"distinct_equal_numbers_and_nulls_group",
         [](Query q) { return q.order_by("-id").distinct({"score"}); },
         V{12, 11, 10, 9, 8, 7, 6, 4, 3, 1}, true},
        {"distinct_two_fields",
         [](Query q) {
           return q.order_by("id").distinct({"active", "age"});
         },
         V{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}, true},
        {"distinct_json_path", [](Query q) { return q.order_by("-id").distinct({"data__city"}); },
         V{12, 11, 9, 8, 2}, true},
        {"distinct_then_window",
         [](Query q) { return q.order_by("id").distinct({"active"})[Slice(1, 3)]; }, V{2, 3}, true},
        {"distinct_empty_list", [](Query q) { return q.distinct({}); }, all_ids},

        // The window.
        {"window", [](Query q) { return sorted(q)[Slice(2, 5)]; }, V{3, 4, 5}, true},
        {"window_index", [](Query q) { return sorted(q)[4]; }, V{5}, true},
        {"window_after_filter",
         [](Query q) {
           return q.filter({{"active", true}}).order_by("-id")[Slice(1, 3)];
         },
         V{10, 8}, true},
        {"window_empty", [](Query q) { return sorted(q)[Slice(0, 0)]; }, V{}, true},
        {"window_negative_limit", [](Query q) { return sorted(q)[Slice(5, 2)]; }, V{}, true},
        {"window_past_the_end", [](Query q) { return sorted(q)[Slice(10, 20)]; }, V{11, 12}, true},
        {"window_negative_offset", [](Query q) { return sorted(q)[Slice(-1, 2)]; }, V{1, 2, 3},
         true},
        {"window_offset_only",
         [](Query q) {
           Query out = sorted(q);
           out.get_paginator().offset = 9;
           return out;
         },
         V{10, 11, 12}, true},
        {"window_limit_only",
         [](Query q) {
           Query out = sorted(q);
           out.get_paginator().limit = 2;
           return out;
         },
         V{1, 2}, true},
    };
  }();
  return all;
}

/// What a store must refuse, before it runs anything.
enum class Refusal { field, type, value };

struct ErrorCase {
  std::string name;
  Build build;
  Refusal refusal;
  std::string message_part;  ///< a part of the error message
};

inline const std::vector<ErrorCase>& error_cases() {
  static const std::vector<ErrorCase> all = [] {
    using velmor_utils::query::Filter;
    auto leaf = [](std::string path, velmor_utils::query::Lookup lookup, json::value v) {
      return Q::leaf(Filter{std::move(path), lookup, std::move(v)});
    };
    const std::string long_name(5000, 'x');
    return std::vector<ErrorCase>{
        {"unknown_filter_field", where({{"nmae", "Ann"}}), Refusal::field, "Did you mean 'name'?"},
        {"unknown_field_lists_fields", where({{"height__gt", 1}}), Refusal::field,
         "Its fields: id, name, age, score, active, data."},
        {"unknown_field_deep_in_condition",
         where_q(Q(NamedFilters{{"age", 1}}) | ~Q(NamedFilters{{"agee__lt", 2}})), Refusal::field,
         "'agee'"},
        {"unknown_order_field", [](Query q) { return q.order_by("-scor"); }, Refusal::field,
         "Did you mean 'score'?"},
        {"unknown_only_field", [](Query q) { return q.only({"nam"}); }, Refusal::field,
         "model 'Sample' has no field 'nam'"},
        {"unknown_distinct_field", [](Query q) { return q.distinct({"city"}); }, Refusal::field,
         "'city'"},
        {"unknown_select_related", [](Query q) { return q.select_related("friend__car"); },
         Refusal::field, "'friend'"},
        {"quotes_and_sql_in_a_name", where({{"na\"me'; DROP TABLE x; --", 1}}), Refusal::field,
         "'na\"me\\x27; DROP TABLE x; --'"},
        {"nul_and_control_bytes_in_a_name", where(NamedFilters{{std::string_view("a\0b\n", 4), 1}}),
         Refusal::field, "'a\\x00b\\x0a'"},
        {"very_long_name", where({{long_name, 1}}), Refusal::field, "(5000 bytes)"},
        {"path_into_a_text_field", where({{"name__first", "A"}}), Refusal::field,
         "only ARRAY and DICTIONARY fields"},
        {"unknown_lookup_is_a_path", where({{"age__like", 1}}), Refusal::field, "'age__like'"},
        {"text_lookup_on_integer", where({{"age__contains", "3"}}), Refusal::type, "INTEGER"},
        {"text_lookup_on_json_field", where({{"data__icontains", "x"}}), Refusal::type,
         "DICTIONARY"},
        {"text_lookup_with_number", where({{"name__startswith", 1}}), Refusal::type, "needs text"},
        {"text_value_on_integer", where({{"age", "30"}}), Refusal::type, "'age'"},
        {"number_on_text_field", where({{"name__gt", 5}}), Refusal::type, "STRING"},
        {"bool_on_text_field", where({{"name__in", {"a", true}}}), Refusal::type, "STRING"},
        {"null_with_contains", where({{"name__contains", nullptr}}), Refusal::value, "'contains'"},
        {"null_with_gt", where({{"data__n__gt", nullptr}}), Refusal::value, "'gt'"},
        {"nan", where({{"score__gt", std::nan("")}}), Refusal::value, "NaN"},
        {"infinity", where({{"score", std::numeric_limits<double>::infinity()}}), Refusal::value,
         "infinity"},
        {"integer_past_int64",
         where({{"age", std::uint64_t(std::numeric_limits<std::int64_t>::max()) + 1}}),
         Refusal::value, "9223372036854775808"},
        {"text_not_utf8", where({{"name", "\xff\xfe"}}), Refusal::value, "UTF-8"},
        {"nested_list_in_in", where({{"age__in", {json::array{1}}}}), Refusal::type, "list"},
        {"object_as_value", where({{"data__n", json::object{{"a", 1}}}}), Refusal::type, "object"},
        {"isnull_needs_bool", where_q(leaf("age", velmor_utils::query::Lookup::isnull, 1)),
         Refusal::type, "boolean"},
        {"in_needs_list", where_q(leaf("age", velmor_utils::query::Lookup::in, 1)), Refusal::type,
         "list"},
        {"in_on_a_json_field", where({{"data__in", json::array{}}}), Refusal::type, "DICTIONARY"},
        {"empty_json_key", where_q(leaf("data____n", velmor_utils::query::Lookup::exact, 1)),
         Refusal::field, "empty key"},
        {"text_in_a_text_lookup_on_a_version", where({{"_address__object_version__contains", "1"}}),
         Refusal::type, "applies to text"},
        {"unknown_address_key", where({{"_address__owner", 1}}), Refusal::field,
         "names no address column"},
    };
  }();
  return all;
}

/// The ids of returned records, in delivery order.
inline std::vector<std::int64_t> ids_of(const std::vector<velmor_glue::Data>& records) {
  std::vector<std::int64_t> out;
  for (const auto& r : records) out.push_back(r.data->at("id").to_number<std::int64_t>());
  return out;
}

/// Compares what a store returned for `c` with the case's ids.
inline void expect_rows(const Case& c, const std::vector<velmor_glue::Data>& records) {
  std::vector<std::int64_t> got = ids_of(records), want = c.ids;
  if (!c.ordered) {
    std::sort(got.begin(), got.end());
    std::sort(want.begin(), want.end());
  }
  EXPECT_EQ(got, want) << c.name;
}

/// Runs `run` on the refused query of `c` and checks the error's kind and message.
template <class Run>
void expect_refusal(const ErrorCase& c, Run&& run) {
  try {
    run();
    ADD_FAILURE() << c.name << ": no error";
  } catch (const velmor_models::querysets::errors::FieldError& e) {
    EXPECT_EQ(c.refusal, Refusal::field) << c.name << ": " << e.what();
    EXPECT_NE(std::string(e.what()).find(c.message_part), std::string::npos) << e.what();
  } catch (const velmor_utils::errors::TypeError& e) {
    EXPECT_EQ(c.refusal, Refusal::type) << c.name << ": " << e.what();
    EXPECT_NE(std::string(e.what()).find(c.message_part), std::string::npos) << e.what();
  } catch (const velmor_utils::errors::ValueError& e) {
    EXPECT_EQ(c.refusal, Refusal::value) << c.name << ": " << e.what();
    EXPECT_NE(std::string(e.what()).find(c.message_part), std::string::npos) << e.what();
  }
}

}  // namespace velmor_test::conformance
