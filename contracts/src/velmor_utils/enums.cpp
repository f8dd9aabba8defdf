#include <array>

#include "velmor_utils/models/data_models/enums.hpp"
#include "velmor_utils/models/enums.hpp"

namespace velmor_utils::models::data_models::enums {

std::span<const CoreTypes> CoreTypes::members() noexcept {
  static constexpr std::array all{INTEGER, NUMBER, STRING, BINARY, BOOLEAN,
                                  DATE,    DATETIME, ARRAY, DICTIONARY};
  return all;
}

std::span<const MetaClasses> MetaClasses::members() noexcept {
  static constexpr std::array all{TYPE, MODEL};
  return all;
}

}  // namespace velmor_utils::models::data_models::enums

namespace velmor_utils::models::enums {

std::span<const Versions> Versions::members() noexcept {
  static constexpr std::array all{LATEST};
  return all;
}

}  // namespace velmor_utils::models::enums
