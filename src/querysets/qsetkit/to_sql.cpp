// The statement a query set runs as, for users to print or log.

#include "velmor_models/backends/query_check.hpp"
#include "velmor_models/backends/sql/compiler.hpp"
#include "velmor_models/querysets/qsetkit/query_set_core.hpp"

namespace velmor_models::querysets::qsetkit {

backends::sql::Statement QuerySetCore::to_sql(const backends::sql::Dialect& dialect) const {
  backends::check_query(*this);
  return backends::sql::compile_select(*this, dialect);
}

}  // namespace velmor_models::querysets::qsetkit
