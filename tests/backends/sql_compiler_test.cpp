// The query compiler: the exact SQL and bound values per dialect, refusal of names and
// values that must not reach SQL, and the meaning of the compiled SQLite statements on
// a real database.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <boost/json/serialize.hpp>
#include <chrono>
#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "velmor_models/backends/sql/compiler.hpp"
#include "velmor_models/backends/sql/dialect.hpp"
#include "velmor_models/querysets/errors.hpp"
#include "velmor_models/querysets/qsetkit.hpp"
#include "velmor_utils/errors.hpp"

namespace {

using namespace velmor_models::querysets::qsetkit;
using velmor_models::backends::sql::compile_count;
using velmor_models::backends::sql::compile_select;
using velmor_models::backends::sql::Dialect;
using velmor_models::backends::sql::postgres_dialect;
using velmor_models::backends::sql::ResultColumn;
using velmor_models::backends::sql::sqlite_dialect;
using velmor_models::backends::sql::Statement;
using velmor_models::backends::sql::UnsupportedQueryError;
using velmor_models::classes::model::CoreTypes;
using velmor_models::classes::model::FieldDecl;
using velmor_models::classes::model::ModelClass;
namespace json = boost::json;
namespace errors = velmor_utils::errors;

using QS = QuerySet<Model>;

const ModelClassPtr& customer() {
  static const ModelClassPtr cls = ModelClass::create("Customer", "customers",
                                                      {{"id", CoreTypes::INTEGER, true, {}},
                                                       {"name", CoreTypes::STRING, false, {}},
                                                       {"age", CoreTypes::INTEGER, false, {}},
                                                       {"score", CoreTypes::NUMBER, false, {}},
                                                       {"active", CoreTypes::BOOLEAN, false, {}},
                                                       {"joined", CoreTypes::DATE, false, {}},
                                                       {"tags", CoreTypes::ARRAY, false, {}},
                                                       {"meta", CoreTypes::DICTIONARY, false, {}},
                                                       {"photo", CoreTypes::BINARY, false, {}}});
  return cls;
}

QS customers() {
  return QS(customer());
}
QS with_offset(QS qs, std::int64_t offset) {
  qs.get_paginator().offset = offset;
  return qs;
}

std::string params_text(const Statement& s) {
  return json::serialize(json::array(s.params.begin(), s.params.end()));
}

// ---------------------------------------------------------------------------------------
// Golden statements

struct Golden {
  const char* name;
  std::function<QS()> build;
  const char* sqlite_text;
  const char* sqlite_params;
  std::string postgres_text;
  const char* postgres_params;
};

// PostgreSQL's key of the jsonb `raw` in the one total order (JSON null is NULL; numbers
// and booleans, then text by bytes, arrays and objects as compact text), as the dialect
// writes it around every JSON operand.
std::string pg_key(const std::string& raw) {
  return "CASE coalesce(jsonb_typeof(" + raw + "), 'null') WHEN 'null' THEN NULL" +
         " WHEN 'number' THEN ROW(1, CAST(" + raw + " AS numeric), CAST('' AS bytea))" +
         " WHEN 'boolean' THEN ROW(1, CAST(CAST(CAST(" + raw +
         " AS boolean) AS integer) AS numeric), CAST('' AS bytea))" +
         " WHEN 'string' THEN ROW(2, CAST(0 AS numeric), convert_to(" + raw +
         " #>> '{}', 'UTF8'))" +
         " ELSE ROW(2, CAST(0 AS numeric), convert_to(regexp_replace(CAST(" + raw +
         R"sql( AS text), E'("(?:[^"\\\\]|\\\\.)*")|(,) |(:) ', E'\\1\\2\\3', 'g'), 'UTF8')) END)sql";
}
// The jsonb at the path bound as `param` in `column`.
std::string pg_path(const std::string& column, const std::string& param) {
  return "jsonb_path_query_first(\"" + column + "\", CAST(" + param + " AS jsonpath), '{}', true)";
}

const std::vector<Golden>& goldens() {
  static const std::vector<Golden> cases = {
      {"all", [] { return customers(); },
       R"(SELECT "id", "name", "age", "score", "active", "joined", "tags", "meta", "photo", "_metadata" FROM "customers" ORDER BY rowid)",
       "[]",
       R"(SELECT "id", "name", "age", "score", "active", "joined", "tags", "meta", "photo", "_metadata" FROM "customers" ORDER BY "_velmor_seq")",
       "[]"},
      {"filter, exclude, order, slice",
       [] {
         return customers()
             .filter({{"age__gte", 18}, {"name__startswith", "A"}})
             .exclude({{"active", true}})
             .order_by("-age", "name")[Slice(10, 30)];
       },

       R"(SELECT "id", "name", "age", "score", "active", "joined", "tags", "meta", "photo", "_metadata" FROM "customers" WHERE "age" >= ? AND instr("name", ?) = 1 AND ("active" = ?) IS NOT TRUE ORDER BY "age" DESC, "name", rowid LIMIT ? OFFSET ?)",
       R"([18,"A",1,20,10])",
       R"(SELECT "id", "name", "age", "score", "active", "joined", "tags", "meta", "photo", "_metadata" FROM "customers" WHERE "age" >= $1 AND starts_with("name", $2) AND (CAST("active" AS integer) = $3) IS NOT TRUE ORDER BY "age" DESC NULLS LAST, "name" COLLATE "C" ASC NULLS FIRST, "_velmor_seq" LIMIT $4 OFFSET $5)",
       R"([18,"A",1,20,10])"},
      {"null, isnull, in, long in",
       [] {
         json::array many;
         for (int i = 0; i < 100; ++i) many.push_back(i);
         return customers().filter({{"name", nullptr},
                                    {"age__isnull", false},
                                    {"score__in", json::array{1.5, nullptr, 2}},
                                    {"id__in", many}});
       },
       R"(SELECT "id", "name", "age", "score", "active", "joined", "tags", "meta", "photo", "_metadata" FROM "customers" WHERE "name" IS NULL AND "age" IS NOT NULL AND "score" IN (?, ?) AND "id" IN (SELECT value FROM json_each(?)) ORDER BY rowid)",
       R"([1.5E0,2,"[0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20,21,22,23,24,25,26,27,28,29,30,31,32,33,34,35,36,37,38,39,40,41,42,43,44,45,46,47,48,49,50,51,52,53,54,55,56,57,58,59,60,61,62,63,64,65,66,67,68,69,70,71,72,73,74,75,76,77,78,79,80,81,82,83,84,85,86,87,88,89,90,91,92,93,94,95,96,97,98,99]"])",
       R"(SELECT "id", "name", "age", "score", "active", "joined", "tags", "meta", "photo", "_metadata" FROM "customers" WHERE "name" COLLATE "C" IS NULL AND "age" IS NOT NULL AND "score" IN ($1, $2) AND "id" IN (SELECT CAST(jsonb_array_elements_text(CAST($3 AS jsonb)) AS numeric)) ORDER BY "_velmor_seq")",
       R"([1.5E0,2,"[0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20,21,22,23,24,25,26,27,28,29,30,31,32,33,34,35,36,37,38,39,40,41,42,43,44,45,46,47,48,49,50,51,52,53,54,55,56,57,58,59,60,61,62,63,64,65,66,67,68,69,70,71,72,73,74,75,76,77,78,79,80,81,82,83,84,85,86,87,88,89,90,91,92,93,94,95,96,97,98,99]"])"},
      {"empty in and its negation",
       [] {
         return customers()
             .filter({{"id__in", json::array{}}})
             .exclude({{"age__in", json::array{nullptr}}});
       },
       R"(SELECT "id", "name", "age", "score", "active", "joined", "tags", "meta", "photo", "_metadata" FROM "customers" WHERE FALSE AND TRUE ORDER BY rowid)",
       R"([])",
       R"(SELECT "id", "name", "age", "score", "active", "joined", "tags", "meta", "photo", "_metadata" FROM "customers" WHERE FALSE AND TRUE ORDER BY "_velmor_seq")",
       R"([])"},
      {"or and not nest",
       [] {
         Q q = Q({{"age__lt", 18}}) | ~(Q({{"name__iexact", "ANN"}}) & Q({{"score__lte", 1}}));
         return customers().exclude(q);
       },
       R"(SELECT "id", "name", "age", "score", "active", "joined", "tags", "meta", "photo", "_metadata" FROM "customers" WHERE ("age" < ?) IS NOT TRUE AND (velmor_casefold("name") = ? AND "score" <= ?) ORDER BY rowid)",
       R"([18,"ann",1])",
       R"(SELECT "id", "name", "age", "score", "active", "joined", "tags", "meta", "photo", "_metadata" FROM "customers" WHERE ("age" < $1) IS NOT TRUE AND (velmor_casefold("name") = $2 AND "score" <= $3) ORDER BY "_velmor_seq")",
       R"([18,"ann",1])"},
      {"text lookups",
       [] {
         return customers().filter(
             {{"name__contains", "50%_"}, {"name__icontains", "Ab"}, {"joined__endswith", "-01"}});
       },
       R"(SELECT "id", "name", "age", "score", "active", "joined", "tags", "meta", "photo", "_metadata" FROM "customers" WHERE instr("name", ?) > 0 AND instr(velmor_casefold("name"), ?) > 0 AND substr(CAST("joined" AS BLOB), ?) = CAST(? AS BLOB) ORDER BY rowid)",
       R"(["50%_","ab",-3,"-01"])",
       R"(SELECT "id", "name", "age", "score", "active", "joined", "tags", "meta", "photo", "_metadata" FROM "customers" WHERE strpos("name", $1) > 0 AND strpos(velmor_casefold("name"), $2) > 0 AND right("joined", CAST($3 AS integer)) = $4 ORDER BY "_velmor_seq")",
       R"(["50%_","ab",3,"-01"])"},
      {"json paths",
       [] {
         return customers()
             .filter({{"meta__city", "Oslo"},
                      {"meta__n__gt", 2},
                      {"tags__0__isnull", true},
                      {"meta__address__street__contains", "gate"}})
             .order_by("meta__n");
       },
       R"(SELECT "id", "name", "age", "score", "active", "joined", "tags", "meta", "photo", "_metadata" FROM "customers" WHERE json_extract("meta", ?) = ? AND json_extract("meta", ?) > ? AND json_extract("tags", ?) IS NULL AND (json_type("meta", ?) = 'text' AND instr(json_extract("meta", ?), ?) > 0) ORDER BY json_extract("meta", ?), rowid)",
       R"(["$.\"city\"","Oslo","$.\"n\"",2,"$.\"0\"","$.\"address\".\"street\"","$.\"address\".\"street\"","gate","$.\"n\""])",
       std::string(
           R"(SELECT "id", "name", "age", "score", "active", "joined", "tags", "meta", "photo", "_metadata" FROM "customers" WHERE )") +
           pg_key(pg_path("meta", "$1")) +
           " = ROW(2, CAST(0 AS numeric), convert_to($2, 'UTF8')) AND " +
           pg_key(pg_path("meta", "$3")) +
           " > ROW(1, CAST($4 AS numeric), CAST('' AS bytea)) AND " +
           pg_key(pg_path("tags", "$5")) + " IS NULL AND (jsonb_typeof(" + pg_path("meta", "$6") +
           ") = 'string' AND strpos((" + pg_path("meta", "$7") + " #>> '{}'), $8) > 0) ORDER BY " +
           pg_key(pg_path("meta", "$9")) + R"( ASC NULLS FIRST, "_velmor_seq")",
       R"(["strict $.\"city\"","Oslo","strict $.\"n\"",2,"strict $.\"0\"","strict $.\"address\".\"street\"","strict $.\"address\".\"street\"","gate","strict $.\"n\""])"},
      {"json in with text",
       [] {
         return customers().exclude({{"meta__kind__in", json::array{"a", 1, true}}});
       },
       R"(SELECT "id", "name", "age", "score", "active", "joined", "tags", "meta", "photo", "_metadata" FROM "customers" WHERE (json_extract("meta", ?) IN (?, ?, ?)) IS NOT TRUE ORDER BY rowid)",
       R"(["$.\"kind\"","a",1,1])",
       std::string(
           R"(SELECT "id", "name", "age", "score", "active", "joined", "tags", "meta", "photo", "_metadata" FROM "customers" WHERE ()") +
           pg_key(pg_path("meta", "$1")) +
           " IN (ROW(2, CAST(0 AS numeric), convert_to($2, 'UTF8')), ROW(1, CAST($3 AS "
           "numeric), CAST('' AS bytea)), ROW(1, CAST($4 AS numeric), CAST('' AS "
           R"(bytea)))) IS NOT TRUE ORDER BY "_velmor_seq")",
       R"(["strict $.\"kind\"","a",1,1])"},
      {"only and distinct",
       [] {
         return customers()
             .only({"name", "age"})
             .distinct({"age", "meta__city"})
             .order_by("-score")[Slice(0, 5)];
       },
       R"(SELECT "name", "age", "_metadata" FROM (SELECT *, ROW_NUMBER() OVER (PARTITION BY "age", json_extract("meta", ?) ORDER BY "score" DESC, rowid) AS "_velmor_row", rowid AS "_velmor_rowid" FROM "customers") AS "_velmor_distinct" WHERE "_velmor_row" = 1 ORDER BY "score" DESC, "_velmor_rowid" LIMIT ? OFFSET ?)",
       R"(["$.\"city\"",5,0])",
       R"(SELECT "name", "age", "_metadata" FROM (SELECT *, ROW_NUMBER() OVER (PARTITION BY "age", )" +
           pg_key(pg_path("meta", "$1")) +
           R"( ORDER BY "score" DESC NULLS LAST, "_velmor_seq") AS "_velmor_row", "_velmor_seq" AS "_velmor_rowid" FROM "customers") AS "_velmor_distinct" WHERE "_velmor_row" = 1 ORDER BY "score" DESC NULLS LAST, "_velmor_rowid" LIMIT $2 OFFSET $3)",
       R"(["strict $.\"city\"",5,0])"},
      // As of a time: each object's newest version saved by then, unless deleted by then;
      // latest() is then every such row, and the rest applies on top.
      {"as of a time",
       [] {
         return customers()
             .as_of(std::chrono::sys_seconds(std::chrono::seconds(1796904000)))
             .filter({{"age__gte", 18}})
             .latest()
             .order_by("-_address__saved_at");
       },
       R"(SELECT "id", "name", "age", "score", "active", "joined", "tags", "meta", "photo", "_metadata" FROM "customers" WHERE COALESCE("customers"."_saved_at", ?) <= ? AND COALESCE((SELECT COALESCE("_velmor_v"."_saved_at", ?) FROM "customers" AS "_velmor_v" WHERE "_velmor_v"."_object_id" = "customers"."_object_id" AND "_velmor_v"."_object_version" > "customers"."_object_version" ORDER BY "_velmor_v"."_object_version" LIMIT 1) > ?, TRUE) AND NOT EXISTS (SELECT 1 FROM "_velmor_deletions" AS "_velmor_d" WHERE "_velmor_d"."class_name" = ? AND "_velmor_d"."object_id" = "customers"."_object_id" AND "_velmor_d"."deleted_at" <= ? AND "_velmor_d"."version" >= "customers"."_object_version") AND ("age" >= ? AND TRUE) ORDER BY COALESCE("_saved_at", ?) DESC, rowid)", R"([-9223372036854775808,1796904000000000,-9223372036854775808,1796904000000000,"Customer",1796904000000000,18,-9223372036854775808])", R"(SELECT "id", "name", "age", "score", "active", "joined", "tags", "meta", "photo", "_metadata" FROM "customers" WHERE COALESCE("customers"."_saved_at", $1) <= $2 AND COALESCE((SELECT COALESCE("_velmor_v"."_saved_at", $3) FROM "customers" AS "_velmor_v" WHERE "_velmor_v"."_object_id" = "customers"."_object_id" AND "_velmor_v"."_object_version" > "customers"."_object_version" ORDER BY "_velmor_v"."_object_version" LIMIT 1) > $4, TRUE) AND NOT EXISTS (SELECT 1 FROM "_velmor_deletions" AS "_velmor_d" WHERE "_velmor_d"."class_name" = $5 AND "_velmor_d"."object_id" = "customers"."_object_id" AND "_velmor_d"."deleted_at" <= $6 AND "_velmor_d"."version" >= "customers"."_object_version") AND ("age" >= $7 AND TRUE) ORDER BY COALESCE("_saved_at", $8) DESC NULLS LAST, "_velmor_seq")",
       R"([-9223372036854775808,1796904000000000,-9223372036854775808,1796904000000000,"Customer",1796904000000000,18,-9223372036854775808])"},
      // A save time compares as microseconds, a NULL one as the earliest; NULL tests read
      // the NULL itself.
      {"save times",
       [] {
         return customers()
             .filter({{"_address__saved_at__gt", "2026-12-10T12:00:00.5+01:00"}})
             .exclude({{"_address__saved_at__isnull", true}});
       },
       R"(SELECT "id", "name", "age", "score", "active", "joined", "tags", "meta", "photo", "_metadata" FROM "customers" WHERE COALESCE("_saved_at", ?) > ? AND "_saved_at" IS NOT NULL ORDER BY rowid)",
       R"([-9223372036854775808,1796900400500000])",
       R"(SELECT "id", "name", "age", "score", "active", "joined", "tags", "meta", "photo", "_metadata" FROM "customers" WHERE COALESCE("_saved_at", $1) > $2 AND "_saved_at" IS NOT NULL ORDER BY "_velmor_seq")",
       R"([-9223372036854775808,1796900400500000])"},
      {"offset without limit", [] { return with_offset(customers(), 7); },
       R"(SELECT "id", "name", "age", "score", "active", "joined", "tags", "meta", "photo", "_metadata" FROM "customers" ORDER BY rowid LIMIT ? OFFSET ?)",
       R"([-1,7])",
       R"(SELECT "id", "name", "age", "score", "active", "joined", "tags", "meta", "photo", "_metadata" FROM "customers" ORDER BY "_velmor_seq" LIMIT $1 OFFSET $2)",
       R"([null,7])"},
      {"slice 5 to 2", [] { return customers()[Slice(5, 2)]; },
       R"(SELECT "id", "name", "age", "score", "active", "joined", "tags", "meta", "photo", "_metadata" FROM "customers" ORDER BY rowid LIMIT ? OFFSET ?)",
       R"([0,5])",
       R"(SELECT "id", "name", "age", "score", "active", "joined", "tags", "meta", "photo", "_metadata" FROM "customers" ORDER BY "_velmor_seq" LIMIT $1 OFFSET $2)",
       R"([0,5])"},
  };
  return cases;
}

