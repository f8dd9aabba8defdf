// Table conversions of the external schema converter.

#include <gtest/gtest.h>

#include <boost/json.hpp>
#include <cstdint>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "velmor_models/utils/schemabridge.hpp"
#include "velmor_utils/errors.hpp"

namespace {

namespace json = boost::json;
using velmor_models::utils::schemabridge::ExternalSchemaConverter;
using velmor_utils::errors::KeyError;
using velmor_utils::errors::TypeError;
using velmor_utils::errors::ValidationError;
using Schema = ExternalSchemaConverter::ObjectSchema;
using Names = std::vector<std::string>;

json::array columns(std::string_view text) {
  return json::parse(text).as_array();
}

Names keys(const json::object& o) {
  Names out;
  for (const auto& [k, v] : o) out.emplace_back(k);
  return out;
}

const json::object& property(const Schema& s, std::string_view name) {
  return s.properties().at(name).as_object();
}

// The KeyError a call throws, so that a test can check which key it names.
template <class F>
std::string missing_key(F&& call) {
  try {
    call();
  } catch (const KeyError& e) {
    return e.key();
  }
  return "<no KeyError>";
}

// --- SQLite -------------------------------------------------------------------------

constexpr std::string_view kUsers = R"([
  {"cid": 0, "name": "id", "type": "INTEGER", "notnull": 1, "dflt_value": null, "pk": 1},
  {"cid": 1, "name": "username", "type": "TEXT", "notnull": 1, "dflt_value": null, "pk": 0},
  {"cid": 2, "name": "email", "type": "TEXT", "notnull": 0, "dflt_value": null, "pk": 0}
])";

TEST(SqliteConversion, ThreeColumnTable) {
  const Schema s =
      ExternalSchemaConverter().sqlite_schema_to_object_schema("users", columns(kUsers));
  EXPECT_EQ(s.title(), "User");
  EXPECT_EQ(s.table_name(), "users");
  EXPECT_EQ(keys(s.properties()), (Names{"id", "username", "email"}));
  EXPECT_EQ(keys(property(s, "id")), (Names{"type", "title"}));
  EXPECT_EQ(property(s, "id").at("type"), "integer");
  EXPECT_EQ(property(s, "id").at("title"), "id");
  EXPECT_EQ(property(s, "username").at("type"), "string");
  EXPECT_EQ(property(s, "email").at("type"), "string");
  EXPECT_FALSE(property(s, "email").contains("default"));
  EXPECT_EQ(s.required(), Names{"username"});
  EXPECT_EQ(s.primary_key(), Names{"id"});
  EXPECT_FALSE(s.connection().has_value());
  EXPECT_EQ(keys(s.to_fields()), (Names{"title", "__table_name__", "properties", "required",
                                        "__primary_key__", "meta_class"}));
}

TEST(SqliteConversion, EmptyColumnList) {
  const Schema s = ExternalSchemaConverter().sqlite_schema_to_object_schema("order_items", {});
  EXPECT_EQ(s.title(), "OrderItem");
  EXPECT_TRUE(s.properties().empty());
  EXPECT_TRUE(s.required().empty());
  EXPECT_FALSE(s.primary_key().has_value());
  EXPECT_FALSE(s.connection().has_value());
  const json::object fields = s.to_fields();
  EXPECT_EQ(fields.at("required"), json::array{});
}

TEST(SqliteConversion, ConnectionOnlyWhenNamed) {
  const ExternalSchemaConverter c;
  EXPECT_FALSE(c.sqlite_schema_to_object_schema("users", columns(kUsers), std::nullopt)
                   .connection()
                   .has_value());
  EXPECT_FALSE(
      c.sqlite_schema_to_object_schema("users", columns(kUsers), "").connection().has_value());
  const std::string name = "analytics";
  EXPECT_EQ(c.sqlite_schema_to_object_schema("users", columns(kUsers), name).connection(),
            "analytics");
  EXPECT_EQ(
      keys(c.sqlite_schema_to_object_schema("t", {}, "db").to_fields()),
      (Names{"title", "__table_name__", "properties", "required", "__connection__", "meta_class"}));
}

