// The SQLite conversion fed with PRAGMA table_info rows exactly as SQLite reports them.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <boost/json.hpp>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "velmor_models/utils/schemabridge.hpp"

namespace {

namespace json = boost::json;
using velmor_models::utils::schemabridge::ExternalSchemaConverter;
using Schema = ExternalSchemaConverter::ObjectSchema;
using Names = std::vector<std::string>;

class Database {
 public:
  Database() {
    sqlite3* db = nullptr;
    if (sqlite3_open(":memory:", &db) != SQLITE_OK) {
      sqlite3_close(db);
      throw std::runtime_error("cannot open an in-memory database");
    }
    db_.reset(db);
  }

  void exec(const std::string& sql) {
    char* error = nullptr;
    if (sqlite3_exec(db_.get(), sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
      std::string message = error ? error : "unknown error";
      sqlite3_free(error);
      throw std::runtime_error(message);
    }
  }

  // One mapping per row, every column stored with the storage class SQLite gives it.
  json::array table_info(const std::string& table) {
    sqlite3_stmt* raw = nullptr;
    const std::string sql = "PRAGMA table_info(\"" + table + "\")";
    if (sqlite3_prepare_v2(db_.get(), sql.c_str(), -1, &raw, nullptr) != SQLITE_OK)
      throw std::runtime_error(sqlite3_errmsg(db_.get()));
    std::unique_ptr<sqlite3_stmt, decltype(&sqlite3_finalize)> stmt(raw, &sqlite3_finalize);
    json::array rows;
    int rc;
    while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW) {
      json::object row;
      for (int i = 0; i < sqlite3_column_count(stmt.get()); ++i) {
        json::value& cell = row[sqlite3_column_name(stmt.get(), i)];
        switch (sqlite3_column_type(stmt.get(), i)) {
          case SQLITE_INTEGER:
            cell = sqlite3_column_int64(stmt.get(), i);
            break;
          case SQLITE_FLOAT:
            cell = sqlite3_column_double(stmt.get(), i);
            break;
          case SQLITE_NULL:
            cell = nullptr;
            break;
          default:
            cell =
                std::string_view(reinterpret_cast<const char*>(sqlite3_column_text(stmt.get(), i)),
                                 static_cast<std::size_t>(sqlite3_column_bytes(stmt.get(), i)));
        }
      }
      rows.push_back(std::move(row));
    }
    if (rc != SQLITE_DONE) throw std::runtime_error(sqlite3_errmsg(db_.get()));
    return rows;
  }

 private:
  struct Close {
    void operator()(sqlite3* db) const { sqlite3_close(db); }
  };
  std::unique_ptr<sqlite3, Close> db_;
};

Names keys(const json::object& o) {
  Names out;
  for (const auto& [k, v] : o) out.emplace_back(k);
  return out;
}

const json::object& property(const Schema& s, std::string_view name) {
  return s.properties().at(name).as_object();
}

class SqlitePragma : public testing::Test {
 protected:
  Database db;
  const ExternalSchemaConverter converter{};
};

TEST_F(SqlitePragma, RowsHaveTheShapeTheConverterReads) {
  db.exec("CREATE TABLE t (a TEXT NOT NULL DEFAULT 'x', b INTEGER PRIMARY KEY)");
  const json::array rows = db.table_info("t");
  ASSERT_EQ(rows.size(), 2u);
  const json::object& a = rows[0].as_object();
  EXPECT_EQ(keys(a), (Names{"cid", "name", "type", "notnull", "dflt_value", "pk"}));
  EXPECT_TRUE(a.at("notnull").is_int64());
  EXPECT_TRUE(a.at("pk").is_int64());
  EXPECT_EQ(a.at("dflt_value"), "'x'");
  EXPECT_TRUE(rows[1].as_object().at("dflt_value").is_null());
}

TEST_F(SqlitePragma, DeclaredTypesOfManyKinds) {
  db.exec(R"(CREATE TABLE products (
      id INTEGER PRIMARY KEY AUTOINCREMENT,
      sku VARCHAR(32) NOT NULL UNIQUE,
      title NVARCHAR(200) NOT NULL DEFAULT 'untitled',
      notes text,
      photo BLOB,
      checksum VARBINARY(16),
      price DECIMAL(10,2) NOT NULL DEFAULT 0,
      weight REAL DEFAULT 1.5,
      ratio DOUBLE PRECISION,
      stock UNSIGNED BIG INT DEFAULT -1,
      released DATE,
      created_at DATETIME NOT NULL DEFAULT CURRENT_TIMESTAMP,
      updated_at TIMESTAMP,
      active BOOLEAN NOT NULL DEFAULT 1,
      attrs JSON,
      untyped,
      odd POINT
  ))");
  const Schema s =
      converter.sqlite_schema_to_object_schema("products", db.table_info("products"), "shop");

