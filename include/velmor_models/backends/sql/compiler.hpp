#pragma once
// The query compiler: a query set in, one parameterised statement out.

#include "velmor_models/backends/sql/statement.hpp"
#include "velmor_models/querysets/executor.hpp"

namespace velmor_models::backends::sql {

class Dialect;  // dialect.hpp

/// The SELECT that returns the records of `qs`.
Statement compile_select(const querysets::executor::QuerySetReader& qs, const Dialect& dialect);
/// The SELECT that counts the rows `compile_select` returns.
Statement compile_count(const querysets::executor::QuerySetReader& qs, const Dialect& dialect);

}  // namespace velmor_models::backends::sql
