#pragma once
// Model type and module name enumerations used when generating model classes.

#include <span>
#include <string_view>

#include "velmor_utils/schemas/schema.hpp"
#include "velmor_utils/text_enum.hpp"

namespace velmor_models::classes::enums {

/// Enumeration for model types. The documentation text, `enum_doc()`, lists the members
/// with their own documentation lines.
class ModelType : public velmor_utils::TextEnum<ModelType> {
 public:
  using TextEnum::TextEnum;
  static constexpr std::string_view enum_name = "ModelType";
  static constexpr std::string_view enum_summary = "Enumeration for model types.";
  static const ModelType TYPE, MODEL;
  /// The members in declaration order.
  static std::span<const ModelType> members() noexcept;

  /// Determines the model type from the given schema.
  ///
  /// Args:
  ///     schema (ObjectSchema): The schema to determine the model type from.
  ///
  /// Returns:
  ///     ModelType: The determined model type.
  static ModelType from_schema(const velmor_utils::schemas::schema::ObjectSchema& schema);
};
inline constexpr ModelType ModelType::TYPE{"TYPE", "type", "Represents the 'type' model type."};
inline constexpr ModelType ModelType::MODEL{"MODEL", "model", "Represents the 'model' model type."};

/// Enumeration for core modules.
class CoreModules : public velmor_utils::TextEnum<CoreModules> {
 public:
  using TextEnum::TextEnum;
  static constexpr std::string_view enum_name = "CoreModules";
  static constexpr std::string_view enum_summary = "Enumeration for core modules.";
  static const CoreModules REFERENCE;
  /// The members in declaration order.
  static std::span<const CoreModules> members() noexcept;
};
inline constexpr CoreModules CoreModules::REFERENCE{"REFERENCE", "Reference",
                                                    "Represents the 'Reference' core module."};

/// Enumeration for system modules.
class SystemModules : public velmor_utils::TextEnum<SystemModules> {
 public:
  using TextEnum::TextEnum;
  static constexpr std::string_view enum_name = "SystemModules";
  static constexpr std::string_view enum_summary = "Enumeration for system modules.";
  static const SystemModules DICT, LIST, ANY, TYPE, OPTIONAL, UNION, CLASS_VAR, FIELD_VALIDATOR,
      FIELD_DICTIONARY_VALIDATOR, FIELD_OPTIONS_VALIDATOR, DATE, DATETIME;
  /// The members in declaration order.
  static std::span<const SystemModules> members() noexcept;
};
inline constexpr SystemModules SystemModules::DICT{"DICT", "dict",
                                                   "Represents the 'dict' system module."};
inline constexpr SystemModules SystemModules::LIST{"LIST", "list",
                                                   "Represents the 'list' system module."};
inline constexpr SystemModules SystemModules::ANY{"ANY", "Any",
                                                  "Represents the 'Any' system module."};
inline constexpr SystemModules SystemModules::TYPE{"TYPE", "type",
                                                   "Represents the 'type' system module."};
inline constexpr SystemModules SystemModules::OPTIONAL{"OPTIONAL", "Optional",
                                                       "Represents the 'Optional' system module."};
inline constexpr SystemModules SystemModules::UNION{"UNION", "Union",
                                                    "Represents the 'Union' system module."};
inline constexpr SystemModules SystemModules::CLASS_VAR{"CLASS_VAR", "ClassVar",
                                                        "Represents the 'ClassVar' system module."};
inline constexpr SystemModules SystemModules::FIELD_VALIDATOR{
    "FIELD_VALIDATOR", "field_validator", "Represents the 'field_validator' system module."};
inline constexpr SystemModules SystemModules::FIELD_DICTIONARY_VALIDATOR{
    "FIELD_DICTIONARY_VALIDATOR", "validate_non_empty_keys",
    "Represents the 'validate_non_empty_keys' system module."};
inline constexpr SystemModules SystemModules::FIELD_OPTIONS_VALIDATOR{
    "FIELD_OPTIONS_VALIDATOR", "validate_options",
    "Represents the 'validate_options' system module."};
inline constexpr SystemModules SystemModules::DATE{"DATE", "date",
                                                   "Represents the 'date' system module."};
inline constexpr SystemModules SystemModules::DATETIME{"DATETIME", "datetime",
                                                       "Represents the 'datetime' system module."};

}  // namespace velmor_models::classes::enums
