#include "velmor_models/classes/enums.hpp"

#include <array>

namespace velmor_models::classes::enums {

std::span<const ModelType> ModelType::members() noexcept {
  static constexpr std::array all{TYPE, MODEL};
  return all;
}

ModelType ModelType::from_schema(const velmor_utils::schemas::schema::ObjectSchema& schema) {
  using velmor_utils::models::data_models::enums::MetaClasses;
  return schema.meta_class() == MetaClasses::TYPE ? TYPE : MODEL;
}

std::span<const CoreModules> CoreModules::members() noexcept {
  static constexpr std::array all{REFERENCE};
  return all;
}

std::span<const SystemModules> SystemModules::members() noexcept {
  static constexpr std::array all{DICT,
                                  LIST,
                                  ANY,
                                  TYPE,
                                  OPTIONAL,
                                  UNION,
                                  CLASS_VAR,
                                  FIELD_VALIDATOR,
                                  FIELD_DICTIONARY_VALIDATOR,
                                  FIELD_OPTIONS_VALIDATOR,
                                  DATE,
                                  DATETIME};
  return all;
}

}  // namespace velmor_models::classes::enums