TEST(SqlCompilerGolden, StatementsPerDialect) {
  for (const Golden& g : goldens()) {
    SCOPED_TRACE(g.name);
    QS qs = g.build();
    Statement lite = compile_select(qs, sqlite_dialect());
    EXPECT_EQ(lite.text, g.sqlite_text);
    EXPECT_EQ(params_text(lite), g.sqlite_params);
    Statement pg = compile_select(qs, postgres_dialect());
    EXPECT_EQ(pg.text, g.postgres_text);
    EXPECT_EQ(params_text(pg), g.postgres_params);
  }
}

TEST(SqlCompilerGolden, Counts) {
  struct Case {
    QS qs;
    const char* sqlite_text;
    const char* postgres_text;
  };
  const Case cases[] = {
      {customers().filter({{"age", 30}}).order_by("name"),
       R"(SELECT count(*) FROM "customers" WHERE "age" = ?)",
       R"(SELECT count(*) FROM "customers" WHERE "age" = $1)"},
      {customers().order_by("name")[Slice(2, 4)],
       R"(SELECT count(*) FROM (SELECT 1 FROM "customers" LIMIT ? OFFSET ?) AS "_velmor_rows")",
       R"(SELECT count(*) FROM (SELECT 1 FROM "customers" LIMIT $1 OFFSET $2) AS "_velmor_rows")"},
      {customers().as_of(std::chrono::sys_seconds(std::chrono::seconds(60))),
       R"(SELECT count(*) FROM "customers" WHERE COALESCE("customers"."_saved_at", ?) <= ? AND COALESCE((SELECT COALESCE("_velmor_v"."_saved_at", ?) FROM "customers" AS "_velmor_v" WHERE "_velmor_v"."_object_id" = "customers"."_object_id" AND "_velmor_v"."_object_version" > "customers"."_object_version" ORDER BY "_velmor_v"."_object_version" LIMIT 1) > ?, TRUE) AND NOT EXISTS (SELECT 1 FROM "_velmor_deletions" AS "_velmor_d" WHERE "_velmor_d"."class_name" = ? AND "_velmor_d"."object_id" = "customers"."_object_id" AND "_velmor_d"."deleted_at" <= ? AND "_velmor_d"."version" >= "customers"."_object_version"))",
       R"(SELECT count(*) FROM "customers" WHERE COALESCE("customers"."_saved_at", $1) <= $2 AND COALESCE((SELECT COALESCE("_velmor_v"."_saved_at", $3) FROM "customers" AS "_velmor_v" WHERE "_velmor_v"."_object_id" = "customers"."_object_id" AND "_velmor_v"."_object_version" > "customers"."_object_version" ORDER BY "_velmor_v"."_object_version" LIMIT 1) > $4, TRUE) AND NOT EXISTS (SELECT 1 FROM "_velmor_deletions" AS "_velmor_d" WHERE "_velmor_d"."class_name" = $5 AND "_velmor_d"."object_id" = "customers"."_object_id" AND "_velmor_d"."deleted_at" <= $6 AND "_velmor_d"."version" >= "customers"."_object_version"))"},
      {customers().distinct({"age"}).exclude({{"age", 1}}),
       R"(SELECT count(*) FROM (SELECT 1 FROM (SELECT ROW_NUMBER() OVER (PARTITION BY "age") AS "_velmor_row" FROM "customers" WHERE ("age" = ?) IS NOT TRUE) AS "_velmor_distinct" WHERE "_velmor_row" = 1) AS "_velmor_rows")",
       R"(SELECT count(*) FROM (SELECT 1 FROM (SELECT ROW_NUMBER() OVER (PARTITION BY "age") AS "_velmor_row" FROM "customers" WHERE ("age" = $1) IS NOT TRUE) AS "_velmor_distinct" WHERE "_velmor_row" = 1) AS "_velmor_rows")"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(compile_count(c.qs, sqlite_dialect()).text, c.sqlite_text);
    EXPECT_EQ(compile_count(c.qs, postgres_dialect()).text, c.postgres_text);
    EXPECT_TRUE(compile_count(c.qs, sqlite_dialect()).columns.empty());
  }
}

TEST(SqlCompilerGolden, ColumnsDecodeByCoreType) {
  Statement all = compile_select(customers(), sqlite_dialect());
  ASSERT_EQ(all.columns.size(), 10u);
  EXPECT_EQ(all.columns[0], (ResultColumn{"id", CoreTypes::INTEGER}));
  EXPECT_EQ(all.columns[7], (ResultColumn{"meta", CoreTypes::DICTIONARY}));
  EXPECT_EQ(all.columns[8], (ResultColumn{"photo", CoreTypes::BINARY}));
  EXPECT_EQ(all.columns[9], (ResultColumn{"_metadata", CoreTypes::STRING}));
  Statement some = compile_select(customers().only({"score", "name"}), sqlite_dialect());
  EXPECT_EQ(some.columns, (std::vector<ResultColumn>{{"name", CoreTypes::STRING},
                                                     {"score", CoreTypes::NUMBER},
                                                     {"_metadata", CoreTypes::STRING}}));
}

TEST(SqlCompilerGolden, ToSqlOnAQuerySet) {
  QS qs = customers().filter({{"age__gt", 3}});
  EXPECT_EQ(qs.to_sql(sqlite_dialect()), compile_select(qs, sqlite_dialect()));
}

// ---------------------------------------------------------------------------------------
// Names and values that must not reach the SQL text

// Any library error: which kind a misnamed field gets is the field check's business.
#define EXPECT_REFUSED(statement) EXPECT_THROW(statement, errors::Error)

const std::vector<std::string>& hostile_names() {
  static const std::vector<std::string> names = {"x\"; DROP TABLE customers; --",
                                                 "name'--",
                                                 "a;b",
                                                 "/* c */",
                                                 std::string("na\0me", 5),
                                                 std::string(10000, 'n'),
                                                 "meta\" OR 1=1",
                                                 "name\" FROM customers --"};
  return names;
}

TEST(SqlCompilerBadInput, UnknownFieldsAreRefusedWhereverNamed) {
  for (const std::string& name : hostile_names()) {
    SCOPED_TRACE(name.substr(0, 40));
    for (const Dialect* d : {&sqlite_dialect(), &postgres_dialect()}) {
      EXPECT_REFUSED(compile_select(customers().filter({{name, 1}}), *d));
      EXPECT_REFUSED(compile_select(customers().exclude({{name + "__in", json::array{1}}}), *d));
      EXPECT_REFUSED(compile_select(customers().only({name}), *d));
      EXPECT_REFUSED(compile_select(customers().distinct({name}), *d));
      EXPECT_REFUSED(compile_select(customers().select_related(name), *d));
      EXPECT_REFUSED(compile_count(customers().distinct({name}), *d));
    }
  }
  EXPECT_REFUSED(
      compile_select(customers().order_by("-" + std::string(5000, 'o')), sqlite_dialect()));
  EXPECT_REFUSED(compile_count(customers().order_by("nope"), sqlite_dialect()));
}

TEST(SqlCompilerBadInput, JsonKeysAreBoundNeverSpliced) {
  for (const std::string& key : hostile_names()) {
    SCOPED_TRACE(key.substr(0, 40));
    for (const Dialect* d : {&sqlite_dialect(), &postgres_dialect()}) {
      QS qs = customers().filter({{"meta__" + key, "v"}}).order_by("meta");
      try {
        Statement s = compile_select(qs, *d);
        EXPECT_EQ(s.text.find(key), std::string::npos);
        EXPECT_EQ(s.text.find("DROP"), std::string::npos);
        EXPECT_EQ(s.text.find("--"), std::string::npos);
        EXPECT_EQ(s.text.find("/*"), std::string::npos);
      } catch (const UnsupportedQueryError&) {
        // A key the dialect's path syntax cannot name exactly (a quote, a NUL).
        EXPECT_TRUE(key.find('"') != std::string::npos || key.find('\0') != std::string::npos);
      }
    }
  }
}

TEST(SqlCompilerBadInput, DeclaredNamesAreQuotedOrRefused) {
  auto model = [](std::string table, std::string field) {
    return QS(ModelClass::create("Odd", json::value(table),
                                 {{std::move(field), CoreTypes::INTEGER, false, {}}}));
  };
  Statement s = compile_select(model("t\"x", "a\"b").filter({{"a\"b", 1}}), sqlite_dialect());
  EXPECT_EQ(s.text, R"(SELECT "a""b", "_metadata" FROM "t""x" WHERE "a""b" = ? ORDER BY rowid)");
  // Names a database cannot hold exactly, or that reach its own tables.
  EXPECT_THROW(compile_select(model("t", std::string("a\0b", 3)), sqlite_dialect()),
               errors::ValueError);
  EXPECT_THROW(compile_select(model("t\n", "a"), sqlite_dialect()), errors::ValueError);
  EXPECT_THROW(compile_select(model("sqlite_master", "a"), sqlite_dialect()), errors::ValueError);
  EXPECT_THROW(compile_select(model("SQLITE_schema", "a"), sqlite_dialect()), errors::ValueError);
  EXPECT_THROW(compile_select(model("pg_class", "a"), postgres_dialect()), errors::ValueError);
  std::string long_name(300, 'f');
  EXPECT_NO_THROW(compile_select(model("t", long_name), sqlite_dialect()));
  EXPECT_THROW(compile_select(model("t", long_name), postgres_dialect()), errors::ValueError);
}

TEST(SqlCompilerBadInput, ValuesALookupCannotTake) {
  using velmor_utils::query::Filter;
  using velmor_utils::query::Lookup;
  // Built directly, as a condition that no checker has seen.
  auto leaf = [](std::string path, Lookup lookup, json::value v) {
    return customers().filter(Q::leaf(Filter{std::move(path), lookup, std::move(v)}));
  };
  struct Case {
    QS qs;
    const char* why;
    bool type_error;
  };
  const Case cases[] = {
      {leaf("score", Lookup::exact, std::nan("")), "NaN", false},
      {leaf("score", Lookup::gt, std::numeric_limits<double>::infinity()), "inf", false},
      {leaf("age", Lookup::exact, std::numeric_limits<std::uint64_t>::max()), "past int64", false},
      {leaf("name", Lookup::exact, "\xff\xfe"), "not UTF-8", false},
      {leaf("name", Lookup::contains, "\xc0\xaf"), "overlong UTF-8", false},
      {leaf("age", Lookup::gt, nullptr), "null for gt", false},
      {leaf("age", Lookup::exact, json::array{1}), "a list", true},
      {leaf("meta__a", Lookup::exact, json::object{{"a", 1}}), "a mapping", true},
      {leaf("age", Lookup::in, json::array{json::value(json::array{1})}), "nested list", true},
      {leaf("age", Lookup::in, 1), "in without a list", true},
      {leaf("age", Lookup::isnull, 1), "isnull without a boolean", true},
      {leaf("age", Lookup::exact, "30"), "text for an integer", true},
      {leaf("name", Lookup::in, json::array{"a", 5}), "number for a text", true},
      {leaf("age", Lookup::contains, "3"), "text lookup on an integer", true},
      {leaf("name", Lookup::icontains, 3), "number for a text lookup", true},
      {leaf("name__first", Lookup::exact, "a"), "path into a text field", false},
      {leaf("meta____a", Lookup::exact, "a"), "empty key", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    for (const Dialect* d : {&sqlite_dialect(), &postgres_dialect()}) {
      if (c.type_error)
        EXPECT_THROW(compile_select(c.qs, *d), errors::TypeError);
      else
        EXPECT_THROW(compile_select(c.qs, *d), errors::ValueError);
    }
  }
}

TEST(SqlCompilerBadInput, RefusesWithTheErrorsOfTheOneCheck) {
  // The compiler takes what check_query accepted: a query set compiled directly is
  // refused exactly as every store refuses it.
  using velmor_models::querysets::errors::FieldError;
  EXPECT_THROW(compile_select(customers().filter({{"_address__shelf", 1}}), sqlite_dialect()),
               FieldError);
  EXPECT_THROW(compile_select(customers().filter({{"photo", "AAE="}}), sqlite_dialect()),
               errors::TypeError);
  EXPECT_NO_THROW(compile_select(customers().filter({{"photo__isnull", true}}), sqlite_dialect()));
  EXPECT_THROW(compile_select(customers().order_by("_address__shelf"), postgres_dialect()),
               FieldError);
  // A plain table (rows the framework did not write) has no history to read.
  ModelClass::Options plain;
  plain.plain_table = true;
  const QS found(ModelClass::create("Found", "found", {{"id", CoreTypes::INTEGER, true, {}}},
                                    std::move(plain)));
  EXPECT_NO_THROW(compile_select(found, sqlite_dialect()));
  EXPECT_THROW(compile_select(found.as_of(std::chrono::sys_days()), sqlite_dialect()),
               errors::ValueError);
}

// ---------------------------------------------------------------------------------------
// The compiled SQLite statements on a real database

void ascii_casefold(sqlite3_context* ctx, int, sqlite3_value** argv) {
  if (sqlite3_value_type(argv[0]) == SQLITE_NULL) return sqlite3_result_null(ctx);
  std::string s(reinterpret_cast<const char*>(sqlite3_value_text(argv[0])),
                static_cast<std::size_t>(sqlite3_value_bytes(argv[0])));
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  sqlite3_result_text(ctx, s.data(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
}

class SqliteRun : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(sqlite3_open(":memory:", &db_), SQLITE_OK);
    ASSERT_EQ(sqlite3_create_function(db_, "velmor_casefold", 1, SQLITE_UTF8 | SQLITE_DETERMINISTIC,
                                      nullptr, &ascii_casefold, nullptr, nullptr),
              SQLITE_OK);
    exec(R"(CREATE TABLE "customers" ("id" INTEGER, "name" TEXT, "age" INTEGER, "score" REAL,
              "active" INTEGER, "joined" TEXT, "tags" TEXT, "meta" TEXT, "photo" BLOB,
              "_metadata" TEXT))");
    exec(R"(INSERT INTO "customers" VALUES
      (1, 'Ann', 30, 29.5, 1, '2024-01-05', '["a","b"]', '{"city":"Oslo","n":3}', NULL, '{}'),
      (2, 'bob', 25, NULL, 0, NULL, '[]', '{"city":"Bergen","n":"3"}', X'00ff', '{}'),
      (3, 'Straße', NULL, 30.0, 1, '2023-12-31', NULL, '{"city":null,"n":2.5}', NULL, '{}'),
      (4, 'ann', 30, 2.0, NULL, '2024-02-01', '["x"]', '{"city":{"a":1},"n":true}', NULL, '{}'),
      (5, NULL, 40, -1.0, 0, NULL, NULL, NULL, NULL, '{}'),
      (6, 'Ann%_', 9007199254740993, 29.5, 1, '2024-01-01', '[1]', '{"city":"[1]","n":[1]}',
       NULL, '{}'))");
  }
  void TearDown() override { sqlite3_close(db_); }

  void exec(const char* sql) {
    char* message = nullptr;
    ASSERT_EQ(sqlite3_exec(db_, sql, nullptr, nullptr, &message), SQLITE_OK) << message;
  }

  // The first column of every row the statement returns.
  std::vector<std::int64_t> run(const Statement& s) {
    std::vector<std::int64_t> out;
    sqlite3_stmt* stmt = nullptr;
    int rc = sqlite3_prepare_v2(db_, s.text.c_str(), -1, &stmt, nullptr);
    EXPECT_EQ(rc, SQLITE_OK) << sqlite3_errmsg(db_) << "\n" << s.text;
    if (rc != SQLITE_OK) return out;
    for (std::size_t i = 0; i < s.params.size(); ++i) {
      const json::value& v = s.params[i];
      int at = static_cast<int>(i + 1);
      if (v.is_null())
        sqlite3_bind_null(stmt, at);
      else if (v.is_int64())
        sqlite3_bind_int64(stmt, at, v.get_int64());
      else if (v.is_double())
        sqlite3_bind_double(stmt, at, v.get_double());
      else if (v.is_string())
        sqlite3_bind_text(stmt, at, v.get_string().data(), static_cast<int>(v.get_string().size()),
                          SQLITE_TRANSIENT);
      else
        ADD_FAILURE() << "bound a " << json::serialize(v);
    }
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) out.push_back(sqlite3_column_int64(stmt, 0));
    EXPECT_EQ(rc, SQLITE_DONE) << sqlite3_errmsg(db_) << "\n" << s.text;
    sqlite3_finalize(stmt);
    return out;
  }
  std::vector<std::int64_t> ids(const QS& qs) {
    std::vector<std::int64_t> rows = run(compile_select(qs, sqlite_dialect()));
    std::vector<std::int64_t> counted = run(compile_count(qs, sqlite_dialect()));
    EXPECT_EQ(counted, std::vector<std::int64_t>{static_cast<std::int64_t>(rows.size())});
    return rows;
  }

  sqlite3* db_ = nullptr;
};

