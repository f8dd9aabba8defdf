#include "backends/postgres/casefold_setup.hpp"

#include "backends/sql/postgres_casefold.hpp"
#include "velmor_models/backends/driver/operation.hpp"

namespace velmor_models::backends::postgres {
namespace {

using driver::Value;
using querysets::errors::DatabaseError;

std::string text_at(const driver::Rows& rows, std::size_t column) {
  const Value& v = rows.rows.at(0).at(column);
  const auto* text = std::get_if<std::string>(&v);
  return text ? *text : std::string();
}

bool is_null_at(const driver::Rows& rows, std::size_t column) {
  return std::holds_alternative<std::monostate>(rows.rows.at(0).at(column));
}

}  // namespace

void prepare_database(Connection& conn) {
  const std::string& alias = conn.alias();
  const std::string utf8(sql::postgres_utf8_check_query());
  const driver::Rows session =
      conn.fetch("SELECT (" + utf8 +
                 "), current_setting('server_encoding'), current_schema(), "
                 "current_setting('transaction_read_only')");
  if (driver::integer_of(session.rows.at(0).at(0), "the encoding check") != 1)
    throw DatabaseError(message_prefix(conn.settings()) + "the database's encoding is " +
                            text_at(session, 1) +
                            ", and the store needs UTF8 (text compares by its UTF-8 bytes, and "
                            "velmor_casefold reads it as UTF-8)",
                        alias, utf8, "", true);
  if (text_at(session, 3) == "on") return;  // read-only: what the primary installed serves
  if (is_null_at(session, 2))
    throw DatabaseError(message_prefix(conn.settings()) +
                            "no schema of the search path exists, so velmor_casefold has no "
                            "schema to be installed in",
                        alias, "SELECT current_schema()", "", true);
  const std::string schema = text_at(session, 2);
  const std::string version_query(sql::postgres_casefold_version_query());
  const driver::Rows installed = conn.fetch(version_query, {Value(schema)});
  if (!installed.rows.empty() && text_at(installed, 0) == sql::postgres_casefold_version()) return;
  std::unique_ptr<driver::Operation> install =
      conn.start_script(sql::postgres_casefold_install(schema));
  try {
    driver::run(*install);
  } catch (const DatabaseError& e) {
    // Said as what the store was doing: a user without CREATE in the schema, say.
    throw DatabaseError(
        std::string(e.what()) + " (while installing velmor_casefold in schema '" + schema + "')",
        alias, e.sql(), e.code(), e.connection_usable(), e.category(), e.native_code(),
        e.sqlstate());
  }
}

}  // namespace velmor_models::backends::postgres
