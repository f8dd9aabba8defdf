// Type mapping tables of the external schema converter.

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <string_view>

#include "velmor_models/utils/schemabridge.hpp"

namespace {

using velmor_models::utils::schemabridge::ExternalSchemaConverter;

struct TypeCase {
  std::string_view input;
  std::string_view expected;
};

// Shows blanks and bytes beyond ASCII in failure messages.
void PrintTo(const TypeCase& c, std::ostream* os) {
  *os << '"';
  for (unsigned char ch : c.input) {
    if (ch >= 0x20 && ch < 0x7F) {
      *os << ch;
    } else {
      static constexpr char kHex[] = "0123456789ABCDEF";
      *os << "\\x" << kHex[ch >> 4] << kHex[ch & 0xF];
    }
  }
  *os << "\" -> " << c.expected;
}

std::string case_name(const testing::TestParamInfo<TypeCase>& info) {
  return "case" + std::to_string(info.index);
}

class SqliteTypeMapping : public testing::TestWithParam<TypeCase> {};

TEST_P(SqliteTypeMapping, MapsToCoreType) {
  EXPECT_EQ(ExternalSchemaConverter::sqlite_type_to_core_type(GetParam().input),
            GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    DeclaredTypes, SqliteTypeMapping,
    testing::Values(
        // "INT" anywhere wins, even inside unrelated words.
        TypeCase{"INTEGER", "integer"}, TypeCase{"integer", "integer"},
        TypeCase{"BIGINT", "integer"}, TypeCase{"UNSIGNED BIG INT", "integer"},
        TypeCase{"POINT", "integer"}, TypeCase{"INTERVAL", "integer"},
        TypeCase{"VARCHAR(255)", "string"}, TypeCase{"NVARCHAR", "string"},
        TypeCase{"CHARACTER(20)", "string"}, TypeCase{"TEXT", "string"},
        TypeCase{"TINYTEXT", "string"}, TypeCase{"CLOB", "string"},
        // Text markers are tested before binary ones.
        TypeCase{"CHARBLOB", "string"}, TypeCase{"BLOB", "binary"}, TypeCase{"LONGBLOB", "binary"},
        TypeCase{"BINARY", "binary"}, TypeCase{"VARBINARY(16)", "binary"},
        TypeCase{"REAL", "number"}, TypeCase{"FLOAT", "number"}, TypeCase{"DOUBLE", "number"},
        TypeCase{"DOUBLE PRECISION", "number"},
        // No marker for NUMERIC or DECIMAL: the fallback applies.
        TypeCase{"NUMERIC", "string"}, TypeCase{"DECIMAL(10,5)", "string"},
        TypeCase{"DATE", "date"}, TypeCase{"UPDATEDATE", "date"}, TypeCase{"DATETIME", "datetime"},
        TypeCase{"TIMESTAMP", "datetime"}, TypeCase{"TIME", "datetime"},
        TypeCase{"DATE_TIME", "datetime"}, TypeCase{"TIMESTAMP WITH TIME ZONE", "datetime"},
        TypeCase{"BOOLEAN", "boolean"}, TypeCase{"BOOL", "boolean"}, TypeCase{"BOOLTEXT", "string"},
        TypeCase{"", "string"}, TypeCase{"JSON", "string"}, TypeCase{"UUID", "string"},
        // Mixed case and surrounding blanks are not trimmed, only upper-cased.
        TypeCase{"Timestamp", "datetime"}, TypeCase{" real ", "number"},
        TypeCase{"date time", "datetime"}, TypeCase{"bool", "boolean"}),
    case_name);

INSTANTIATE_TEST_SUITE_P(
    BeyondAscii, SqliteTypeMapping,
    testing::Values(
        // Dotless i upper-cases to I, so this contains INT.
        TypeCase{"\u0131nt\u00e9ger", "integer"},
        // Capital I with dot above stays as it is: no INT.
        TypeCase{"\u0130NT", "string"},
        // The fl ligature expands to FL under full case mapping.
        TypeCase{"\uFB02oat", "number"},
        // Sharp s expands to SS; the result has no marker.
        TypeCase{"stra\u00dfe", "string"},
        // Accented letters are not folded to ASCII.
        TypeCase{"d\u00e1te", "string"}, TypeCase{"\u0442\u0435\u043a\u0441\u0442", "string"},
        // Bytes that are not UTF-8 are kept and do not hide the marker after them.
        TypeCase{"\xff"
                 "int",
                 "integer"},
        TypeCase{"bl\xc3"
                 "ob",
                 "string"},
        TypeCase{"\xc3\xa9"
                 "blob",
                 "binary"}),
    case_name);

class PostgresTypeMapping : public testing::TestWithParam<TypeCase> {};

TEST_P(PostgresTypeMapping, MapsToCoreType) {
  EXPECT_EQ(ExternalSchemaConverter::postgres_type_to_core_type(GetParam().input),
            GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    DataTypes, PostgresTypeMapping,
    testing::Values(
        TypeCase{"integer", "integer"}, TypeCase{"INTEGER", "integer"},
        TypeCase{"Integer", "integer"}, TypeCase{"smallint", "integer"},
        TypeCase{"bigint", "integer"}, TypeCase{"serial", "integer"},
        TypeCase{"bigserial", "integer"}, TypeCase{"smallserial", "integer"},
        // Integer and number names must match the whole text.
        TypeCase{" integer", "string"}, TypeCase{"int", "string"}, TypeCase{"int4", "string"},
        TypeCase{"float8", "string"}, TypeCase{"real", "number"},
        TypeCase{"double precision", "number"}, TypeCase{"numeric", "number"},
        TypeCase{"decimal", "number"}, TypeCase{"numeric(10,2)", "string"},
        TypeCase{"integer[]", "array"}, TypeCase{"text[]", "array"},
        TypeCase{"character varying[]", "array"}, TypeCase{"json[]", "array"},
        TypeCase{"ARRAY", "string"}, TypeCase{"character varying", "string"},
        TypeCase{"character", "string"}, TypeCase{"varchar", "string"}, TypeCase{"text", "string"},
        TypeCase{"citext", "string"}, TypeCase{"bytea", "binary"}, TypeCase{"boolean", "boolean"},
        TypeCase{"bool", "string"}, TypeCase{"date", "date"}, TypeCase{"daterange", "string"},
        TypeCase{"interval", "string"}, TypeCase{"timestamp", "datetime"},
        TypeCase{"timestamp with time zone", "datetime"},
        TypeCase{"time without time zone", "datetime"}, TypeCase{"time", "datetime"},
        TypeCase{"json", "dictionary"}, TypeCase{"jsonb", "dictionary"}, TypeCase{"uuid", "string"},
        TypeCase{"money", "string"}, TypeCase{"point", "string"},
        TypeCase{"USER-DEFINED", "string"},
        // Case-insensitive everywhere, not only for the whole-name tests.
        TypeCase{"BYTEA", "binary"}, TypeCase{"DATE", "date"}, TypeCase{"JSONB", "dictionary"},
        TypeCase{"TIMESTAMP WITHOUT TIME ZONE", "datetime"}, TypeCase{"Boolean", "boolean"}),
    case_name);

INSTANTIATE_TEST_SUITE_P(
    BeyondAscii, PostgresTypeMapping,
    testing::Values(
        // Full lower-case mapping of İ gives "i" plus U+0307, so the name no longer matches.
        TypeCase{"\u0130NTEGER", "string"},
        // Greek capitals lower-case to Greek, never to Latin look-alikes.
        TypeCase{"\u0392\u039F\u039F\u039B\u0395\u0391\u039D", "string"},
        TypeCase{"DAT\u00c9", "string"}, TypeCase{"integer\xff", "string"},
        TypeCase{"\xff"
                 "json",
                 "dictionary"},
        TypeCase{"text\xc3[]", "array"}),
    case_name);

TEST(TypeMappingHooks, DefaultHooksAreTheStaticMappings) {
  const ExternalSchemaConverter converter;
  for (std::string_view t : {"INTEGER", "varchar", "jsonb", "DATE", "integer[]", "BOOL"}) {
    EXPECT_EQ(converter.map_sqlite_type(t), ExternalSchemaConverter::sqlite_type_to_core_type(t));
    EXPECT_EQ(converter.map_postgres_type(t),
              ExternalSchemaConverter::postgres_type_to_core_type(t));
  }
}

}  // namespace
