// Construction, accessors and copying of query sets.

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "pydantic_partial/partial.hpp"
#include "test_models.hpp"
#include "velmor_data/aliases/using.hpp"
#include "velmor_models/querysets/qsetkit.hpp"
#include "velmor_utils/errors.hpp"

namespace {

using namespace velmor_models::querysets::qsetkit;
using velmor_models::classes::model::ModelClass;
using velmor_models::querysets::executor::AsyncExecutorBase;
using velmor_models::querysets::executor::create_async_executor;
using velmor_models::querysets::executor::Executor;
using velmor_models::querysets::executor::ExecutorBase;
using velmor_models::querysets::executor::QuerySetReader;
using velmor_test::Customer;
using velmor_utils::errors::TypeError;
namespace json = boost::json;

using ExecutorFn = std::unique_ptr<ExecutorBase> (*)(const QuerySetReader&);
using AsyncExecutorFn = std::unique_ptr<AsyncExecutorBase> (*)(const QuerySetReader&);

bool has_default_executors(const QuerySetCore& qs) {
  auto* sync = qs.executor_factory().target<ExecutorFn>();
  auto* async = qs.async_executor_factory().target<AsyncExecutorFn>();
  return sync && *sync == &Executor::create && async && *async == &create_async_executor;
}

std::unique_ptr<ExecutorBase> no_executor(const QuerySetReader&) {
  return nullptr;
}

TEST(QuerySetConstruction, StartsWithNoQueryState) {
  QuerySet<Customer> qs;
  EXPECT_EQ(qs.entity(), Customer::declaration());
  EXPECT_FALSE(qs.get_conditions());
  EXPECT_TRUE(std::as_const(qs).get_order_by().empty());
  EXPECT_EQ(qs.get_paginator().limit, std::nullopt);
  EXPECT_EQ(qs.get_paginator().offset, std::nullopt);
  EXPECT_TRUE(std::as_const(qs).get_query_specifier().only.empty());
  EXPECT_TRUE(std::as_const(qs).get_query_specifier().distinct.empty());
  EXPECT_EQ(qs.get_using(), velmor_data::aliases::using_::DEFAULT_DB_ALIAS);
  EXPECT_EQ(std::as_const(qs).get_select_related(), SelectRelated(false));
  EXPECT_TRUE(qs.annotations().empty());
  EXPECT_FALSE(qs.strict_class_version());
  EXPECT_FALSE(qs.is_none());
  EXPECT_TRUE(has_default_executors(qs));
}

TEST(QuerySetConstruction, StrictFlagTakesTheTruthValue) {
  auto entity = Customer::declaration();
  EXPECT_TRUE(QuerySet<Customer>(entity, {}, {}, StrictClassVersion(json::value(1)))
                  .strict_class_version());
  EXPECT_FALSE(QuerySet<Customer>(entity, {}, {}, StrictClassVersion(json::value(json::array())))
                   .strict_class_version());
  EXPECT_TRUE(QuerySet<Customer>(entity, {}, {}, StrictClassVersion(true)).strict_class_version());
}

TEST(QuerySetConstruction, GivenExecutorIsKeptButNotCopied) {
  QuerySet<Customer> qs(Customer::declaration(), &no_executor, {}, StrictClassVersion(true));
  auto* stored = qs.executor_factory().target<ExecutorFn>();
  ASSERT_NE(stored, nullptr);
  EXPECT_EQ(*stored, &no_executor);
  QuerySet<Customer> copy = qs._copy();  // the framework's copy resets the settings
  EXPECT_TRUE(has_default_executors(copy));
  EXPECT_FALSE(copy.strict_class_version());
}

// A C++ copy (construction, assignment, a container, a move) is equal to its source in
// everything; only `_copy()` returns the settings and a kind's own fields to defaults.
TEST(QuerySetCopy, ACxxCopyKeepsEverything) {
  const QuerySet<Customer> qs =
      QuerySet<Customer>(Customer::declaration(), &no_executor, {}, StrictClassVersion(true));
  const auto keeps = [](const QuerySetCore& c) {
    auto* f = c.executor_factory().target<ExecutorFn>();
    return f && *f == &no_executor && c.strict_class_version();
  };
  QuerySet<Customer> assigned;
  assigned = qs;
  std::vector<QuerySet<Customer>> stored{qs};
  QuerySet<Customer> moved(QuerySet<Customer>{qs});
  EXPECT_TRUE(keeps(QuerySet<Customer>(qs)) && keeps(assigned) && keeps(stored[0]) && keeps(moved));

  const QuerySetOne<Customer> first = QuerySet<Customer>().first();
  ASSERT_FALSE(first.raise_on_multiple());
  QuerySetOne<Customer> one = QuerySet<Customer>().get_or_none();
  one = first;
  std::vector<QuerySetOne<Customer>> ones{first};
  EXPECT_FALSE(QuerySetOne<Customer>(first).raise_on_multiple());
  EXPECT_FALSE(one.raise_on_multiple());
  EXPECT_FALSE(ones[0].raise_on_multiple());
  EXPECT_TRUE(first._copy().raise_on_multiple());
  EXPECT_FALSE(first.filter().raise_on_multiple());  // the receiver itself
}

// Copies of one query set refined at once on several threads stay independent; the
// sanitizer build checks that no thread reads what another frees or changes.
TEST(QuerySetCopy, CopiesOnOtherThreadsStayIndependent) {
  QuerySet<Customer> base = QuerySet<Customer>().order_by("name").only({"name"});
  base.annotate({{"x", 1}});
  std::vector<QuerySet<Customer>> results(4, base);
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < results.size(); ++t)
    threads.emplace_back([&results, t, copy = base]() mutable {
      for (int i = 0; i < 2000; ++i) {
        QuerySet<Customer> next = copy;
        next.get_order_by().push_back(OrderBy::from_string("age"));  // detaches in place
        next.annotate({{"i", i}});
        copy = next.only({std::to_string(t)});
      }
      results[t] = std::move(copy);
    });
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(std::as_const(base).get_order_by().size(), 1u);
  EXPECT_EQ(base.annotations(), json::object({{"x", 1}}));
  for (std::size_t t = 0; t < results.size(); ++t) {
    EXPECT_EQ(std::as_const(results[t]).get_order_by().size(), 2001u);
    EXPECT_EQ(std::as_const(results[t]).get_query_specifier().only,
              (std::vector<std::string>{"name", std::to_string(t)}));
  }
}