using Ids = std::vector<std::int64_t>;

TEST_F(SqliteRun, LookupsAndTheirComplements) {
  json::array long_list;
  for (int i = 0; i < 1000; ++i) long_list.push_back(i);
  struct Case {
    const char* name;
    json::object filter;
    Ids matches;  // exclude() returns the other rows, NULLs included
  };
  const Case cases[] = {
      {"exact", {{"age", 30}}, {1, 4}},
      {"exact beyond 2^53", {{"age", 9007199254740993LL}}, {6}},
      {"2^53 is not 2^53+1", {{"age", 9007199254740992LL}}, {}},
      {"real against integers", {{"age__lt", 29.5}}, {2}},
      {"exact real", {{"score", 29.5}}, {1, 6}},
      {"boolean as 1", {{"active", true}}, {1, 3, 6}},
      {"exact null", {{"name", nullptr}}, {5}},
      {"isnull", {{"score__isnull", true}}, {2}},
      {"contains is case-sensitive", {{"name__contains", "Ann"}}, {1, 6}},
      {"contains", {{"name__contains", "nn"}}, {1, 4, 6}},
      {"startswith escapes nothing", {{"name__startswith", "Ann%"}}, {6}},
      {"startswith _", {{"name__startswith", "A_n"}}, {}},
      {"endswith", {{"name__endswith", "%_"}}, {6}},
      {"endswith empty", {{"name__endswith", ""}}, {1, 2, 3, 4, 6}},
      {"endswith longer than the text", {{"joined__endswith", "x2024-01-05"}}, {}},
      {"iexact", {{"name__iexact", "ANN"}}, {1, 4}},
      {"icontains", {{"name__icontains", "AN"}}, {1, 4, 6}},
      {"in with null", {{"age__in", json::array{30, nullptr}}}, {1, 4}},
      {"in empty", {{"id__in", json::array{}}}, {}},
      {"in long", {{"id__in", long_list}}, {1, 2, 3, 4, 5, 6}},
      {"gte on dates", {{"joined__gte", "2024-01-05"}}, {1, 4}},
      {"json text", {{"meta__city", "Oslo"}}, {1}},
      {"an object compares as its JSON text", {{"meta__city", "{\"a\":1}"}}, {4}},
      {"an array compares as its JSON text", {{"meta__n", "[1]"}}, {6}},
      {"json number is not a text", {{"meta__n", 3}}, {1}},
      {"json true is 1", {{"meta__n", 1}}, {4}},
      {"json cross-kind order", {{"meta__n__gt", 2}}, {1, 2, 3, 6}},
      {"json missing or null", {{"meta__city__isnull", true}}, {3, 5}},
      {"json contains only text", {{"meta__city__contains", "1"}}, {6}},
      {"json in mixed", {{"meta__n__in", json::array{"3", 2.5}}}, {2, 3}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ids(customers().filter(c.filter)), c.matches);
    Ids rest;
    for (std::int64_t id = 1; id <= 6; ++id)
      if (std::find(c.matches.begin(), c.matches.end(), id) == c.matches.end()) rest.push_back(id);
    EXPECT_EQ(ids(customers().exclude(c.filter)), rest);
  }
}

