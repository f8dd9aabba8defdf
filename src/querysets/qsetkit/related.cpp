// Related objects delivered by select_related(), materialised on demand.

#include "velmor_models/classes/class_manager.hpp"
#include "velmor_models/querysets/qsetkit.hpp"
#include "velmor_utils/errors.hpp"

namespace velmor_models::querysets::qsetkit {

std::optional<Instance<Model>> related_instance(const Model& obj,
                                                const velmor_glue::RelatedRecords& related,
                                                std::string_view field) {
  const velmor_glue::RelatedRecords::value_type* entry = nullptr;
  for (const auto& e : related)
    if (e.first == field) entry = &e;
  if (!entry)
    throw velmor_utils::errors::KeyError("'" + std::string(field) + "' of " +
                                         obj.model_class()->name() +
                                         " was not loaded: name it in select_related()");
  if (!entry->second) return std::nullopt;
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
  // The shared record stays as it is: the instance gets a copy of it.
  return QuerySet<Model>(cls)._create_instance(false, velmor_glue::Data(*entry->second));
}

}  // namespace velmor_models::querysets::qsetkit