TEST(SqliteConversion, KeyColumnsAreNeverRequired) {
  const Schema s = ExternalSchemaConverter().sqlite_schema_to_object_schema("t", columns(R"([
    {"name": "k", "type": "INTEGER", "notnull": 1, "pk": 1},
    {"name": "n", "type": "INTEGER", "notnull": 0, "pk": 1},
    {"name": "free", "type": "TEXT", "notnull": 0, "pk": 0}
  ])"));
  EXPECT_TRUE(s.required().empty());
  EXPECT_EQ(s.primary_key(), (Names{"k", "n"}));
}

TEST(SqliteConversion, CompositeKeyFollowsColumnOrderNotKeyPosition) {
  const Schema s = ExternalSchemaConverter().sqlite_schema_to_object_schema("t", columns(R"([
    {"name": "a", "type": "INTEGER", "notnull": 1, "pk": 2},
    {"name": "b", "type": "INTEGER", "notnull": 1, "pk": 1}
  ])"));
  EXPECT_EQ(s.primary_key(), (Names{"a", "b"}));
}

TEST(SqliteConversion, DefaultsAreCopiedUnchanged) {
  const Schema s = ExternalSchemaConverter().sqlite_schema_to_object_schema("t", columns(R"([
    {"name": "quoted", "type": "TEXT", "notnull": 0, "pk": 0, "dflt_value": "'abc'"},
    {"name": "zero", "type": "INTEGER", "notnull": 0, "pk": 0, "dflt_value": 0},
    {"name": "off", "type": "BOOLEAN", "notnull": 0, "pk": 0, "dflt_value": false},
    {"name": "empty", "type": "TEXT", "notnull": 0, "pk": 0, "dflt_value": ""},
    {"name": "none", "type": "TEXT", "notnull": 0, "pk": 0, "dflt_value": null},
    {"name": "absent", "type": "TEXT", "notnull": 0, "pk": 0}
  ])"));
  EXPECT_EQ(keys(property(s, "quoted")), (Names{"type", "title", "default"}));
  EXPECT_EQ(property(s, "quoted").at("default"), "'abc'");
  EXPECT_EQ(property(s, "zero").at("default"), 0);
  EXPECT_EQ(property(s, "off").at("default"), false);
  EXPECT_EQ(property(s, "empty").at("default"), "");
  EXPECT_FALSE(property(s, "none").contains("default"));
  EXPECT_FALSE(property(s, "absent").contains("default"));
}

struct FlagCase {
  std::string_view json_value;
  bool expected;
};

// Names the generated cases by their value rather than by their bytes.
void PrintTo(const FlagCase& c, std::ostream* os) { *os << c.json_value; }

json::array single_column(std::string_view notnull, std::string_view pk) {
  return columns(std::string(R"([{"name": "c", "type": "TEXT", "notnull": )") +
                 std::string(notnull) + R"(, "pk": )" + std::string(pk) + "}]");
}

// notnull == 0 decides nullability; only numbers and booleans can equal 0.
class SqliteNotNull : public testing::TestWithParam<FlagCase> {};
TEST_P(SqliteNotNull, RequiredUnlessEqualToZero) {
  const Schema s = ExternalSchemaConverter().sqlite_schema_to_object_schema(
      "t", single_column(GetParam().json_value, "0"));
  EXPECT_EQ(s.required() == Names{"c"}, GetParam().expected) << GetParam().json_value;
}
INSTANTIATE_TEST_SUITE_P(Values, SqliteNotNull,
                         testing::Values(FlagCase{"0", false}, FlagCase{"1", true},
                                         FlagCase{"-1", true}, FlagCase{"false", false},
                                         FlagCase{"true", true}, FlagCase{"0.0", false},
                                         FlagCase{"-0.0", false}, FlagCase{"0.5", true},
                                         FlagCase{"18446744073709551615", true},
                                         FlagCase{"null", true}, FlagCase{"\"0\"", true},
                                         FlagCase{"\"\"", true}, FlagCase{"[]", true},
                                         FlagCase{"{}", true}));

