#include "table_query.hpp"

#include <boost/json/parse.hpp>
#include <filesystem>

#include "pretty_json.hpp"
#include "velmor_models/backends/postgres/introspect.hpp"
#include "velmor_models/backends/registry.hpp"
#include "velmor_models/backends/sqlite/introspect.hpp"
#include "velmor_models/querysets/qsetkit/query_set.hpp"
#include "velmor_utils/errors.hpp"

namespace velmor_inspect {
namespace {

namespace json = boost::json;
using velmor_models::backends::IntrospectedTable;
using velmor_models::classes::model::Model;
using velmor_models::querysets::qsetkit::NamedFilters;
using velmor_models::querysets::qsetkit::QuerySet;
using velmor_utils::errors::ValueError;

// The alias the tool's queries run on.
constexpr std::string_view kAlias = "velmor_inspect";

const IntrospectedTable& find_table(const std::vector<IntrospectedTable>& tables,
                                    const std::string& name) {
  std::string known;
  for (const IntrospectedTable& t : tables) {
    if (t.name == name) return t;
    known += (known.empty() ? "" : ", ") + t.name;
  }
  throw ValueError("no table '" + name +
                   "' in the database; its tables: " + (known.empty() ? "none" : known));
}

// The URL of the alias the query runs on.
std::string alias_url(const std::string& database) {
  if (is_postgres_url(database)) return database;
  if (database.find('?') != std::string::npos)
    throw ValueError("cannot query '" + database + "': a database URL cannot name a path with '?'");
  // Read-only: inspecting a database must never change it (nor switch its journal mode).
  return "sqlite://" + std::filesystem::absolute(database).lexically_normal().string() + "?mode=ro";
}

}  // namespace

bool is_postgres_url(std::string_view database) {
  return database.starts_with("postgresql:") || database.starts_with("postgres:");
}

std::vector<IntrospectedTable> introspect(const std::string& database) {
  if (is_postgres_url(database))
    return velmor_models::backends::postgres::introspect_database(database);
  return velmor_models::backends::sqlite::introspect_database(database);
}

json::value filter_value(std::string_view text) {
  json::error_code ec;
  json::value parsed = json::parse(text, ec);
  if (ec) return json::value(json::string(text));
  return parsed;
}

void run_table_query(const std::string& database, const std::vector<IntrospectedTable>& tables,
                     const TableQuery& query, std::ostream& out) {
  const IntrospectedTable& table = find_table(tables, query.table);
  velmor_models::backends::configure(kAlias, alias_url(database));

  auto qs = QuerySet<Model>(velmor_models::backends::model_class_of(table)).using_(kAlias);
  for (const std::string& filter : query.filters) {
    const std::size_t eq = filter.find('=');
    if (eq == std::string::npos || eq == 0)
      throw ValueError("the filter '" + filter + "' is not of the form field__lookup=value");
    qs = qs.filter(NamedFilters{{filter.substr(0, eq), filter_value(filter.substr(eq + 1))}});
  }
  if (!query.order_by.empty()) {
    std::vector<velmor_models::querysets::qsetkit::OrderBy> order;
    for (const std::string& text : query.order_by)
      order.push_back(velmor_models::querysets::qsetkit::OrderBy::from_string(text));
    qs.get_order_by() = std::move(order);
  }
  qs.get_paginator().limit = query.limit;
  qs.get_paginator().offset = query.offset;

  // The rows as the store returns them: an existing table may hold values of other kinds
  // than its declared column types (SQLite does not enforce them), which a model instance
  // would refuse.
  auto records = qs._execute_query();
  if (!records) return;
  for (const velmor_glue::Data& record : *records)
    out << (record.data ? compact_json(*record.data) : std::string("null")) << '\n';
}

}  // namespace velmor_inspect
