// The query compiler: the exact SQL and bound values per dialect, refusal of names and
// values that must not reach SQL, and the meaning of the compiled SQLite statements on
// a real database.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "velmor_models/backends/sql/compiler.hpp"
#include "velmor_models/backends/sql/dialect.hpp"
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
  const char* postgres_text;
  const char* postgres_params;
};

const std::vector<Golden>& goldens() {
  static const std::
      vector<Golden>
          cases =
              {
                  {"all", [] { return customers(); },
                   R"(SELECT "id", "name", "age", "score", "active", "joined", "tags", "meta", "photo", "_metadata" FROM "customers" ORDER BY rowid)",
                   "[]",
                   R"(SELECT "id", "name", "age", "score", "active", "joined", "tags", "meta", "photo", "_metadata" FROM "customers")",
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
                   R"(SELECT "id", "name", "age", "score", "active", "joined", "tags", "meta", "photo", "_metadata" FROM "customers" WHERE "age" >= $1 AND starts_with("name", $2) AND ("active" = $3) IS NOT TRUE ORDER BY "age" DESC NULLS LAST, "name" COLLATE "C" ASC NULLS FIRST LIMIT $4 OFFSET $5)",
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
                   R"(SELECT "id", "name", "age", "score", "active", "joined", "tags", "meta", "photo", "_metadata" FROM "customers" WHERE "name" COLLATE "C" IS NULL AND "age" IS NOT NULL AND "score" IN ($1, $2) AND "id" IN (SELECT CAST(jsonb_array_elements_text(CAST($3 AS jsonb)) AS numeric)))",
                   R"([1.5E0,2,"[0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20,21,22,23,24,25,26,27,28,29,30,31,32,33,34,35,36,37,38,39,40,41,42,43,44,45,46,47,48,49,50,51,52,53,54,55,56,57,58,59,60,61,62,63,64,65,66,67,68,69,70,71,72,73,74,75,76,77,78,79,80,81,82,83,84,85,86,87,88,89,90,91,92,93,94,95,96,97,98,99]"])"},
                  {"empty in and its negation",
                   [] {
                     return customers()
                         .filter({{"id__in", json::array{}}})
                         .exclude({{"age__in", json::array{nullptr}}});
                   },
                   R"(SELECT "id", "name", "age", "score", "active", "joined", "tags", "meta", "photo", "_metadata" FROM "customers" WHERE FALSE AND TRUE ORDER BY rowid)",
                   R"([])",
                   R"(SELECT "id", "name", "age", "score", "active", "joined", "tags", "meta", "photo", "_metadata" FROM "customers" WHERE FALSE AND TRUE)",
                   R"([])"},
                  {"or and not nest",
                   [] {
                     Q q = Q({{"age__lt", 18}}) |
                           ~(Q({{"name__iexact", "ANN"}}) & Q({{"score__lte", 1}}));
                     return customers().exclude(q);
                   },
                   R"(SELECT "id", "name", "age", "score", "active", "joined", "tags", "meta", "photo", "_metadata" FROM "customers" WHERE ("age" < ?) IS NOT TRUE AND (velmor_casefold("name") = ? AND "score" <= ?) ORDER BY rowid)",
                   R"([18,"ann",1])",
                   R"(SELECT "id", "name", "age", "score", "active", "joined", "tags", "meta", "photo", "_metadata" FROM "customers" WHERE ("age" < $1) IS NOT TRUE AND (velmor_casefold("name") = $2 AND "score" <= $3))",
                   R"([18,"ann",1])"},
                  {"text lookups",
                   [] {
                     return customers().filter({{"name__contains", "50%_"},
                                                {"name__icontains", "Ab"},
                                                {"joined__endswith", "-01"}});
                   },
                   R"(SELECT "id", "name", "age", "score", "active", "joined", "tags", "meta", "photo", "_metadata" FROM "customers" WHERE instr("name", ?) > 0 AND instr(velmor_casefold("name"), ?) > 0 AND substr(CAST("joined" AS BLOB), ?) = CAST(? AS BLOB) ORDER BY rowid)",
                   R"(["50%_","ab",-3,"-01"])",
                   R"(SELECT "id", "name", "age", "score", "active", "joined", "tags", "meta", "photo", "_metadata" FROM "customers" WHERE strpos("name", $1) > 0 AND strpos(velmor_casefold("name"), $2) > 0 AND right("joined", $3) = $4)",
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
                   R"(SELECT "id", "name", "age", "score", "active", "joined", "tags", "meta", "photo", "_metadata" FROM "customers" WHERE jsonb_path_query_first("meta", CAST($1 AS jsonpath), '{}', true) = CAST($2 AS jsonb) AND jsonb_path_query_first("meta", CAST($3 AS jsonpath), '{}', true) > CAST($4 AS jsonb) AND jsonb_path_query_first("tags", CAST($5 AS jsonpath), '{}', true) IS NULL AND (jsonb_typeof(jsonb_path_query_first("meta", CAST($6 AS jsonpath), '{}', true)) = 'string' AND strpos((jsonb_path_query_first("meta", CAST($7 AS jsonpath), '{}', true) #>> '{}'), $8) > 0) ORDER BY jsonb_path_query_first("meta", CAST($9 AS jsonpath), '{}', true) ASC NULLS FIRST)",
                   R"(["strict $.\"city\"","\"Oslo\"","strict $.\"n\"","2","strict $.\"0\"","strict $.\"address\".\"street\"","strict $.\"address\".\"street\"","gate","strict $.\"n\""])"},
                  {"json in with text",
                   [] {
                     return customers().exclude({{"meta__kind__in", json::array{"a", 1, true}}});
                   },
                   R"(SELECT "id", "name", "age", "score", "active", "joined", "tags", "meta", "photo", "_metadata" FROM "customers" WHERE (json_extract("meta", ?) IN (?, ?, ?)) IS NOT TRUE ORDER BY rowid)",
                   R"(["$.\"kind\"","a",1,1])",
                   R"(SELECT "id", "name", "age", "score", "active", "joined", "tags", "meta", "photo", "_metadata" FROM "customers" WHERE (jsonb_path_query_first("meta", CAST($1 AS jsonpath), '{}', true) IN (CAST($2 AS jsonb), CAST($3 AS jsonb), CAST($4 AS jsonb))) IS NOT TRUE)",
                   R"(["strict $.\"kind\"","\"a\"","1","true"])"},
                  {"only and distinct",
                   [] {
                     return customers()
                         .only({"name", "age"})
                         .distinct({"age", "meta__city"})
                         .order_by("-score")[Slice(0, 5)];
                   },
                   R"(SELECT "name", "age", "_metadata" FROM (SELECT *, ROW_NUMBER() OVER (PARTITION BY "age", json_extract("meta", ?) ORDER BY "score" DESC, rowid) AS "_velmor_row", rowid AS "_velmor_rowid" FROM "customers") AS "_velmor_distinct" WHERE "_velmor_row" = 1 ORDER BY "score" DESC, "_velmor_rowid" LIMIT ? OFFSET ?)",
                   R"(["$.\"city\"",5,0])",
                   R"(SELECT "name", "age", "_metadata" FROM (SELECT *, ROW_NUMBER() OVER (PARTITION BY "age", jsonb_path_query_first("meta", CAST($1 AS jsonpath), '{}', true) ORDER BY "score" DESC NULLS LAST) AS "_velmor_row" FROM "customers") AS "_velmor_distinct" WHERE "_velmor_row" = 1 ORDER BY "score" DESC NULLS LAST LIMIT $2 OFFSET $3)",
                   R"(["strict $.\"city\"",5,0])"},
                  {"offset without limit", [] { return with_offset(customers(), 7); },
                   R"(SELECT "id", "name", "age", "score", "active", "joined", "tags", "meta", "photo", "_metadata" FROM "customers" ORDER BY rowid LIMIT ? OFFSET ?)",
                   R"([-1,7])",
                   R"(SELECT "id", "name", "age", "score", "active", "joined", "tags", "meta", "photo", "_metadata" FROM "customers" LIMIT $1 OFFSET $2)",
                   R"([null,7])"},
                  {"slice 5 to 2", [] { return customers()[Slice(5, 2)]; },
                   R"(SELECT "id", "name", "age", "score", "active", "joined", "tags", "meta", "photo", "_metadata" FROM "customers" ORDER BY rowid LIMIT ? OFFSET ?)",
                   R"([0,5])",
                   R"(SELECT "id", "name", "age", "score", "active", "joined", "tags", "meta", "photo", "_metadata" FROM "customers" LIMIT $1 OFFSET $2)",
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
    if (::testing::Test::HasFailure()) {
      std::printf("CASE %s\nR\"(%s)\",\n\"%s\",\nR\"(%s)\",\n\"%s\"\n", g.name, lite.text.c_str(),
                  params_text(lite).c_str(), pg.text.c_str(), params_text(pg).c_str());
    }
  }
}

}  // namespace
