#pragma once
// The query compiler: a query set in, one parameterised statement out.
//
// Every identifier is a declared field of the query set's model (or its table name),
// checked and quoted; every value, JSON path and window bound is bound. Conditions use
// two-valued logic: a lookup on NULL (or a missing JSON path) is false, and a negation
// is the exact complement. Rows come in the query's ordering, NULLs first ascending and
// last descending; where the dialect knows the insertion order it breaks the remaining
// ties. What a query cannot ask of an SQL store (paths into `_address`, lookups on
// BINARY fields other than `isnull`) is refused with UnsupportedQueryError; names the
// model does not have, values a lookup cannot take and lookups that do not fit a
// field's type with the usual ValueError, TypeError or field error.

#include "velmor_models/backends/sql/statement.hpp"
#include "velmor_models/backends/sql/unsupported_query_error.hpp"
#include "velmor_models/querysets/executor.hpp"

namespace velmor_models::backends::sql {

class Dialect;  // dialect.hpp

/// The SELECT that returns the records of `qs`: its selected fields in declaration
/// order, then `_metadata`.
Statement compile_select(const querysets::executor::QuerySetReader& qs, const Dialect& dialect);
/// The SELECT that counts the rows `compile_select` returns (one integer column).
Statement compile_count(const querysets::executor::QuerySetReader& qs, const Dialect& dialect);

}  // namespace velmor_models::backends::sql