// pk > 0 decides key membership.
class SqlitePk : public testing::TestWithParam<FlagCase> {};
TEST_P(SqlitePk, KeyWhenGreaterThanZero) {
  const Schema s = ExternalSchemaConverter().sqlite_schema_to_object_schema(
      "t", single_column("1", GetParam().json_value));
  EXPECT_EQ(s.primary_key().has_value(), GetParam().expected) << GetParam().json_value;
  EXPECT_EQ(s.required().empty(), GetParam().expected) << GetParam().json_value;
}
INSTANTIATE_TEST_SUITE_P(Values, SqlitePk,
                         testing::Values(FlagCase{"0", false}, FlagCase{"1", true},
                                         FlagCase{"3", true}, FlagCase{"-1", false},
                                         FlagCase{"true", true}, FlagCase{"false", false},
                                         FlagCase{"0.5", true}, FlagCase{"-0.5", false},
                                         FlagCase{"18446744073709551615", true}));

class SqlitePkUnordered : public testing::TestWithParam<std::string_view> {};
TEST_P(SqlitePkUnordered, IsTypeError) {
  EXPECT_THROW(
      ExternalSchemaConverter().sqlite_schema_to_object_schema("t", single_column("1", GetParam())),
      TypeError);
}
INSTANTIATE_TEST_SUITE_P(Values, SqlitePkUnordered,
                         testing::Values("null", "\"1\"", "\"\"", "[1]", "{}"));

TEST(SqliteConversion, MissingKeyNamesFirstMissingInReadOrder) {
  const ExternalSchemaConverter c;
  auto run = [&](std::string_view column) {
    return missing_key(
        [&] { c.sqlite_schema_to_object_schema("t", columns("[" + std::string(column) + "]")); });
  };
  EXPECT_EQ(run(R"({"type": "TEXT", "notnull": 0, "pk": 0})"), "name");
  EXPECT_EQ(run(R"({})"), "name");
  EXPECT_EQ(run(R"({"name": "c", "notnull": 0, "pk": 0})"), "type");
  EXPECT_EQ(run(R"({"name": "c", "type": "TEXT"})"), "notnull");
  EXPECT_EQ(run(R"({"name": "c", "type": "TEXT", "pk": null})"), "notnull");
  EXPECT_EQ(run(R"({"name": "c", "type": "TEXT", "notnull": 0})"), "pk");
  // Keys of other formats do not stand in for the SQLite ones.
  EXPECT_EQ(run(R"({"column_name": "c", "data_type": "text"})"), "name");
}

TEST(SqliteConversion, LaterColumnFaultsAreReported) {
  EXPECT_EQ(missing_key([] {
              ExternalSchemaConverter().sqlite_schema_to_object_schema("users", columns(R"([
                {"name": "id", "type": "INTEGER", "notnull": 1, "pk": 1},
                {"name": "x", "notnull": 1, "pk": 0}
              ])"));
            }),
            "type");
}

class NotAMapping : public testing::TestWithParam<std::string_view> {};
TEST_P(NotAMapping, ColumnIsTypeError) {
  const ExternalSchemaConverter c;
  const json::array cols = columns("[" + std::string(GetParam()) + "]");
  EXPECT_THROW(c.sqlite_schema_to_object_schema("t", cols), TypeError);
  EXPECT_THROW(c.postgres_schema_to_object_schema("t", cols), TypeError);
  EXPECT_THROW(c.generic_schema_to_object_schema("t", cols), TypeError);
}
INSTANTIATE_TEST_SUITE_P(Values, NotAMapping,
                         testing::Values("null", "5", "\"name\"", "[\"id\", \"INTEGER\"]", "true"));

TEST(SqliteConversion, NonTextTypeOrNameIsTypeError) {
  const ExternalSchemaConverter c;
  EXPECT_THROW(c.sqlite_schema_to_object_schema(
                   "t", columns(R"([{"name": "c", "type": 5, "notnull": 0, "pk": 0}])")),
               TypeError);
  EXPECT_THROW(c.sqlite_schema_to_object_schema(
                   "t", columns(R"([{"name": "c", "type": null, "notnull": 0, "pk": 0}])")),
               TypeError);
  EXPECT_THROW(c.sqlite_schema_to_object_schema(
                   "t", columns(R"([{"name": 7, "type": "TEXT", "notnull": 0, "pk": 0}])")),
               TypeError);
}

