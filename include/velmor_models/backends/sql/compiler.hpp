#pragma once
// The query compiler: a query set in, one parameterised statement out.
//
// Every identifier is a declared field of the query set's model (or its table name),
// checked and quoted; every value, JSON path and window bound is bound. Conditions use
// two-valued logic: a lookup on NULL (or a missing JSON path) is false, and a negation
// is the exact complement. Rows come in the query's ordering, NULLs first ascending and
// last descending; where the dialect knows the insertion order it breaks the remaining
// ties. The names and values are those check_query accepted (one rule for every store);
// a JSON key the dialect's path syntax cannot name exactly is refused with
// UnsupportedQueryError.

#include "velmor_models/backends/sql/statement.hpp"
#include "velmor_models/backends/sql/unsupported_query_error.hpp"
#include "velmor_models/querysets/executor.hpp"

namespace velmor_models::backends {
class CheckedQuery;  // query_check.hpp
}

namespace velmor_models::backends::sql {

class Dialect;  // dialect.hpp

/// The SELECT that returns the records of `qs`: its selected fields in declaration
/// order, then `_metadata` (except for a plain table, whose rows have none).
Statement compile_select(const CheckedQuery& qs, const Dialect& dialect);
/// The SELECT that counts the rows `compile_select` returns (one integer column).
Statement compile_count(const CheckedQuery& qs, const Dialect& dialect);
/// The same for a query set not yet checked: check_query first, then the above.
Statement compile_select(const querysets::executor::QuerySetReader& qs, const Dialect& dialect);
Statement compile_count(const querysets::executor::QuerySetReader& qs, const Dialect& dialect);

}  // namespace velmor_models::backends::sql