TEST_F(SqliteRun, AndOrNotOfAnyDepth) {
  Q age30({{"age", 30}});
  Q bob({{"name", "bob"}});
  Q active({{"active", true}});
  EXPECT_EQ(ids(customers().filter(age30 | ~bob)), (Ids{1, 3, 4, 5, 6}));
  EXPECT_EQ(ids(customers().exclude(age30 | ~bob)), (Ids{2}));
  EXPECT_EQ(ids(customers().filter(~(~age30 & ~(bob | active)))), (Ids{1, 2, 3, 4, 6}));
  EXPECT_EQ(ids(customers().filter(~~age30)), (Ids{1, 4}));
}

TEST_F(SqliteRun, OrderingPutsNullsFirstAscendingAndKeepsInsertionOrderForTies) {
  EXPECT_EQ(ids(customers().order_by("age")), (Ids{3, 2, 1, 4, 5, 6}));
  EXPECT_EQ(ids(customers().order_by("-age")), (Ids{6, 5, 1, 4, 2, 3}));
  EXPECT_EQ(ids(customers().order_by("+active", "-score")), (Ids{4, 5, 2, 3, 1, 6}));
  EXPECT_EQ(ids(customers().order_by("meta__n")), (Ids{5, 4, 3, 1, 2, 6}));
}

