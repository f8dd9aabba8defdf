#pragma once
// Schema vocabulary: core property types and schema meta classes.

#include <span>

#include "velmor_utils/text_enum.hpp"

namespace velmor_utils::models::data_models::enums {

/// The framework's core property types; a member's value is the core type name.
class CoreTypes : public TextEnum<CoreTypes> {
 public:
  using TextEnum::TextEnum;
  static constexpr std::string_view enum_name = "CoreTypes";
  static const CoreTypes INTEGER, NUMBER, STRING, BINARY, BOOLEAN, DATE, DATETIME, ARRAY,
      DICTIONARY;
  static std::span<const CoreTypes> members() noexcept;
};
inline constexpr CoreTypes CoreTypes::INTEGER{"INTEGER", "integer"};
inline constexpr CoreTypes CoreTypes::NUMBER{"NUMBER", "number"};
inline constexpr CoreTypes CoreTypes::STRING{"STRING", "string"};
inline constexpr CoreTypes CoreTypes::BINARY{"BINARY", "binary"};
inline constexpr CoreTypes CoreTypes::BOOLEAN{"BOOLEAN", "boolean"};
inline constexpr CoreTypes CoreTypes::DATE{"DATE", "date"};
inline constexpr CoreTypes CoreTypes::DATETIME{"DATETIME", "datetime"};
inline constexpr CoreTypes CoreTypes::ARRAY{"ARRAY", "array"};
inline constexpr CoreTypes CoreTypes::DICTIONARY{"DICTIONARY", "dictionary"};

/// Meta classes of object schemas: a schema describes a type or a model.
class MetaClasses : public TextEnum<MetaClasses> {
 public:
  using TextEnum::TextEnum;
  static constexpr std::string_view enum_name = "MetaClasses";
  static const MetaClasses TYPE, MODEL;
  static std::span<const MetaClasses> members() noexcept;
};
inline constexpr MetaClasses MetaClasses::TYPE{"TYPE", "type"};
inline constexpr MetaClasses MetaClasses::MODEL{"MODEL", "model"};

}  // namespace velmor_utils::models::data_models::enums
