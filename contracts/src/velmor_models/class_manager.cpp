#include "velmor_models/classes/class_manager.hpp"

#include <map>
#include <mutex>
#include <string>

namespace velmor_models::classes::class_manager {
namespace {

struct Registry {
  std::mutex mutex;
  std::map<std::string, model::ModelClassPtr, std::less<>> classes;
};

Registry& registry() {
  static Registry r;
  return r;
}

}  // namespace

void ClassManager::register_class(model::ModelClassPtr cls) {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  std::string name = cls->name();
  r.classes[std::move(name)] = std::move(cls);
}

void ClassManager::unregister_class(std::string_view name) {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  if (auto it = r.classes.find(name); it != r.classes.end()) r.classes.erase(it);
}

model::ModelClassPtr ClassManager::import_class(std::string_view class_name) const {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  if (auto it = r.classes.find(class_name); it != r.classes.end()) return it->second;
  throw ClassNotFoundError("No model class named '" + std::string(class_name) + "'");
}

}  // namespace velmor_models::classes::class_manager
