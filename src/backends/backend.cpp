#include "velmor_models/backends/backend.hpp"

#include "velmor_utils/errors.hpp"

namespace velmor_models::backends {

void Backend::create_table(const classes::model::ModelClass& cls, const std::vector<std::string>&) {
  throw velmor_utils::errors::ValueError("this store cannot create the table of " + cls.name());
}

void Backend::insert(const classes::model::ModelClass& cls, std::span<const boost::json::object>) {
  throw velmor_utils::errors::ValueError("this store cannot add records to " + cls.name());
}

driver::Lease Backend::lease() {
  throw velmor_utils::errors::TypeError(
      "this store runs no SQL, so it hands out no connection (the object store needs an SQL "
      "store)");
}

}  // namespace velmor_models::backends
