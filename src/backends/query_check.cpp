#include "velmor_models/backends/query_check.hpp"

#include "velmor_utils/errors.hpp"

namespace velmor_models::backends {

const classes::model::FieldDecl& field_of(const classes::model::ModelClass& cls,
                                          std::string_view name) {
  for (const auto& f : cls.fields())
    if (f.name == name) return f;
  throw velmor_utils::errors::AttributeError("Model '" + cls.name() + "' has no field '" +
                                             std::string(name) + "'");
}

void check_query(const querysets::executor::QuerySetReader&) {}

}  // namespace velmor_models::backends