TEST(QuerySetConstruction, ANullModelClassIsRefused) {
  EXPECT_THROW(QuerySet<Model>(nullptr), TypeError);
  EXPECT_THROW(QuerySetOne<Model>(nullptr), TypeError);
  EXPECT_THROW(QuerySetCount<Model>(ModelClassPtr{}), TypeError);
}

TEST(QuerySetAccessors, EntityNameDropsThePartialSuffix) {
  auto partial = pydantic_partial::create_partial_model(Customer::declaration());
  EXPECT_EQ(partial->name(), "CustomerPartial");
  EXPECT_EQ(QuerySet<Model>(partial).entity_name(), "Customer");
  EXPECT_EQ(QuerySet<Customer>().entity_name(), "Customer");

  // The suffix is not checked: seven characters go whatever they are.
  auto odd = ModelClass::create("Shortish", nullptr, {}, {nullptr, {}, true});
  EXPECT_EQ(QuerySet<Model>(odd).entity_name(), "S");
  auto tiny = ModelClass::create("Tiny", nullptr, {}, {nullptr, {}, true});
  EXPECT_EQ(QuerySet<Model>(tiny).entity_name(), "");
}

TEST(QuerySetAccessors, TableNameFallsBackToTheEntityName) {
  EXPECT_EQ(QuerySet<Customer>().table_name(), "customers");
  EXPECT_EQ(QuerySet<Model>(ModelClass::create("Order", nullptr, {})).table_name(), "Order");
  EXPECT_EQ(QuerySet<Model>(ModelClass::create("Order", "", {})).table_name(), "Order");
  EXPECT_THROW(QuerySet<Model>(ModelClass::create("Order", 5, {})).table_name(),
               velmor_utils::errors::TypeError);
}