TEST(SqliteConversion, RepeatedNameKeepsFirstPositionAndLastDescription) {
  const Schema s = ExternalSchemaConverter().sqlite_schema_to_object_schema("t", columns(R"([
    {"name": "a", "type": "INTEGER", "notnull": 1, "pk": 0, "dflt_value": "1"},
    {"name": "b", "type": "TEXT", "notnull": 0, "pk": 0},
    {"name": "a", "type": "TEXT", "notnull": 1, "pk": 1}
  ])"));
  EXPECT_EQ(keys(s.properties()), (Names{"a", "b"}));
  EXPECT_EQ(property(s, "a").at("type"), "string");
  EXPECT_FALSE(property(s, "a").contains("default"));
  EXPECT_EQ(s.required(), Names{"a"});
  EXPECT_EQ(s.primary_key(), Names{"a"});
}

TEST(SqliteConversion, ObjectSchemaRefusalsPropagate) {
  const ExternalSchemaConverter c;
  // classify("") is empty and an empty title is refused.
  EXPECT_THROW(c.sqlite_schema_to_object_schema("", columns(kUsers)), ValidationError);
  EXPECT_THROW(c.sqlite_schema_to_object_schema(
                   "t", columns(R"([{"name": "", "type": "TEXT", "notnull": 1, "pk": 0}])")),
               ValidationError);
}

// --- PostgreSQL ---------------------------------------------------------------------

TEST(PostgresConversion, InformationSchemaRows) {
  const json::array rows = columns(R"j([
    {"column_name": "id", "data_type": "integer", "is_nullable": "NO",
     "column_default": "nextval('categories_id_seq'::regclass)"},
    {"column_name": "name", "data_type": "character varying", "is_nullable": "NO",
     "column_default": null},
    {"column_name": "tags", "data_type": "text[]", "is_nullable": "YES"},
    {"column_name": "meta", "data_type": "jsonb", "is_nullable": "YES"},
    {"column_name": "created", "data_type": "timestamp with time zone", "is_nullable": "NO",
     "column_default": "now()"}
  ])j");
  const Schema s =
      ExternalSchemaConverter().postgres_schema_to_object_schema("categories", rows, "warehouse");
  EXPECT_EQ(s.title(), "Category");
  EXPECT_EQ(keys(s.properties()), (Names{"id", "name", "tags", "meta", "created"}));
  EXPECT_EQ(property(s, "id").at("type"), "integer");
  EXPECT_EQ(property(s, "id").at("default"), "nextval('categories_id_seq'::regclass)");
  EXPECT_EQ(property(s, "name").at("type"), "string");
  EXPECT_FALSE(property(s, "name").contains("default"));
  EXPECT_EQ(property(s, "tags").at("type"), "array");
  EXPECT_EQ(property(s, "meta").at("type"), "dictionary");
  EXPECT_EQ(property(s, "created").at("type"), "datetime");
  EXPECT_EQ(property(s, "created").at("title"), "created");
  EXPECT_EQ(s.required(), (Names{"id", "name", "created"}));
  EXPECT_FALSE(s.primary_key().has_value());
  EXPECT_FALSE(s.to_fields().contains("__primary_key__"));
  EXPECT_EQ(s.connection(), "warehouse");
}

// Nullable when is_nullable is missing or exactly the text "YES"; any other present
// value, false-valued ones included, makes the column required.
class PostgresIsNullable : public testing::TestWithParam<FlagCase> {};
TEST_P(PostgresIsNullable, RequiredUnlessYes) {
  const Schema s = ExternalSchemaConverter().postgres_schema_to_object_schema(
      "t", columns(std::string(R"([{"column_name": "c", "data_type": "text", "is_nullable": )") +
                   std::string(GetParam().json_value) + "}]"));
  EXPECT_EQ(s.required() == Names{"c"}, GetParam().expected) << GetParam().json_value;
}
INSTANTIATE_TEST_SUITE_P(Values, PostgresIsNullable,
                         testing::Values(FlagCase{"\"YES\"", false}, FlagCase{"\"NO\"", true},
                                         FlagCase{"\"yes\"", true}, FlagCase{"\"Yes\"", true},
                                         FlagCase{"\"YES \"", true}, FlagCase{"null", true},
                                         FlagCase{"\"\"", true}, FlagCase{"false", true},
                                         FlagCase{"0", true}, FlagCase{"[]", true},
                                         FlagCase{"true", true}, FlagCase{"1", true},
                                         FlagCase{"[\"YES\"]", true}));

