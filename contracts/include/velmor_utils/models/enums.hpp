#pragma once
// Version markers of the framework.

#include <span>

#include "velmor_utils/text_enum.hpp"

namespace velmor_utils::models::enums {

/// Version markers; LATEST stands for "the latest version" and is compared by equality.
class Versions : public TextEnum<Versions> {
 public:
  using TextEnum::TextEnum;
  static constexpr std::string_view enum_name = "Versions";
  static const Versions LATEST;
  static std::span<const Versions> members() noexcept;
};
inline constexpr Versions Versions::LATEST{"LATEST", "latest"};

}  // namespace velmor_utils::models::enums
