// The statement a query set runs as, for users to print or log.

#include "velmor_models/backends/query_check.hpp"
#include "velmor_models/backends/registry.hpp"
#include "velmor_models/backends/sql/compiler.hpp"
#include "velmor_models/querysets/qsetkit/query_set_core.hpp"
#include "velmor_utils/errors.hpp"

namespace velmor_models::querysets::qsetkit {

backends::sql::Statement QuerySetCore::to_sql(const backends::sql::Dialect& dialect) const {
  return backends::sql::compile_select(backends::check_query(*this), dialect);
}

backends::sql::Statement QuerySetCore::to_sql() const {
  const backends::sql::Dialect* dialect = backends::backend_for(get_using())->dialect();
  if (!dialect)
    throw velmor_utils::errors::ValueError("the store behind the alias '" + get_using() +
                                           "' runs no SQL");
  return to_sql(*dialect);
}

}  // namespace velmor_models::querysets::qsetkit
