// Introspection of a PostgreSQL schema: what is read and left out, the converted schemas,
// and queries on the introspected classes. Skipped without VELMOR_PG_URL.

#include <gtest/gtest.h>

#include <boost/json.hpp>
#include <string>
#include <vector>

#include "introspect/pg_shop.hpp"
#include "velmor_models/backends/postgres/introspect.hpp"
#include "velmor_models/backends/registry.hpp"
#include "velmor_models/querysets/errors.hpp"
#include "velmor_models/querysets/qsetkit/query_set.hpp"
#include "velmor_utils/errors.hpp"

namespace {

namespace json = boost::json;
using velmor_models::backends::IntrospectedTable;
using velmor_models::backends::model_class_of;
using velmor_models::backends::postgres::introspect_database;
using velmor_models::classes::model::Model;
using velmor_models::querysets::errors::DatabaseError;
using velmor_models::querysets::qsetkit::NamedFilters;
using velmor_models::querysets::qsetkit::QuerySet;

TEST(PostgresIntrospection, TablesOfASchemaConvertedAndQueried) {
  if (!velmor_test::pg_url()) GTEST_SKIP() << velmor_test::pg_skip_reason;
  const std::string url = velmor_test::write_pg_shop("velmor_introspect");
  const auto tables = introspect_database(url, "shop");
  std::vector<std::string> names;
  for (const auto& t : tables) names.push_back(t.name);
  // The view and the object store's own table are left out.
  EXPECT_EQ(names, (std::vector<std::string>{"customers", "odd \"quoted\" place", "order_lines"}));
  ASSERT_EQ(tables.size(), 3u);

  EXPECT_TRUE(tables[0].plain);
  EXPECT_EQ(json::serialize(tables[0].schema.to_fields()),
            R"({"title":"Customer","__table_name__":"customers","properties":{)"
            R"("id":{"type":"integer","title":"id",)"
            R"x("default":"nextval('customers_id_seq'::regclass)"},)x"
            R"("name":{"type":"string","title":"name"},"age":{"type":"integer","title":"age"},)"
            R"("score":{"type":"number","title":"score"},)"
            R"("active":{"type":"boolean","title":"active","default":"true"},)"
            R"("joined":{"type":"datetime","title":"joined"},)"
            R"("tags":{"type":"array","title":"tags"},)"
            R"("extra":{"type":"dictionary","title":"extra"},)"
            R"("photo":{"type":"binary","title":"photo"},"born":{"type":"date","title":"born"},)"
            R"("price":{"type":"number","title":"price"}},)"
            R"("required":["id","name"],"__connection__":"shop","meta_class":"model"})");
  // A table the framework wrote: _metadata and the address columns are no properties.
  const IntrospectedTable& lines = tables[2];
  EXPECT_FALSE(lines.plain);
  EXPECT_EQ(json::serialize(lines.schema.properties()),
            R"({"item":{"type":"string","title":"item"},"qty":{"type":"integer","title":"qty"}})");

  velmor_models::backends::configure("pg_shop", url);
  const auto customers = QuerySet<Model>(model_class_of(tables[0])).using_("pg_shop");
  const auto found =
      customers.filter(NamedFilters{{"age__gte", 21}}).order_by("-age")[{0, 2}].execute();
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0]->get("name"), "Dee");
  EXPECT_EQ(found[1]->get("name"), "Ann");
  EXPECT_EQ(customers.exclude(NamedFilters{{"age__gte", 21}}).count().execute(), 1);
  velmor_models::backends::reset();

  EXPECT_THROW(introspect_database("sqlite::memory:"), velmor_utils::errors::ValueError);
  EXPECT_THROW(introspect_database("postgresql:host=/nonexistent port=5"), DatabaseError);
}

}  // namespace
