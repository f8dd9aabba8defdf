// Introspection of an existing SQLite database: schemas, run-time classes, registration,
// refused files, and read-only queries on the introspected classes.

#include <gtest/gtest.h>

#include <boost/json.hpp>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "backends/temp_folder.hpp"
#include "introspect/fixture_db.hpp"
#include "velmor_models/backends/registry.hpp"
#include "velmor_models/backends/sqlite/introspect.hpp"
#include "velmor_models/backends/tables.hpp"
#include "velmor_models/classes/class_manager.hpp"
#include "velmor_models/querysets/errors.hpp"
#include "velmor_models/querysets/qsetkit/query_set.hpp"
#include "velmor_utils/errors.hpp"

namespace {

namespace json = boost::json;
namespace fs = std::filesystem;
using velmor_models::backends::sqlite::introspect_database;
using velmor_models::backends::sqlite::IntrospectedTable;
using velmor_models::backends::sqlite::model_class_of;
using velmor_models::backends::sqlite::register_model_classes;
using velmor_models::classes::class_manager::ClassManager;
using velmor_models::classes::model::CoreTypes;
using velmor_models::classes::model::Model;
using velmor_models::querysets::errors::DatabaseError;
using velmor_models::querysets::qsetkit::NamedFilters;
using velmor_models::querysets::qsetkit::QuerySet;

class Introspection : public ::testing::Test {
 protected:
  void SetUp() override { velmor_test::write_database(path(), velmor_test::kShop); }
  void TearDown() override { velmor_models::backends::reset(); }
  std::string path() const { return (folder_.path() / "shop.db").string(); }
  const IntrospectedTable& table(const std::vector<IntrospectedTable>& tables,
                                 const std::string& name) {
    for (const auto& t : tables)
      if (t.name == name) return t;
    throw std::runtime_error("no table " + name);
  }

  velmor_test::TempFolder folder_;
};

TEST_F(Introspection, EveryUserTableSortedWithItsSchema) {
  const auto tables = introspect_database(path(), "shop");
  std::vector<std::string> names;
  for (const auto& t : tables) names.push_back(t.name);
  // sqlite_sequence (made by AUTOINCREMENT) is SQLite's own, _velmor_objects the store's.
  EXPECT_EQ(names, (std::vector<std::string>{"customers", "odd \"quoted\" place", "order_lines",
                                             "settings"}));

  const json::object customers = table(tables, "customers").schema.to_fields();
  EXPECT_EQ(json::serialize(customers),
            R"({"title":"Customer","__table_name__":"customers","properties":{)"
            R"("id":{"type":"integer","title":"id"},"name":{"type":"string","title":"name"},)"
            R"("age":{"type":"integer","title":"age"},"score":{"type":"number","title":"score"},)"
            R"("active":{"type":"boolean","title":"active","default":"1"},)"
            R"("joined":{"type":"datetime","title":"joined"},)"
            R"("note":{"type":"string","title":"note","default":"'n/a'"},)"
            R"("untyped":{"type":"string","title":"untyped"}},)"
            R"("required":["name"],"__primary_key__":["id"],"__connection__":"shop",)"
            R"("meta_class":"model"})");
  EXPECT_TRUE(table(tables, "customers").plain);

  // _metadata is not a field; the composite key is listed in column order.
  const IntrospectedTable& lines = table(tables, "order_lines");
  EXPECT_FALSE(lines.plain);
  EXPECT_EQ(lines.schema.title(), "OrderLine");
  EXPECT_FALSE(lines.schema.properties().contains("_metadata"));
  EXPECT_EQ(lines.schema.required(), (std::vector<std::string>{"item"}));
  EXPECT_EQ(lines.schema.primary_key(), (std::vector<std::string>{"order_id", "line"}));

  const auto& odd = table(tables, "odd \"quoted\" place").schema.properties();
  EXPECT_EQ(odd.at("x").at("type"), "binary");
  EXPECT_EQ(odd.at("y").at("type"), "string");
}

TEST_F(Introspection, ClassesCarryTheFieldsAndThePlainFlag) {
  const auto tables = introspect_database(path());
  const auto customers = model_class_of(table(tables, "customers"));
  EXPECT_EQ(customers->name(), "Customer");
  EXPECT_EQ(customers->table_name(), "customers");
  EXPECT_TRUE(customers->is_plain_table());
  ASSERT_EQ(customers->fields().size(), 8u);
  EXPECT_EQ(customers->fields()[3].type, CoreTypes::NUMBER);
  EXPECT_TRUE(customers->fields()[1].required);
  EXPECT_FALSE(customers->fields()[2].required);
  EXPECT_FALSE(model_class_of(table(tables, "order_lines"))->is_plain_table());

  const auto registered = register_model_classes(tables);
  ASSERT_EQ(registered.size(), 4u);
  EXPECT_EQ(ClassManager().import_class("OrderLine"), registered[2]);
  for (const auto& cls : registered) ClassManager::unregister_class(cls->name());
}

TEST_F(Introspection, ClassNameCollisionRegistersNothing) {
  velmor_test::write_database(path(), "CREATE TABLE customer (id INTEGER, x TEXT);");
  const auto tables = introspect_database(path());
  try {
    register_model_classes(tables);
    FAIL() << "two tables made one class name";
  } catch (const velmor_utils::errors::ValueError& e) {
    EXPECT_NE(std::string(e.what()).find("'customer' and 'customers'"), std::string::npos)
        << e.what();
  }
  EXPECT_THROW(ClassManager().import_class("Customer"),
               velmor_models::classes::class_manager::ClassNotFoundError);
}

TEST_F(Introspection, RefusedFilesAreNamedAndNeverCreated) {
  const std::string missing = (folder_.path() / "missing.db").string();
  const std::string text = (folder_.path() / "notes.txt").string();
  std::ofstream(text) << "these are notes, not a database\n";
  struct Case {
    std::string path;
    std::string message;
  };
  for (const Case& c : {Case{missing, "no such file"}, Case{text, "file is not a database"},
                        Case{folder_.path().string(), "is a directory"}}) {
    try {
      introspect_database(c.path);
      ADD_FAILURE() << c.path << " was read";
    } catch (const DatabaseError& e) {
      EXPECT_EQ(std::string(e.what()), "SQLite database '" + c.path + "': " + c.message);
    }
  }
  EXPECT_FALSE(fs::exists(missing));
}

TEST_F(Introspection, QueriesOnAPlainTableReadOnly) {
  const auto tables = introspect_database(path());
  velmor_models::backends::configure("shop", "sqlite://" + path() + "?mode=ro");
  const auto qs = QuerySet<Model>(model_class_of(table(tables, "customers"))).using_("shop");

  auto found = qs.filter(NamedFilters{{"age__gte", 21}}).order_by("-age")[{0, 2}].execute();
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0]->get("name"), "Dee");
  EXPECT_EQ(found[1]->get("name"), "Ann");
  EXPECT_FALSE(found[0]->values().contains("_metadata"));
  EXPECT_EQ(qs.exclude(NamedFilters{{"active", true}}).count().execute(), 1);

  // A table without SQLite's rowid orders and groups too.
  const auto settings =
      QuerySet<Model>(model_class_of(table(tables, "settings"))).using_("shop").order_by("-key");
  std::vector<std::string> keys;
  for (const auto& s : settings.distinct({"value"}).execute())
    keys.emplace_back(s->get("key").as_string());
  EXPECT_EQ(keys, (std::vector<std::string>{"c", "a"}));

  // A table with _metadata still returns it.
  auto lines =
      QuerySet<Model>(model_class_of(table(tables, "order_lines"))).using_("shop").execute();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0]->get("_metadata").at("object_id"), "ol-1");

  // A plain table is read-only.
  const boost::json::object row{{"name", "Eve"}};
  EXPECT_THROW(velmor_models::backends::insert_records(
                   "shop", *model_class_of(table(tables, "customers")), std::span(&row, 1)),
               velmor_utils::errors::TypeError);
  EXPECT_EQ(qs.count().execute(), 4);

  // Reading changed nothing: no journal switched to WAL, no side files.
  EXPECT_FALSE(fs::exists(path() + "-wal"));
  EXPECT_THROW(velmor_models::backends::configure("bad", "sqlite::memory:?mode=ro"),
               velmor_utils::errors::ValueError);
  EXPECT_THROW(velmor_models::backends::configure("bad", "sqlite://" + path() + "?mode=rx"),
               velmor_utils::errors::ValueError);
}

