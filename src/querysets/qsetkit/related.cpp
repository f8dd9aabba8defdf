// Related objects delivered by select_related(), materialised on demand.

#include "velmor_models/classes/class_manager.hpp"
#include "velmor_models/querysets/qsetkit.hpp"
#include "velmor_utils/errors.hpp"

namespace velmor_models::querysets::qsetkit {

std::optional<Instance<Model>> related_instance(const Model& obj, std::string_view field) {
  const boost::json::value* related = obj.find("_related");
  const boost::json::object* loaded = related ? related->if_object() : nullptr;
  const boost::json::value* entry = loaded ? loaded->if_contains(field) : nullptr;
  if (!entry)
    throw velmor_utils::errors::KeyError("'" + std::string(field) + "' of " +
                                         obj.model_class()->name() +
                                         " was not loaded: name it in select_related()");
  if (!entry->is_object()) return std::nullopt;
  // The class the reference names (the stored address), so a LegacyModel's references
  // resolve as well as a current instance's.
  const boost::json::value& address = obj.get(field);
  const boost::json::value* class_name =
      address.is_object() ? address.get_object().if_contains("class_name") : nullptr;
  if (!class_name || !class_name->is_string())
    throw velmor_utils::errors::ValueError("'" + std::string(field) + "' of " +
                                           obj.model_class()->name() +
                                           " holds no reference with a class name");
  auto cls = classes::class_manager::ClassManager().import_class(class_name->get_string());
  const boost::json::object& e = entry->get_object();
  velmor_glue::Data data;
  if (const auto* d = e.if_contains("data"); d && d->is_object()) data.data = d->get_object();
  if (const auto* m = e.if_contains("metadata"); m && m->is_object())
    data.metadata = m->get_object();
  return QuerySet<Model>(cls)._create_instance(false, std::move(data));
}

}  // namespace velmor_models::querysets::qsetkit