TEST_F(SqliteRun, WindowsAndDistinct) {
  QS by_id = customers().order_by("id");
  EXPECT_EQ(ids(by_id[Slice(1, 3)]), (Ids{2, 3}));
  EXPECT_EQ(ids(by_id[Slice(5, 2)]), (Ids{}));
  EXPECT_EQ(ids(by_id[Slice(2, 100)]), (Ids{3, 4, 5, 6}));
  EXPECT_EQ(ids(by_id[4]), (Ids{5}));
  EXPECT_EQ(ids(with_offset(by_id, 4)), (Ids{5, 6}));
  EXPECT_EQ(ids(with_offset(by_id, -3)), (Ids{1, 2, 3, 4, 5, 6}));
  QS first_by_score = customers().distinct({"age"}).order_by("-score");
  EXPECT_EQ(ids(first_by_score), (Ids{3, 1, 6, 5, 2}));
  EXPECT_EQ(ids(first_by_score[Slice(1, 3)]), (Ids{1, 6}));
  EXPECT_EQ(ids(customers().distinct({"meta__n"}).filter({{"meta__n__lte", 1}})), (Ids{4}));
  EXPECT_EQ(ids(customers().distinct({"score"})), (Ids{1, 2, 3, 4, 5}));
}

TEST_F(SqliteRun, OnlySelectsTheNamedColumnsAndMetadata) {
  Statement s =
      compile_select(customers().only({"age"}).filter({{"name", "bob"}}), sqlite_dialect());
  EXPECT_EQ(run(s), (Ids{25}));
}

