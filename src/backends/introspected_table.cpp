#include "velmor_models/backends/introspected_table.hpp"

#include <map>

#include "velmor_models/classes/class_manager.hpp"
#include "velmor_utils/errors.hpp"

namespace velmor_models::backends {

using classes::model::ModelClass;
using classes::model::ModelClassPtr;

ModelClassPtr model_class_of(const IntrospectedTable& table) {
  ModelClass::Options options;
  options.plain_table = table.plain;
  return ModelClass::from_schema(table.schema, std::move(options));
}

std::vector<ModelClassPtr> register_model_classes(const std::vector<IntrospectedTable>& tables) {
  std::vector<ModelClassPtr> classes;
  std::map<std::string, const IntrospectedTable*, std::less<>> seen;
  for (const IntrospectedTable& table : tables) {
    ModelClassPtr cls = model_class_of(table);
    if (auto [it, fresh] = seen.emplace(cls->name(), &table); !fresh)
      throw velmor_utils::errors::ValueError("tables '" + it->second->name + "' and '" +
                                             table.name + "' both make the model class '" +
                                             cls->name() + "'");
    classes.push_back(std::move(cls));
  }
  for (const ModelClassPtr& cls : classes)
    classes::class_manager::ClassManager::register_class(cls);
  return classes;
}

}  // namespace velmor_models::backends