TEST(QuerySetCopy, CopyChangesDoNotReachTheSource) {
  QuerySet<Customer> source = QuerySet<Customer>()
                                  .filter({{"name", "a"}})
                                  .order_by("name")
                                  .only({"name"})
                                  .distinct({"age"});
  source = source.select_related("orders__items")[Slice(2, 5)];
  source.annotate({{"x", 1}});
  const QuerySet<Customer> before = source;  // query state only
  QuerySet<Customer> copy = source._copy();

  copy.get_paginator().limit = 99;
  copy.get_order_by().push_back(OrderBy::from_string("-age"));
  copy.get_query_specifier().only.push_back("age");
  copy.get_query_specifier().distinct.clear();
  copy.get_conditions() &= Q({{"age", 3}});
  std::get<json::object>(copy.get_select_related())["orders"].as_object()["extra"] = json::object();
  copy.annotate({{"y", 2}});
  copy.get_using() = "elsewhere";

  EXPECT_EQ(source.get_paginator(), before.get_paginator());
  EXPECT_EQ(std::as_const(source).get_order_by(), std::as_const(before).get_order_by());
  EXPECT_EQ(std::as_const(source).get_query_specifier(),
            std::as_const(before).get_query_specifier());
  EXPECT_EQ(source.get_conditions(), before.get_conditions());
  EXPECT_EQ(std::as_const(source).get_select_related(), std::as_const(before).get_select_related());
  EXPECT_EQ(source.annotations(), json::object({{"x", 1}}));
  EXPECT_EQ(source.get_using(), "default");
}

TEST(QuerySetCopy, GettersHandOutTheStoredObjects) {
  QuerySet<Customer> qs = QuerySet<Customer>().order_by("name");
  qs.get_order_by().push_back(OrderBy::from_string("-age"));
  qs.get_query_specifier().only.push_back("name");
  qs.get_paginator().offset = 4;
  EXPECT_EQ(std::as_const(qs).get_order_by().size(), 2u);
  EXPECT_EQ(std::as_const(qs).get_query_specifier().only, std::vector<std::string>{"name"});
  EXPECT_EQ(qs.get_paginator().offset, 4);
}

TEST(QuerySetCopy, AReferenceFromAGetterNeverReachesALaterCopy) {
  QuerySet<Customer> qs = QuerySet<Customer>().order_by("name");
  std::vector<OrderBy>& order = qs.get_order_by();
  QuerySet<Customer> later = qs._copy();
  order.push_back(OrderBy::from_string("-age"));
  EXPECT_EQ(std::as_const(qs).get_order_by().size(), 2u);
  EXPECT_EQ(std::as_const(later).get_order_by().size(), 1u);
}

TEST(QuerySetCopy, KindIsKeptAndConvertible) {
  QuerySet<Customer> qs = QuerySet<Customer>().filter({{"name", "a"}}).using_("lakehouse");
  QuerySetOne<Customer> one = QuerySetOne<Customer>::_from_queryset(qs);
  EXPECT_EQ(one.get_conditions(), qs.get_conditions());
  EXPECT_EQ(one.get_using(), "lakehouse");
  EXPECT_TRUE(one.raise_on_multiple());
  static_assert(std::is_same_v<decltype(one._copy()), QuerySetOne<Customer>>);
  static_assert(std::is_same_v<decltype(QuerySetOneRequired<Customer>().order_by("a")),
                               QuerySetOneRequired<Customer>>);
  static_assert(
      std::is_same_v<decltype(QuerySetCount<Customer>().none()), QuerySetCount<Customer>>);
}

TEST(QuerySetCopy, EmptyMarkAndAliasTravelWithTheQueryState) {
  QuerySet<Customer> qs = QuerySet<Customer>().none().using_("lakehouse");
  QuerySetCount<Customer> count = qs.count();
  EXPECT_TRUE(count.is_none());
  EXPECT_EQ(count.get_using(), "lakehouse");
}

TEST(QuerySetCopy, CopiesShareUnchangedParts) {
  QuerySet<Customer> qs = QuerySet<Customer>().order_by("name");
  QuerySet<Customer> a = qs[Slice(0, 10)];
  QuerySet<Customer> b = a.using_("x");
  // Only the window and the alias changed: the ordering is still one object.
  EXPECT_EQ(&std::as_const(a).get_order_by(), &std::as_const(b).get_order_by());
  EXPECT_EQ(&std::as_const(qs).get_order_by(), &std::as_const(a).get_order_by());
}

}  // namespace