  EXPECT_EQ(s.title(), "Product");
  EXPECT_EQ(s.table_name(), "products");
  EXPECT_EQ(s.connection(), "shop");
  EXPECT_EQ(keys(s.properties()),
            (Names{"id", "sku", "title", "notes", "photo", "checksum", "price", "weight", "ratio",
                   "stock", "released", "created_at", "updated_at", "active", "attrs", "untyped",
                   "odd"}));
  const std::vector<std::pair<std::string_view, std::string_view>> types = {
      {"id", "integer"},          {"sku", "string"},     {"title", "string"},
      {"notes", "string"},        {"photo", "binary"},   {"checksum", "binary"},
      {"price", "string"},        {"weight", "number"},  {"ratio", "number"},
      {"stock", "integer"},       {"released", "date"},  {"created_at", "datetime"},
      {"updated_at", "datetime"}, {"active", "boolean"}, {"attrs", "string"},
      {"untyped", "string"},      {"odd", "integer"}};
  for (const auto& [name, type] : types) {
    EXPECT_EQ(property(s, name).at("type").as_string(), type) << name;
    EXPECT_EQ(property(s, name).at("title").as_string(), name) << name;
  }

  // Defaults are the SQL text of the DEFAULT clause, quotes included.
  EXPECT_EQ(property(s, "title").at("default"), "'untitled'");
  EXPECT_EQ(property(s, "price").at("default"), "0");
  EXPECT_EQ(property(s, "weight").at("default"), "1.5");
  EXPECT_EQ(property(s, "stock").at("default"), "-1");
  EXPECT_EQ(property(s, "created_at").at("default"), "CURRENT_TIMESTAMP");
  EXPECT_EQ(property(s, "active").at("default"), "1");
  EXPECT_FALSE(property(s, "id").contains("default"));
  EXPECT_FALSE(property(s, "notes").contains("default"));

  EXPECT_EQ(s.required(), (Names{"sku", "title", "price", "created_at", "active"}));
  EXPECT_EQ(s.primary_key(), Names{"id"});
}

TEST_F(SqlitePragma, CompositeKeyDeclaredInOtherOrder) {
  db.exec(R"(CREATE TABLE order_items (
      order_id INTEGER NOT NULL,
      line INTEGER NOT NULL,
      quantity INT NOT NULL DEFAULT 1,
      PRIMARY KEY (line, order_id)
  ) WITHOUT ROWID)");
  const json::array rows = db.table_info("order_items");
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].as_object().at("pk"), 2);
  EXPECT_EQ(rows[1].as_object().at("pk"), 1);

  const Schema s = converter.sqlite_schema_to_object_schema("order_items", rows);
  EXPECT_EQ(s.title(), "OrderItem");
  EXPECT_EQ(s.primary_key(), (Names{"order_id", "line"}));
  EXPECT_EQ(s.required(), Names{"quantity"});
  EXPECT_FALSE(s.connection().has_value());
}

// A key column declared without NOT NULL reports notnull 0 and is still only a key.
TEST_F(SqlitePragma, NullableKeyColumn) {
  db.exec("CREATE TABLE tags (label TEXT PRIMARY KEY, description CLOB)");
  const Schema s = converter.sqlite_schema_to_object_schema("tags", db.table_info("tags"));
  EXPECT_EQ(s.primary_key(), Names{"label"});
  EXPECT_TRUE(s.required().empty());
  EXPECT_EQ(property(s, "description").at("type"), "string");
}

// Names and declared types beyond ASCII come back from SQLite as UTF-8 text.
TEST_F(SqlitePragma, NonAsciiNamesAndTypes) {
  db.exec(
      "CREATE TABLE \"caf\u00e9s\" (\"pr\u00e9nom\" \u0131nteger NOT NULL, "
      "\"taille\" \uFB02oat, \"rue\" stra\u00dfe)");
  const Schema s =
      converter.sqlite_schema_to_object_schema("caf\u00e9s", db.table_info("caf\u00e9s"));
  EXPECT_EQ(keys(s.properties()), (Names{"pr\u00e9nom", "taille", "rue"}));
  EXPECT_EQ(property(s, "pr\u00e9nom").at("type"), "integer");
  EXPECT_EQ(property(s, "taille").at("type"), "number");
  EXPECT_EQ(property(s, "rue").at("type"), "string");
  EXPECT_EQ(s.required(), Names{"pr\u00e9nom"});
}

// The generic conversion reads other keys; PRAGMA rows lack them.
TEST_F(SqlitePragma, PragmaRowsAreNotGenericColumns) {
  db.exec("CREATE TABLE t (a INTEGER NOT NULL)");
  const Schema s = converter.generic_schema_to_object_schema("t", db.table_info("t"));
  EXPECT_EQ(property(s, "a").at("type"), "integer");
  EXPECT_TRUE(s.required().empty());
}

}  // namespace
