#include "velmor_models/backends/tables.hpp"

#include "velmor_models/backends/registry.hpp"

namespace velmor_models::backends {

void create_table(std::string_view alias, const classes::model::ModelClass& cls,
                  const std::vector<std::string>& indexed_fields) {
  backend_for(alias)->create_table(cls, indexed_fields);
}

void insert_records(std::string_view alias, const classes::model::ModelClass& cls,
                    std::span<const boost::json::object> records) {
  backend_for(alias)->insert(cls, records);
}

}  // namespace velmor_models::backends