TEST_F(SqliteRun, HostileDeclaredNamesRunAsNames) {
  const std::string field = "x\"; DROP TABLE customers; --";
  QS odd(ModelClass::create("Odd", "odd /* t */", {{field, CoreTypes::INTEGER, false, {}}}));
  exec(R"(CREATE TABLE "odd /* t */" ("x""; DROP TABLE customers; --" INTEGER, "_metadata" TEXT))");
  exec(R"(INSERT INTO "odd /* t */" VALUES (7, '{}'), (8, '{}'))");
  EXPECT_EQ(run(compile_select(odd.exclude({{field, 7}}), sqlite_dialect())), (Ids{8}));
  QS docs(ModelClass::create("Doc", "docs", {{"meta", CoreTypes::DICTIONARY, false, {}}}));
  exec(R"(CREATE TABLE "docs" ("meta" TEXT, "_metadata" TEXT))");
  exec(R"(INSERT INTO "docs" VALUES ('{"a\\b":1,"c\nd":2,"e\u0000f":3,"g.h":4}', '{}'))");
  for (const char* key : {"a\\b", "c\nd", "g.h"}) {
    SCOPED_TRACE(key);
    EXPECT_EQ(run(compile_select(docs.filter({{"meta__" + std::string(key) + "__gt", 0}}),
                                 sqlite_dialect()))
                  .size(),
              1u);
  }
  EXPECT_EQ(run(compile_select(docs.filter({{"meta__e" + std::string(1, '\0') + "f", 3}}),
                               sqlite_dialect()))
                .size(),
            1u);
  QS keys = customers().filter({{"meta__a'; DROP TABLE customers; --", 1}});
  EXPECT_EQ(ids(keys), (Ids{}));
  EXPECT_EQ(ids(customers()).size(), 6u);
}

}  // namespace