TEST(PostgresConversion, MissingIsNullableMeansNullable) {
  const Schema s = ExternalSchemaConverter().postgres_schema_to_object_schema(
      "t", columns(R"([{"column_name": "c", "data_type": "text"}])"));
  EXPECT_TRUE(s.required().empty());
  EXPECT_FALSE(s.primary_key().has_value());
}

TEST(PostgresConversion, MissingKeys) {
  const ExternalSchemaConverter c;
  EXPECT_EQ(missing_key([&] {
              c.postgres_schema_to_object_schema("t", columns(R"([{"data_type": "text"}])"));
            }),
            "column_name");
  EXPECT_EQ(missing_key([&] {
              c.postgres_schema_to_object_schema(
                  "t", columns(R"([{"column_name": "c", "is_nullable": "NO"}])"));
            }),
            "data_type");
  EXPECT_EQ(missing_key([&] {
              c.postgres_schema_to_object_schema("t",
                                                 columns(R"([{"name": "c", "type": "text"}])"));
            }),
            "column_name");
}

TEST(PostgresConversion, NonTextDataTypeIsTypeError) {
  EXPECT_THROW(ExternalSchemaConverter().postgres_schema_to_object_schema(
                   "t", columns(R"([{"column_name": "c", "data_type": ["text"]}])")),
               TypeError);
}

// --- Generic ------------------------------------------------------------------------

TEST(GenericConversion, NameAndTypeOnly) {
  const Schema s = ExternalSchemaConverter().generic_schema_to_object_schema(
      "people", columns(R"j([{"name": "nick", "type": "varchar(20)"}])j"));
  EXPECT_EQ(s.title(), "People");
  EXPECT_EQ(property(s, "nick").at("type"), "string");
  EXPECT_EQ(keys(property(s, "nick")), (Names{"type", "title"}));
  EXPECT_TRUE(s.required().empty());
  EXPECT_FALSE(s.primary_key().has_value());
}

TEST(GenericConversion, RequiredAndKeyLists) {
  const Schema s = ExternalSchemaConverter().generic_schema_to_object_schema("t", columns(R"([
    {"name": "not_null", "type": "TEXT", "nullable": false, "required": false},
    {"name": "asked", "type": "TEXT", "nullable": true, "required": true},
    {"name": "id", "type": "INTEGER", "nullable": false, "primary_key": true},
    {"name": "loose_key", "type": "INTEGER", "primary_key": true},
    {"name": "plain", "type": "REAL", "nullable": true, "required": false, "primary_key": false}
  ])"));
  EXPECT_EQ(s.required(), (Names{"not_null", "asked", "id"}));
  EXPECT_EQ(s.primary_key(), (Names{"id", "loose_key"}));
  EXPECT_EQ(property(s, "plain").at("type"), "number");
}

// Flags are read by their truth value.
TEST(GenericConversion, FlagsUseTruthValues) {
  const Schema s = ExternalSchemaConverter().generic_schema_to_object_schema("t", columns(R"([
    {"name": "a", "type": "TEXT", "nullable": 0},
    {"name": "b", "type": "TEXT", "nullable": ""},
    {"name": "c", "type": "TEXT", "nullable": null},
    {"name": "d", "type": "TEXT", "nullable": "no"},
    {"name": "e", "type": "TEXT", "required": "yes"},
    {"name": "f", "type": "TEXT", "required": []},
    {"name": "g", "type": "TEXT", "primary_key": 1},
    {"name": "h", "type": "TEXT", "primary_key": {}},
    {"name": "i", "type": "TEXT", "primary_key": 0.0}
  ])"));
  EXPECT_EQ(s.required(), (Names{"a", "b", "c", "e"}));
  EXPECT_EQ(s.primary_key(), Names{"g"});
}

