#pragma once
// What a database needs before the store's queries run there: UTF8 text, and the SQL
// function velmor_casefold (sql/postgres_casefold.hpp) in the current schema, at the version
// this library writes.

#include "backends/postgres/connection.hpp"

namespace velmor_models::backends::postgres {

/// On a store's first connection: a DatabaseError when the database is not UTF8; then,
/// unless the session is read-only (a standby relies on what its primary installed),
/// installs velmor_casefold in current_schema() when the version there differs or it is
/// missing (a DatabaseError when no schema is on the search path or the install fails).
void prepare_database(Connection& conn);

}  // namespace velmor_models::backends::postgres
