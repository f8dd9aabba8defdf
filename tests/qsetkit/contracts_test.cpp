// The collaborator stand-ins that query sets lean on.

#include <gtest/gtest.h>

#include "pydantic_partial/partial.hpp"
#include "test_models.hpp"
#include "velmor_models/backends/registry.hpp"
#include "velmor_models/classes/class_manager.hpp"
#include "velmor_models/classes/utils.hpp"
#include "velmor_models/querysets/qsetkit.hpp"
#include "velmor_utils/errors.hpp"
#include "velmor_utils/schemas/schema.hpp"
#include "velmor_utils/utils/decorators.hpp"
#include "velmor_utils/utils/text.hpp"

namespace {

using namespace velmor_models::classes;
using velmor_models::querysets::executor::Executor;
using velmor_models::querysets::executor::MemoryStore;
using velmor_models::querysets::qsetkit::QuerySet;
using velmor_test::Customer;
using velmor_utils::errors::ValidationError;
using velmor_utils::query::Q;
using velmor_utils::query::data_models::order_by::OrderBy;
namespace json = boost::json;

TEST(Conditions, TruthCombinationAndCopies) {
  Q empty;
  EXPECT_FALSE(empty);
  EXPECT_FALSE(~empty);
  Q a({{"a", 1}});
  EXPECT_EQ(empty & a, a);
  Q left = a;
  left &= Q({{"b", 2}});
  EXPECT_EQ(a.str(), "a=1");  // the copy combined further; the source did not change
  EXPECT_EQ(left.str(), "(a=1 AND b=2)");
  EXPECT_EQ((left & Q({{"c__gte", 3}})).children().size(), 3u);  // ANDs flatten
  EXPECT_EQ((a | Q({{"name__icontains", "x"}})).str(), "(a=1 OR name__icontains=\"x\")");
  EXPECT_EQ((~a).kind(), Q::Kind::not_);
  EXPECT_NE(a, ~a);
  EXPECT_EQ(Q({{"a", 1}, {"b", 2}}), left);
}

// However deep a condition is nested, printing, comparing and destroying it are walks
// without recursion: the stack is never exhausted.
TEST(Conditions, DeepNestingIsSafe) {
  constexpr int depth = 100000;
  const Q a({{"a", 1}}), b({{"b", 2}});
  auto negations = [&] {
    Q q = a;
    for (int i = 0; i < depth; ++i) q = ~q;
    return q;
  };
  auto alternating = [&] {
    Q q = a;
    for (int i = 0; i < depth; ++i) q = i % 2 ? (q | b) : (q & b);
    return q;
  };
  Q n = negations();
  EXPECT_EQ(n.str().size(), 6u * depth + 3);  // "NOT (" ... ")" around "a=1"
  EXPECT_EQ(n, negations());
  EXPECT_NE(n, ~n);
  Q m = alternating();
  EXPECT_EQ(m, alternating());
  EXPECT_NE(m, m & a);
  EXPECT_EQ(m.str().substr(0, 12), std::string(12, '('));
}

TEST(Conditions, MessagesShowControlBytesEscaped) {
  auto message = [](auto&& make) {
    try {
      make();
    } catch (const velmor_utils::errors::Error& e) {
      return std::string(e.what());
    }
    return std::string("no error");
  };
  using namespace std::string_view_literals;
  EXPECT_EQ(
      message([] { (void)OrderBy::from_string("-a\0b____c"sv); }),
      "Invalid ordering text '-a\\0b____c': expected a field name, optionally prefixed by '-' or "
      "'+'");
  EXPECT_EQ(message([] { (void)velmor_utils::query::Filter::parse("x\n____y"sv, 1); }),
            "Invalid named filter 'x\\x0a____y': empty field name in path");
  EXPECT_EQ(velmor_utils::utils::text::printable("a\\b\x7f"), "a\\\\b\\x7f");
}

TEST(Conditions, NamesParseIntoPathAndLookup) {
  auto f = velmor_utils::query::Filter::parse("_address__object_version", "v1");
  EXPECT_EQ(f.path, "_address__object_version");
  EXPECT_EQ(f.lookup, velmor_utils::query::Lookup::exact);
  auto g = velmor_utils::query::Filter::parse("orders__total__lte", 5);
  EXPECT_EQ(g.path, "orders__total");
  EXPECT_EQ(g.lookup, velmor_utils::query::Lookup::lte);
  EXPECT_THROW(velmor_utils::query::Filter::parse("", 1), velmor_utils::errors::ValueError);
  EXPECT_THROW(velmor_utils::query::Filter::parse("__x", 1), velmor_utils::errors::ValueError);
  EXPECT_THROW(velmor_utils::query::Filter::parse("x__isnull", 1), velmor_utils::errors::TypeError);
}

TEST(Ordering, FromStringParsesDirections) {
  EXPECT_FALSE(OrderBy::from_string("name").descending());
  EXPECT_FALSE(OrderBy::from_string("+name").descending());
  EXPECT_TRUE(OrderBy::from_string("-orders__total").descending());
  EXPECT_EQ(OrderBy::from_string("-orders__total").field(), "orders__total");
  for (const char* bad : {"", "-", "+", "__a", "a____b", "a__"})
    EXPECT_THROW(OrderBy::from_string(bad), velmor_utils::errors::ValueError) << bad;
  // Any name a filter takes: spaces, quotes, digits first, a leading '-' after the sign.
  for (const char* name : {"a b", "it's", "1a", "a-b", "-a", "data__a \"b\""})
    EXPECT_EQ(OrderBy::from_string(std::string("+") + name).field(), name);
}

TEST(ModelClasses, ConstructionValidatesDeclaredFields) {
  auto c = Customer::declaration()->construct({{"name", "Ann"}, {"age", 30}, {"_metadata", "{}"}});
  auto* typed = dynamic_cast<Customer*>(c.get());
  ASSERT_NE(typed, nullptr);
  EXPECT_EQ(typed->name(), "Ann");
  EXPECT_EQ(typed->age(), 30);
  EXPECT_THROW(Customer::declaration()->construct({{"age", 3}}), ValidationError);
  EXPECT_THROW(Customer::declaration()->construct({{"name", 3}}), ValidationError);
  EXPECT_THROW((void)c->get("missing"), velmor_utils::errors::AttributeError);
  c->set_attribute("score", 9);
  EXPECT_EQ(c->get("score"), 9);
}

TEST(ModelClasses, NamesTheStoresKeepAreNoFieldNames) {
  using model::CoreTypes;
  using model::ModelClass;
  auto declare = [](std::string name, bool plain) {
    ModelClass::Options options;
    options.plain_table = plain;
    return ModelClass::create("Odd", "odd", {{std::move(name), CoreTypes::STRING, false, {}}},
                              std::move(options));
  };
  for (const char* name : {"_velmor_row", "_VELMOR_x", "_address", "_object_id", "_object_version",
                           "_class_version", "_saved_at", "rowid", "OID", "_RowId_"})
    EXPECT_THROW(declare(name, false), velmor_utils::errors::ValueError) << name;
  // A table found elsewhere may have row id names of its own; it is never written.
  EXPECT_NO_THROW(declare("oid", true));
  EXPECT_THROW(declare("_velmor_rowid", true), velmor_utils::errors::ValueError);
  for (const char* name : {"order", "select", "row", "_velmor", "it's", "a b", "rowids"})
    EXPECT_NO_THROW(declare(name, false)) << name;
}

TEST(ModelClasses, PartialClassesMakeEveryFieldOptional) {
  auto partial = pydantic_partial::create_partial_model(Customer::declaration());
  EXPECT_EQ(partial->name(), "CustomerPartial");
  EXPECT_TRUE(utils::is_partial_model(*partial));
  EXPECT_FALSE(utils::is_partial_model(*Customer::declaration()));
  EXPECT_TRUE(partial->is_subclass_of(*Customer::declaration()));
  EXPECT_NO_THROW(partial->construct({{"age", 3}}));
}

TEST(ModelClasses, LegacyInstancesKeepTheOriginalClass) {
  model::LegacyModel legacy(Customer::declaration(), {{"name", 5}});
  EXPECT_EQ(legacy.original_class(), Customer::declaration());
  EXPECT_EQ(legacy.get("name"), 5);  // stored values are kept as they were
}

TEST(ModelClasses, RunTimeClassesComeFromSchemas) {
  velmor_utils::schemas::schema::ObjectSchema schema(
      json::object{{"title", "OrderItem"},
                   {"__table_name__", "order_items"},
                   {"properties",
                    {{"id", {{"type", "integer"}, {"title", "id"}}},
                     {"qty", {{"type", "integer"}, {"title", "qty"}, {"default", 1}}}}},
                   {"required", json::array{"id"}}});
  auto cls = model::ModelClass::from_schema(schema);
  EXPECT_EQ(cls->name(), "OrderItem");
  EXPECT_EQ(QuerySet<model::Model>(cls).table_name(), "order_items");
  EXPECT_EQ(cls->construct({{"id", 1}})->get("qty"), 1);
  EXPECT_THROW(cls->construct({{"qty", 1}}), ValidationError);
  EXPECT_EQ(velmor_utils::utils::text::classify("order_items"), "OrderItem");
  EXPECT_EQ(velmor_utils::utils::text::classify("users"), "User");
  EXPECT_EQ(velmor_utils::utils::text::classify("categories"), "Category");
}

TEST(ModelClasses, ClassManagerResolvesRegisteredNames) {
  class_manager::ClassManager::register_class(Customer::declaration());
  EXPECT_EQ(class_manager::ClassManager().import_class("Customer"), Customer::declaration());
  EXPECT_THROW(class_manager::ClassManager().import_class("Nobody"),
               class_manager::ClassNotFoundError);
}

TEST(ModeGuards, RefuseTheOtherMode) {
  using namespace velmor_utils::utils::decorators;
  EXPECT_NO_THROW(sync_mode_only("execute"));
  EXPECT_THROW(async_mode_only("aexecute"), ModeError);
  ModeScope scope(Mode::async);
  EXPECT_THROW(sync_mode_only("execute"), ModeError);
  EXPECT_NO_THROW(async_mode_only("aexecute"));
}

TEST(MemoryExecutor, AppliesConditionsOrderingAndWindow) {
  velmor_models::backends::configure("default", "memory:");
  velmor_models::backends::configure("lakehouse", "memory:");
  MemoryStore& store = MemoryStore::instance();
  store.clear();
  for (int i = 0; i < 6; ++i)
    store.insert("default", "customers",
                 {json::object{{"name", "c" + std::to_string(i)}, {"age", i % 3}}, std::nullopt});
  auto qs = QuerySet<Customer>().exclude({{"age", 0}}).order_by("-age", "name")[{1, 3}];
  auto rows = Executor(qs).query();
  ASSERT_TRUE(rows);
  ASSERT_EQ(rows->size(), 2u);
  EXPECT_EQ(rows->at(0).data->at("name"), "c5");
  EXPECT_EQ(rows->at(1).data->at("name"), "c1");
  EXPECT_EQ(Executor(QuerySet<Customer>().filter({{"name__in", {"c1", "c2"}}})).count(), 2);
  EXPECT_EQ(Executor(QuerySet<Customer>().using_("lakehouse")).count(), 0);
  store.clear();
  velmor_models::backends::reset();
}

}  // namespace