TEST(GenericConversion, DefaultsStoredUnlessNull) {
  const Schema s = ExternalSchemaConverter().generic_schema_to_object_schema("t", columns(R"([
    {"name": "zero", "type": "INTEGER", "default": 0},
    {"name": "off", "type": "BOOL", "default": false},
    {"name": "empty", "type": "TEXT", "default": ""},
    {"name": "list", "type": "TEXT", "default": [1, "x"]},
    {"name": "none", "type": "TEXT", "default": null}
  ])"));
  EXPECT_EQ(property(s, "zero").at("default"), 0);
  EXPECT_EQ(property(s, "off").at("default"), false);
  EXPECT_EQ(property(s, "empty").at("default"), "");
  EXPECT_EQ(property(s, "list").at("default"), json::parse(R"([1, "x"])"));
  EXPECT_FALSE(property(s, "none").contains("default"));
}

TEST(GenericConversion, TypeConverterReceivesTypeTextAndItsResultIsStored) {
  std::vector<std::string> seen;
  const Schema s = ExternalSchemaConverter().generic_schema_to_object_schema(
      "t", columns(R"j([{"name": "a", "type": "Money(4)"}, {"name": "b", "type": ""}])j"),
      std::nullopt, [&](std::string_view type) {
        seen.emplace_back(type);
        return std::string("binary");
      });
  EXPECT_EQ(seen, (Names{"Money(4)", ""}));
  EXPECT_EQ(property(s, "a").at("type"), "binary");
  EXPECT_EQ(property(s, "b").at("type"), "binary");
}

TEST(GenericConversion, TypeConverterResultIsCheckedOnlyByObjectSchema) {
  EXPECT_THROW(ExternalSchemaConverter().generic_schema_to_object_schema(
                   "t", columns(R"([{"name": "a", "type": "x"}])"), std::nullopt,
                   [](std::string_view) { return std::string("decimal"); }),
               ValidationError);
}

struct ConverterFault : std::runtime_error {
  using std::runtime_error::runtime_error;
};

TEST(GenericConversion, TypeConverterErrorsPropagate) {
  EXPECT_THROW(ExternalSchemaConverter().generic_schema_to_object_schema(
                   "t", columns(R"([{"name": "a", "type": "x"}])"), "db",
                   [](std::string_view) -> std::string { throw ConverterFault("no"); }),
               ConverterFault);
}

TEST(GenericConversion, NonTextTypeIsTypeErrorBeforeTheConverterRuns) {
  int calls = 0;
  EXPECT_THROW(ExternalSchemaConverter().generic_schema_to_object_schema(
                   "t", columns(R"([{"name": "a", "type": 3}])"), std::nullopt,
                   [&](std::string_view) {
                     ++calls;
                     return std::string("string");
                   }),
               TypeError);
  EXPECT_EQ(calls, 0);
}

TEST(GenericConversion, MissingKeys) {
  const ExternalSchemaConverter c;
  EXPECT_EQ(missing_key(
                [&] { c.generic_schema_to_object_schema("t", columns(R"([{"type": "TEXT"}])")); }),
            "name");
  EXPECT_EQ(missing_key([&] {
              c.generic_schema_to_object_schema("t",
                                                columns(R"([{"name": "a", "nullable": false}])"));
            }),
            "type");
}

TEST(GenericConversion, RepeatedNameListedTwiceWhenBothQualify) {
  const Schema s = ExternalSchemaConverter().generic_schema_to_object_schema("t", columns(R"([
    {"name": "a", "type": "INTEGER", "nullable": false, "primary_key": true},
    {"name": "b", "type": "TEXT"},
    {"name": "a", "type": "BLOB", "required": true, "primary_key": true, "default": "x"}
  ])"));
  EXPECT_EQ(keys(s.properties()), (Names{"a", "b"}));
  EXPECT_EQ(property(s, "a").at("type"), "binary");
  EXPECT_EQ(property(s, "a").at("default"), "x");
  EXPECT_EQ(s.required(), (Names{"a", "a"}));
  EXPECT_EQ(s.primary_key(), (Names{"a", "a"}));
}

// --- Overridden mappings ------------------------------------------------------------