// SQLite keeps a value of any kind in a column whatever its declared type; a plain table
// is read as stored, never refused (its rows were not written through the framework).
TEST_F(Introspection, APlainTableIsReadAsStoredWhateverTheDeclaredTypes) {
  const std::string file = (folder_.path() / "loose.db").string();
  velmor_test::write_database(file, R"sql(
    CREATE TABLE readings (id INTEGER PRIMARY KEY, count INTEGER NOT NULL, ratio REAL,
                           done BOOLEAN, label TEXT);
    INSERT INTO readings VALUES (1, 'n/a', 'high', 'yes', x'00ff'), (2, 1.5, 2, 1, 'ok'),
                                (3, 7, 0.5, 0, NULL);
  )sql");
  const auto tables = introspect_database(file);
  velmor_models::backends::configure("loose", "sqlite://" + file + "?mode=ro");
  const auto qs = QuerySet<Model>(model_class_of(table(tables, "readings"))).using_("loose");
  const json::array expected[] = {
      {"n/a", "high", "yes", "AP8="}, {1.5, 2.0, true, "ok"}, {7, 0.5, false, nullptr}};
  for (bool partial : {false, true}) {
    SCOPED_TRACE(partial);
    const auto rows =
        (partial ? qs.only({"count", "ratio", "done", "label"}) : qs).order_by("id").execute();
    ASSERT_EQ(rows.size(), 3u);
    for (std::size_t i = 0; i < rows.size(); ++i) {
      EXPECT_EQ(rows[i].is_partial(), partial);
      const json::array got{rows[i].model().get("count"), rows[i].model().get("ratio"),
                            rows[i].model().get("done"), rows[i].model().get("label")};
      EXPECT_EQ(got, expected[i]) << json::serialize(got);
    }
  }
  EXPECT_EQ(qs.filter(NamedFilters{{"id__gte", 2}}).count().execute(), 2);
  // Instances made by the application are still checked.
  EXPECT_THROW(model_class_of(table(tables, "readings"))->construct({{"count", "n/a"}}),
               velmor_utils::errors::ValidationError);
}

}  // namespace
