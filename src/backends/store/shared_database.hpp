#pragma once
// Both aliases in one database (two schemas of one PostgreSQL database): a save then runs
// in one transaction, on a connection of the lakehouse, whose default part works in the
// default alias's schema through a view of that connection.

#include <memory>
#include <optional>
#include <string>

#include "backends/store/store_db.hpp"

namespace velmor_models::backends::store {

/// What the two aliases' stores share: nothing, or one database (the default alias's
/// schema and the lakehouse connection's search path). Found once per pair of stores.
struct SharedDatabase {
  std::string default_schema;  ///< quoted, as a search path
  std::string lake_path;       ///< the lakehouse connection's own search path
};
awaitable<std::optional<SharedDatabase>> shared_database();

/// `lake`, seen as a connection of the default database: every statement runs in the
/// default alias's schema (the search path set around it, inside the lakehouse's
/// transaction); beginning and committing are the lakehouse transaction's business.
Lease default_view(Connection& lake, const SharedDatabase& shared);

}  // namespace velmor_models::backends::store