// Maps every database type to a fixed core type, to show which mapping a conversion used.
class FixedConverter : public ExternalSchemaConverter {
 public:
  std::string map_sqlite_type(std::string_view) const override { return "boolean"; }
  std::string map_postgres_type(std::string_view) const override { return "date"; }
};

TEST(OverriddenMappings, ConversionsUseTheObjectsMappings) {
  const FixedConverter fixed;
  const ExternalSchemaConverter& c = fixed;
  EXPECT_EQ(property(c.sqlite_schema_to_object_schema("users", columns(kUsers)), "id").at("type"),
            "boolean");
  EXPECT_EQ(property(c.postgres_schema_to_object_schema(
                         "t", columns(R"([{"column_name": "a", "data_type": "integer"}])")),
                     "a")
                .at("type"),
            "date");
  EXPECT_EQ(property(c.generic_schema_to_object_schema(
                         "t", columns(R"([{"name": "a", "type": "INTEGER"}])")),
                     "a")
                .at("type"),
            "boolean");
  // An explicit converter still wins over the object's mapping.
  EXPECT_EQ(property(c.generic_schema_to_object_schema(
                         "t", columns(R"([{"name": "a", "type": "INTEGER"}])"), std::nullopt,
                         ExternalSchemaConverter::sqlite_type_to_core_type),
                     "a")
                .at("type"),
            "integer");
  // The static mappings are unaffected.
  EXPECT_EQ(FixedConverter::sqlite_type_to_core_type("INTEGER"), "integer");
}

// --- Argument kinds -----------------------------------------------------------------

// Table name, column list and connection name have fixed C++ types, so arguments of the
// wrong kind are rejected at compile time rather than at run time.
template <class Table, class Columns, class Connection>
concept SqliteCallable = requires(const ExternalSchemaConverter& c, Table t, Columns cols,
                                  Connection conn) {
  c.sqlite_schema_to_object_schema(t, cols, conn);
};
template <class Table, class Columns, class Connection>
concept PostgresCallable = requires(const ExternalSchemaConverter& c, Table t, Columns cols,
                                    Connection conn) {
  c.postgres_schema_to_object_schema(t, cols, conn);
};
template <class Table, class Columns, class Connection>
concept GenericCallable = requires(const ExternalSchemaConverter& c, Table t, Columns cols,
                                   Connection conn) {
  c.generic_schema_to_object_schema(t, cols, conn);
};

#define VELMOR_CHECK_ARGUMENT_KINDS(Callable)                                      \
  static_assert(Callable<const char*, json::array, std::nullopt_t>);               \
  static_assert(Callable<std::string, json::array, std::string>);                  \
  static_assert(Callable<std::string_view, const json::array&, const char*>);      \
  static_assert(!Callable<int, json::array, std::nullopt_t>);                      \
  static_assert(!Callable<json::value, json::array, std::nullopt_t>);              \
  static_assert(!Callable<const char*, json::object, std::nullopt_t>);             \
  static_assert(!Callable<const char*, json::value, std::nullopt_t>);              \
  static_assert(!Callable<const char*, std::vector<std::string>, std::nullopt_t>); \
  static_assert(!Callable<const char*, json::array, int>);                         \
  static_assert(!Callable<const char*, json::array, json::value>)

VELMOR_CHECK_ARGUMENT_KINDS(SqliteCallable);
VELMOR_CHECK_ARGUMENT_KINDS(PostgresCallable);
VELMOR_CHECK_ARGUMENT_KINDS(GenericCallable);

template <class Converter>
concept AcceptsTypeConverter = requires(const ExternalSchemaConverter& c, json::array cols,
                                        Converter f) {
  c.generic_schema_to_object_schema("t", cols, "db", f);
};
static_assert(AcceptsTypeConverter<std::string (*)(std::string_view)>);
static_assert(AcceptsTypeConverter<decltype([](std::string_view) { return "x"; })>);
static_assert(!AcceptsTypeConverter<decltype([](int) { return std::string("x"); })>);
static_assert(!AcceptsTypeConverter<const char*>);

TEST(ArgumentKinds, CheckedAtCompileTime) {
  SUCCEED();
}

}  // namespace
