// The building operations: conditions, ordering, fields, windows and kinds.

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "test_models.hpp"
#include "velmor_models/querysets/errors.hpp"
#include "velmor_models/querysets/qsetkit.hpp"
#include "velmor_utils/errors.hpp"
#include "velmor_utils/models/enums.hpp"

namespace {

using namespace velmor_models::querysets::qsetkit;
using velmor_models::querysets::errors::BulkOperationError;
using velmor_test::Customer;
using velmor_test::VipCustomer;
using velmor_utils::errors::TypeError;
using velmor_utils::errors::ValueError;
namespace json = boost::json;

const Q a = Q({{"a", 1}});
const Q b = Q({{"b", 2}});
const Q c = Q({{"c", 3}});

template <class QS, class A>
concept takes_only = requires(const QS& qs, A a) {
  qs.only(a);
};
template <class QS, class A>
concept takes_distinct = requires(const QS& qs, A a) {
  qs.distinct(a);
};
template <class QS, class A>
concept takes_using = requires(const QS& qs, A a) {
  qs.using_(a);
};
template <class QS, class A>
concept takes_as_of = requires(const QS& qs, A a) {
  qs.as_of(a);
};

std::set<std::string> as_set(const std::vector<std::string>& v) {
  return {v.begin(), v.end()};
}

TEST(Filtering, NothingGivenReturnsTheReceiverItself) {
  QuerySetOne<Customer> open = QuerySet<Customer>().first();
  open.annotate({{"x", 1}});
  QuerySetOne<Customer> same = open.filter();
  // Everything the receiver has, the single-result rule and the settings included.
  EXPECT_FALSE(same.raise_on_multiple());
  EXPECT_EQ(same.annotations(), open.annotations());
  EXPECT_FALSE(open.exclude().raise_on_multiple());
  EXPECT_FALSE(open.filter(NamedFilters{}).raise_on_multiple());
}

TEST(Filtering, ConditionsAccumulateAsAndTerms) {
  auto qs = QuerySet<Customer>().filter(a).filter(b);
  EXPECT_EQ(qs.get_conditions(), a & b);
  auto ex = QuerySet<Customer>().filter(c).exclude(a);
  EXPECT_EQ(ex.get_conditions(), c & ~a);
}

TEST(Filtering, ObjectsThenNamedFiltersFormOneGroup) {
  auto f = QuerySet<Customer>().filter({a, b}, {{"x", 1}});
  EXPECT_EQ(f.get_conditions(), a & b & Q({{"x", 1}}));
  auto e = QuerySet<Customer>().exclude({a}, {{"x", 1}});
  EXPECT_EQ(e.get_conditions(), ~(a & Q({{"x", 1}})));
  EXPECT_EQ(e.get_conditions().str(), "NOT ((a=1 AND x=1))");
}

TEST(Filtering, NamedFiltersKeepTheirOrder) {
  auto qs = QuerySet<Customer>().filter({{"z", 1}, {"negated", false}, {"a", 2}, {"m", 3}});
  EXPECT_EQ(qs.get_conditions().str(), "(z=1 AND a=2 AND m=3)");
}

TEST(Filtering, NegatedNamedValueActsAsExclude) {
  auto via_filter = QuerySet<Customer>().filter({{"negated", true}, {"a", 1}});
  auto via_exclude = QuerySet<Customer>().exclude({{"a", 1}});
  EXPECT_EQ(via_filter.get_conditions(), via_exclude.get_conditions());
  // Any value counts by its truth; a false one filters.
  EXPECT_EQ(QuerySet<Customer>().filter({{"negated", 0}, {"a", 1}}).get_conditions(), a);
}

TEST(Filtering, ExcludeRefusesANegatedNamedValue) {
  QuerySet<Customer> qs;
  try {
    (void)qs.exclude({{"negated", true}, {"a", 1}});
    FAIL() << "expected a TypeError";
  } catch (const TypeError& e) {
    EXPECT_STREQ(e.what(),
                 "exclude() sets the negation itself; a named filter 'negated' is not allowed");
  }
}

// Each filter() adds one operand and shares the ones before: 100,000 successive filters
// take linear time (a quadratic accumulation would not finish), and copies stay apart.
TEST(Filtering, SuccessiveFiltersAccumulateLinearly) {
  constexpr std::size_t n = 100000;
  QuerySet<Customer> qs;
  std::vector<QuerySet<Customer>> kept;
  for (std::size_t i = 0; i < n; ++i) {
    std::string name = "f";
    name += std::to_string(i);
    qs = qs.filter({{name, 1}});
    if (i == 9) kept.push_back(qs);
  }
  const auto all = qs.get_conditions().children();
  ASSERT_EQ(all.size(), n);
  EXPECT_EQ(all[n - 1].filter().path, "f99999");
  EXPECT_EQ(kept[0].get_conditions().children().size(), 10u);
  EXPECT_EQ(kept[0].filter({{"g", 2}}).get_conditions().children().size(), 11u);
  EXPECT_EQ(qs.get_conditions(), qs._copy().get_conditions());
}

TEST(Filtering, AnEmptyConditionChangesNothingButStillCopies) {
  auto base = QuerySet<Customer>().filter(a);
  auto same = base.filter(Q());
  EXPECT_EQ(same.get_conditions(), a);
  EXPECT_FALSE(QuerySet<Customer>().filter(Q()).get_conditions());
}

TEST(Filtering, ReceiverIsUnchangedWhenAFilterIsRejected) {
  auto qs = QuerySet<Customer>().filter(a);
  EXPECT_THROW((void)qs.filter({{"a____b", 1}}), ValueError);
  EXPECT_THROW((void)qs.filter({{"tags__in", 1}}), TypeError);
  EXPECT_EQ(qs.get_conditions(), a);
}

TEST(Filtering, LatestAddsTheLatestObjectVersion) {
  auto qs = QuerySet<Customer>().filter(a).latest();
  static_assert(std::is_same_v<decltype(qs), QuerySet<Customer>>);
  const Q expected =
      a & Q({{"_address__object_version", velmor_utils::models::enums::Versions::LATEST}});
  EXPECT_EQ(qs.get_conditions(), expected);
  const auto& leaf = qs.get_conditions().children()[1].filter();
  EXPECT_EQ(leaf.path, "_address__object_version");
  EXPECT_EQ(leaf.path_segments(), (std::vector<std::string_view>{"_address", "object_version"}));
}

TEST(Ordering, ReplacesAndClears) {
  auto qs = QuerySet<Customer>().order_by("a").order_by("-b", "+c");
  const auto& order = std::as_const(qs).get_order_by();
  ASSERT_EQ(order.size(), 2u);
  EXPECT_EQ(order[0].field(), "b");
  EXPECT_TRUE(order[0].descending());
  EXPECT_EQ(order[1].field(), "c");
  EXPECT_FALSE(order[1].descending());
  const auto cleared = qs.order_by();
  EXPECT_TRUE(cleared.get_order_by().empty());
  EXPECT_THROW((void)qs.order_by(""), ValueError);
  EXPECT_THROW((void)qs.order_by("-"), ValueError);
  EXPECT_THROW((void)qs.order_by("a____b"), ValueError);
}

TEST(FieldSelection, OnlyUnitesDistinctReplaces) {
  auto qs = QuerySet<Customer>().only({"a", "b"}).only({"b", "c"});
  EXPECT_EQ(as_set(std::as_const(qs).get_query_specifier().only),
            (std::set<std::string>{"a", "b", "c"}));
  EXPECT_EQ(std::as_const(qs).get_query_specifier().only.size(), 3u);
  // Each name once, also when the current list was given a name twice through the getter.
  auto twice = QuerySet<Customer>().only({"a"});
  twice.get_query_specifier().only.push_back("a");
  EXPECT_EQ(twice.only({"b", "b"}).get_query_specifier().only.size(), 2u);
  auto d = qs.distinct({"a"}).distinct({"b"});
  EXPECT_EQ(std::as_const(d).get_query_specifier().distinct, std::vector<std::string>{"b"});
}

TEST(FieldSelection, OnlyListsAndTextAliasesAreCheckedByType) {
  using QS = QuerySet<Customer>;
  static_assert(takes_only<QS, std::vector<std::string>>);
  static_assert(!takes_only<QS, std::tuple<std::string>>);
  static_assert(!takes_only<QS, std::set<std::string>>);
  static_assert(!takes_only<QS, std::string>);
  static_assert(!takes_distinct<QS, std::tuple<std::string, std::string>>);
  static_assert(!takes_using<QS, std::nullptr_t>);
  static_assert(!takes_using<QS, int>);
  static_assert(takes_using<QS, const char*>);
}

TEST(RelatedObjects, PathsBuildATree) {
  auto qs = QuerySet<Customer>().select_related("author__country", "author__publisher", "editor");
  json::object expected = {{"author", {{"country", json::object()}, {"publisher", json::object()}}},
                           {"editor", json::object()}};
  EXPECT_EQ(std::as_const(qs).get_select_related(), SelectRelated(expected));
  auto replaced = qs.select_related("a__b", "a__c");
  EXPECT_EQ(std::as_const(replaced).get_select_related(),
            SelectRelated(json::object{{"a", {{"b", json::object()}, {"c", json::object()}}}}));
  const auto no_paths = qs.select_related();
  EXPECT_EQ(no_paths.get_select_related(), SelectRelated(json::object()));
}

TEST(RelatedObjects, AbsurdlyDeepPathsAreRefused) {
  std::string deep = "a";
  for (std::size_t i = 1; i < max_related_depth; ++i) deep += "__a";
  auto qs = QuerySet<Customer>().select_related(deep);  // the deepest allowed
  EXPECT_THROW((void)qs.select_related("x", deep + "__a"), ValueError);
  std::string huge(1000000, '_');
  try {
    (void)qs.select_related(huge);
    FAIL() << "expected a ValueError";
  } catch (const ValueError& e) {
    EXPECT_NE(std::string(e.what()).find("at most 64 are allowed"), std::string::npos);
  }
  EXPECT_EQ(std::get<json::object>(std::as_const(qs).get_select_related()).size(), 1u);
}

TEST(Windows, SlicesAndIndexesSetTheWindow) {
  QuerySet<Customer> qs;
  auto w = qs[{10, 20}];
  EXPECT_EQ(w.get_paginator().offset, 10);
  EXPECT_EQ(w.get_paginator().limit, 10);
  EXPECT_EQ((qs[{0, 0}].get_paginator().limit), 0);
  EXPECT_EQ((qs[{5, 2}].get_paginator().limit), -3);
  EXPECT_EQ(qs[3].get_paginator().offset, 3);
  EXPECT_EQ(qs[3].get_paginator().limit, 1);
  // A window replaces the earlier one.
  EXPECT_EQ((w[{1, 2}].get_paginator().offset), 1);
  EXPECT_EQ(qs.get_paginator().offset, std::nullopt);
}

TEST(Windows, StepMustBeOneAndBothBoundsAreNeeded) {
  QuerySet<Customer> qs;
  auto step_message = [&](Slice s) {
    try {
      (void)qs[s];
    } catch (const ValueError& e) {
      return std::string(e.what());
    }
    return std::string("no error");
  };
  EXPECT_EQ(step_message({0, 10, 2}), "QuerySet slicing does not support step: 2.");
  EXPECT_EQ(step_message({0, 10, 2.5}), "QuerySet slicing does not support step: 2.5.");
  EXPECT_EQ(step_message({0, 10, 3.0}), "QuerySet slicing does not support step: 3.0.");
  // Floats read as their shortest round-trip text, with a decimal point.
  const std::pair<double, std::string_view> floats[] = {{1e5, "100000.0"},
                                                        {1e-4, "0.0001"},
                                                        {1e16, "1e+16"},
                                                        {1e-5, "1e-05"},
                                                        {-0.5, "-0.5"},
                                                        {1.5e300, "1.5e+300"},
                                                        {1e15, "1000000000000000.0"},
                                                        {123.456, "123.456"},
                                                        {std::nan(""), "nan"},
                                                        {-HUGE_VAL, "-inf"}};
  for (auto [step, text] : floats)
    EXPECT_EQ(step_message({0, 10, step}),
              "QuerySet slicing does not support step: " + std::string(text) + ".");
  EXPECT_NO_THROW((void)qs[Slice(0, 10, 1)]);
  EXPECT_NO_THROW((void)qs[Slice(0, 10, 1.0)]);
  EXPECT_THROW((void)qs[Slice(std::nullopt, 10)], TypeError);
  EXPECT_THROW((void)qs[Slice(5, std::nullopt)], TypeError);
  EXPECT_EQ(qs.get_paginator().offset, std::nullopt);
}

TEST(Windows, BoundsWhoseDistanceOverflowsAreRefused) {
  constexpr auto lo = std::numeric_limits<std::int64_t>::min();
  constexpr auto hi = std::numeric_limits<std::int64_t>::max();
  QuerySet<Customer> qs;
  EXPECT_THROW((void)qs[Slice(lo, hi)], ValueError);
  EXPECT_THROW((void)qs[Slice(hi, lo)], ValueError);
  EXPECT_THROW((void)qs[Slice(-1, hi)], ValueError);
  EXPECT_EQ((qs[Slice(0, hi)].get_paginator().limit), hi);
  EXPECT_EQ((qs[Slice(-1, lo)].get_paginator().limit), lo + 1);
}

// as_of takes a time of the system clock in any unit; text and numbers are no times.
TEST(AsOf, TakesTimesOfTheSystemClockOnly) {
  using namespace std::chrono;
  using QS = QuerySet<Customer>;
  static_assert(takes_as_of<QS, sys_seconds> && takes_as_of<QS, sys_time<nanoseconds>> &&
                takes_as_of<QS, sys_days> && takes_as_of<QS, sys_time<duration<double>>>);
  static_assert(!takes_as_of<QS, std::string> && !takes_as_of<QS, const char*> &&
                !takes_as_of<QS, std::int64_t> && !takes_as_of<QS, double> &&
                !takes_as_of<QS, json::value> && !takes_as_of<QS, steady_clock::time_point> &&
                !takes_as_of<QS, microseconds>);
  static_assert(takes_as_of<QuerySetCount<Customer>, sys_seconds>);
}

// Microseconds since the epoch, counted down from finer units (what was saved by then),
// and refused past what 64 bits of microseconds hold.
TEST(AsOf, CountsWholeMicrosecondsDown) {
  using namespace std::chrono;
  const QuerySet<Customer> qs;
  EXPECT_EQ(qs.get_as_of(), std::nullopt);
  EXPECT_EQ(qs.as_of(sys_days(1970y / 1 / 2)).get_as_of(), 86400000000);
  EXPECT_EQ(qs.as_of(sys_time<nanoseconds>(nanoseconds(1999))).get_as_of(), 1);
  EXPECT_EQ(qs.as_of(sys_time<nanoseconds>(nanoseconds(-1))).get_as_of(), -1);
  EXPECT_EQ(qs.as_of(sys_time<duration<double>>(duration<double>(-0.0000015))).get_as_of(), -2);
  EXPECT_EQ(qs.as_of(sys_time<microseconds>::min()).get_as_of(), INT64_MIN);
  EXPECT_EQ(qs.as_of(sys_time<minutes>(minutes(153722867280))).get_as_of(),
            INT64_C(9223372036800000000));
  EXPECT_THROW((void)qs.as_of(sys_time<minutes>(minutes(153722867281))), ValueError);
  EXPECT_THROW((void)qs.as_of(sys_time<hours>::max()), ValueError);
  EXPECT_THROW((void)qs.as_of(sys_time<duration<double>>(duration<double>(NAN))), ValueError);
  EXPECT_THROW((void)qs.as_of(sys_time<duration<unsigned long long>>::max()), ValueError);
}

// The time is query state: every copy and every kind carries it, the receiver keeps its own.
TEST(AsOf, TravelsWithTheQueryState) {
  using namespace std::chrono;
  const QuerySet<Customer> qs = QuerySet<Customer>().filter(a);
  const QuerySet<Customer> then = qs.as_of(sys_seconds(seconds(5)));
  EXPECT_EQ(qs.get_as_of(), std::nullopt);
  EXPECT_EQ(then.get_conditions(), a);
  EXPECT_EQ(then._copy().get_as_of(), 5000000);
  EXPECT_EQ(then.filter(b).latest().order_by("a")[Slice(0, 2)].get_as_of(), 5000000);
  EXPECT_EQ(then.count().get_as_of(), 5000000);
  EXPECT_EQ(then.first().get_as_of(), 5000000);
  EXPECT_EQ(then.as_of(sys_seconds(seconds(7))).get_as_of(), 7000000);
  EXPECT_EQ(QuerySetOne<Customer>::_from_queryset(then).get_as_of(), 5000000);
  static_assert(std::is_same_v<decltype(then.as_of(sys_seconds())), QuerySet<Customer>>);
  // A bulk update builds on the objects as they are now, never on a view of the past.
  auto customer = Customer::declaration()->construct({{"name", "Ann"}});
  EXPECT_THROW(then._check_type(*customer), BulkOperationError);
}

TEST(EmptyResult, NoneMarksACopyAndStaysMarked) {
  QuerySet<Customer> qs;
  auto none = qs.none();
  EXPECT_TRUE(none.is_none());
  EXPECT_FALSE(qs.is_none());
  EXPECT_TRUE(none.filter(a).order_by("a").is_none());
}

TEST(Annotations, EnterTheReceiverOnly) {
  QuerySet<Customer> qs;
  QuerySet<Customer> earlier = qs._copy();
  QuerySet<Customer>& returned = qs.annotate({{"x", 1}, {"y", 2}});
  EXPECT_EQ(&returned, &qs);
  qs.annotate({{"x", 3}});
  EXPECT_EQ(qs.annotations(), (json::object{{"x", 3}, {"y", 2}}));
  EXPECT_TRUE(earlier.annotations().empty());
  EXPECT_EQ(qs.filter(a).annotations(), qs.annotations());
}

TEST(TypeCheck, OnlyTheExactEntityClassPasses) {
  QuerySet<Customer> qs;
  auto customer = Customer::declaration()->construct({{"name", "Ann"}});
  EXPECT_NO_THROW(qs._check_type(*customer));
  auto vip = VipCustomer::declaration()->construct({{"name", "Bo"}});
  try {
    qs._check_type(*vip);
    FAIL() << "expected BulkOperationError";
  } catch (const BulkOperationError& e) {
    EXPECT_STREQ(e.what(), "Cannot update an object of a different type");
  }
}

// A kind derived with itself as the result kind: its replaced steps are the ones that
// the public operations reach, and they return it.
struct CountingQuerySet : QuerySet<Customer, CountingQuerySet> {
  using QuerySet::QuerySet;
  inline static int filters = 0;
  inline static int copies = 0;
  CountingQuerySet _filter(std::vector<Q> conditions, bool negated, NamedFilters named) const {
    ++filters;
    return QuerySet::_filter(std::move(conditions), negated, std::move(named));
  }
  CountingQuerySet _copy() const {
    ++copies;
    return QuerySet::_copy();
  }
};

TEST(Overrides, PublicOperationsReachReplacedSteps) {
  CountingQuerySet qs(Customer::declaration());
  auto r = qs.filter(a).exclude({{"b", 2}}).latest().order_by("a")[{0, 5}];
  static_assert(std::is_same_v<decltype(r), CountingQuerySet>);
  EXPECT_EQ(CountingQuerySet::filters, 3);
  EXPECT_EQ(CountingQuerySet::copies, 5);
  auto one = qs.get({{"a", 1}});
  static_assert(std::is_same_v<decltype(one), QuerySetOneRequired<Customer>>);
  EXPECT_EQ(CountingQuerySet::filters, 4);
}

TEST(Conversions, ConvenienceOperationsPickTheKind) {
  QuerySet<Customer> qs = QuerySet<Customer>().filter(a);
  auto got = qs.get({{"b", 2}});
  static_assert(std::is_same_v<decltype(got), QuerySetOneRequired<Customer>>);
  EXPECT_EQ(got.get_conditions(), a & b);
  EXPECT_TRUE(got.raise_on_multiple());
  auto maybe = qs.get_or_none({b});
  static_assert(std::is_same_v<decltype(maybe), QuerySetOne<Customer>>);
  EXPECT_TRUE(maybe.raise_on_multiple());
  EXPECT_EQ(qs.get({{"negated", true}, {"b", 2}}).get_conditions(), a & ~b);
  auto count = qs.count();
  static_assert(std::is_same_v<decltype(count), QuerySetCount<Customer>>);
  EXPECT_EQ(count.get_conditions(), a);
}

TEST(Conversions, FirstOpensTheRuleOnItsOwnResultOnly) {
  auto first = QuerySet<Customer>().first({{"a", 1}});
  EXPECT_FALSE(first.raise_on_multiple());
  EXPECT_TRUE(first.only({"a"}).raise_on_multiple());
  EXPECT_TRUE(first.filter(b).raise_on_multiple());
  EXPECT_TRUE(first[Slice(0, 1)].raise_on_multiple());
  EXPECT_TRUE(first._copy().raise_on_multiple());
  EXPECT_FALSE(first.annotate({{"n", 1}}).raise_on_multiple());
}

}  // namespace
