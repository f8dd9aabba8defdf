#include "velmor_models/backends/tables.hpp"

#include "velmor_models/backends/registry.hpp"
#include "velmor_utils/errors.hpp"

namespace velmor_models::backends {
namespace {

// A plain table was found, not written by the framework: its rows have no `_metadata`,
// which both operations here would add.
void refuse_plain_table(const classes::model::ModelClass& cls, std::string_view operation) {
  if (cls.is_plain_table())
    throw velmor_utils::errors::TypeError("cannot " + std::string(operation) + " of model '" +
                                          cls.name() +
                                          "': it is a plain table (rows without _metadata), "
                                          "which is read-only");
}

}  // namespace

void create_table(std::string_view alias, const classes::model::ModelClass& cls,
                  const std::vector<std::string>& indexed_fields) {
  refuse_plain_table(cls, "create the table");
  backend_for(alias)->create_table(cls, indexed_fields);
}

void insert_records(std::string_view alias, const classes::model::ModelClass& cls,
                    std::span<const boost::json::object> records) {
  refuse_plain_table(cls, "add records to the table");
  backend_for(alias)->insert(cls, records);
}

}  // namespace velmor_models::backends
