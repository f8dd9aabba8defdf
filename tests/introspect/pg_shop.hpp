#pragma once
// A shop in a PostgreSQL schema of its own, for the tests that introspect a server's
// database: each test names its own schema (CTest runs them in parallel processes).

#include <string>

#include "support/pg_env.hpp"
#include "velmor_models/backends/registry.hpp"
#include "velmor_models/backends/tables.hpp"
#include "velmor_models/classes/model.hpp"

namespace velmor_test {

/// The URL of the test server with `schema` as its search path, or empty without a server.
inline std::string pg_schema_url(const std::string& schema) {
  const auto url = pg_url();
  return url ? "postgresql:" + *url + " options='-c search_path=" + schema + "'" : std::string();
}

/// Makes `schema` anew with a plain table of every kind of column, a view, a table written
/// by the framework (with `_metadata` and the address columns), one of the object store's
/// own tables and a table with a quoted name; returns its URL (pg_schema_url).
inline std::string write_pg_shop(const std::string& schema) {
  namespace backends = velmor_models::backends;
  using velmor_models::classes::model::CoreTypes;
  const std::string url = pg_schema_url(schema);
  {
    // The schema first: a store needs one to work in (its velmor_casefold goes there).
    backends::configure("pg_shop_admin", "postgresql:" + *pg_url());
    auto lease = backends::backend_for("pg_shop_admin")->lease();
    for (const std::string& sql :
         {"DROP SCHEMA IF EXISTS " + schema + " CASCADE", "CREATE SCHEMA " + schema})
      lease->execute(sql);
  }
  backends::configure("pg_shop_setup", url);
  {
    auto lease = backends::backend_for("pg_shop_setup")->lease();
    for (const std::string& sql :
         {std::string("CREATE TABLE customers (id bigserial PRIMARY KEY, name varchar(40) NOT "
                      "NULL, age integer, score double precision, active boolean DEFAULT "
                      "true, joined timestamptz, tags text[], extra jsonb, photo bytea, "
                      "born date, price numeric(10, 2))"),
          std::string("INSERT INTO customers (name, age, score, active) VALUES "
                      "('Ann', 34, 1.5, true), ('bob', 19, 2.5, false), "
                      "('Cid', 21, NULL, true), ('Dee', 45, 0.5, true)"),
          std::string("CREATE VIEW adults AS SELECT * FROM customers WHERE age >= 21"),
          std::string("CREATE TABLE \"_velmor_objects\" (class_name text)"),
          std::string("CREATE TABLE \"odd \"\"quoted\"\" place\" (x bytea, y text)")})
      lease->execute(sql);
  }
  const auto lines = velmor_models::classes::model::ModelClass::create(
      "PgShopLine", "order_lines",
      {{"item", CoreTypes::STRING, true, {}}, {"qty", CoreTypes::INTEGER, false, {}}});
  backends::create_table("pg_shop_setup", *lines, {});
  backends::reset();
  return url;
}

}  // namespace velmor_test
