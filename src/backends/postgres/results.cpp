#include "backends/postgres/results.hpp"

#include <libpq-fe.h>

#include "backends/postgres/columns.hpp"
#include "backends/postgres/type_oids.hpp"
#include "backends/stored_value.hpp"
#include "velmor_utils/errors.hpp"

namespace velmor_models::backends::postgres {

driver::Value value_at(const pg_result* res, int row, int column) {
  if (PQgetisnull(res, row, column)) return std::monostate{};
  return decode_column(PQftype(res, column), PQfformat(res, column) == 1,
                       std::string_view(PQgetvalue(res, row, column),
                                        static_cast<std::size_t>(PQgetlength(res, row, column))));
}

driver::Rows rows_of(const pg_result* res) {
  driver::Rows out;
  if (!res) return out;
  const int columns = PQnfields(res);
  const int rows = PQntuples(res);
  for (int c = 0; c < columns; ++c) {
    out.columns.emplace_back(PQfname(res, c));
    const Oid type = PQftype(res, c);
    out.json.push_back(type == type_oid::jsonb || type == type_oid::json);
  }
  out.rows.reserve(static_cast<std::size_t>(rows));
  for (int r = 0; r < rows; ++r) {
    std::vector<driver::Value>& row = out.rows.emplace_back();
    row.reserve(static_cast<std::size_t>(columns));
    for (int c = 0; c < columns; ++c) row.push_back(value_at(res, r, c));
  }
  return out;
}

namespace {

void check_columns(const pg_result* res, const std::vector<sql::ResultColumn>& columns) {
  const int count = PQnfields(res);
  if (!columns.empty() && columns.size() != static_cast<std::size_t>(count))
    throw velmor_utils::errors::ValueError("the statement returns " + std::to_string(count) +
                                           " columns, " + std::to_string(columns.size()) +
                                           " were described");
}

void add_record(const pg_result* res, int row, const std::vector<sql::ResultColumn>& columns,
                std::vector<velmor_glue::Data>& out) {
  const int count = PQnfields(res);
  boost::json::object record(static_cast<std::size_t>(count));
  for (int c = 0; c < count; ++c) {
    if (columns.empty()) {
      record.emplace(PQfname(res, c), stored_json(value_at(res, row, c), sql::CoreTypes::STRING));
      continue;
    }
    const sql::ResultColumn& column = columns[static_cast<std::size_t>(c)];
    if (column.name == "_metadata" && PQgetisnull(res, row, c)) continue;
    driver::Value v = value_at(res, row, c);
    if (column.type == sql::CoreTypes::NUMBER && PQftype(res, c) == type_oid::numeric)
      if (const auto* text = std::get_if<std::string>(&v)) v = numeric_value(*text);
    record.emplace(column.name, stored_json(v, column.type, PQftype(res, c) == type_oid::jsonb));
  }
  out.push_back(velmor_glue::Data{std::move(record), boost::json::object()});
}

}  // namespace

void append_records(const pg_result* res, const std::vector<sql::ResultColumn>& columns,
                    std::vector<velmor_glue::Data>& out) {
  check_columns(res, columns);
  const int rows = PQntuples(res);
  out.reserve(out.size() + static_cast<std::size_t>(rows));
  for (int r = 0; r < rows; ++r) add_record(res, r, columns, out);
}

void append_record(const pg_result* res, int row, const std::vector<sql::ResultColumn>& columns,
                   std::vector<velmor_glue::Data>& out) {
  check_columns(res, columns);
  add_record(res, row, columns, out);
}

std::int64_t integer_result(const pg_result* res, const std::string& sql) {
  if (!res || PQntuples(res) < 1 || PQnfields(res) < 1)
    throw velmor_utils::errors::ValueError("the statement returned no value: " + sql);
  return driver::integer_of(value_at(res, 0, 0), "the statement's value");
}

}  // namespace velmor_models::backends::postgres
