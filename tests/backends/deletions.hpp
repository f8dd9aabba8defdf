#pragma once
// The deletions the object store records in its lakehouse (`_velmor_deletions`), written
// by a test itself beside rows it inserted, so that queries as of a time see them.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "velmor_models/backends/backend.hpp"
#include "velmor_models/backends/registry.hpp"
#include "velmor_models/backends/sql/dialect.hpp"

namespace velmor_test {

/// One deletion: the object's latest version when it was deleted, and when.
struct Deletion {
  std::string class_name;
  std::string object_id;
  std::int64_t version;
  std::int64_t deleted_at;  ///< microseconds since the epoch, UTC
};

/// Makes the table of deletions in the database behind `alias` unless it is there, with
/// the layout the object store gives it, and adds `deletions`. Nothing for a store that
/// runs no SQL (the memory store keeps no deletions).
inline void record_deletions(std::string_view alias, const std::vector<Deletion>& deletions) {
  namespace backends = velmor_models::backends;
  using velmor_models::classes::model::CoreTypes;
  const auto store = backends::backend_for(alias);
  const backends::sql::Dialect* d = store->dialect();
  if (!d) return;
  const backends::sql::ColumnDef columns[] = {{"class_name", d->column_type(CoreTypes::STRING)},
                                              {"object_id", d->column_type(CoreTypes::STRING)},
                                              {"version", d->column_type(CoreTypes::INTEGER)},
                                              {"deleted_at", d->column_type(CoreTypes::INTEGER)}};
  const std::string table = "_velmor_deletions";
  auto lease = store->lease();
  lease->execute(d->create_table(table, columns, "PRIMARY KEY (class_name, object_id, version)"));
  const std::string insert = d->insert(
      table, std::vector<std::string>{"class_name", "object_id", "version", "deleted_at"});
  for (const Deletion& x : deletions)
    lease->execute(insert, {x.class_name, x.object_id, x.version, x.deleted_at});
}

}  // namespace velmor_test
