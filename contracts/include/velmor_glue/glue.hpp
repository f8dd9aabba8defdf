#pragma once
// Stored records and version markers of the storage layer.

#include <boost/json/object.hpp>
#include <optional>
#include <span>

#include "velmor_utils/text_enum.hpp"

namespace velmor_glue {

/// One stored record as an executor returns it: the object's field values (among them
/// the reserved entry `_metadata`) and the record's storage metadata.
struct Data {
  std::optional<boost::json::object> data;
  std::optional<boost::json::object> metadata;
};

/// Version markers of stored records; LATEST marks "the latest version".
class Version : public velmor_utils::TextEnum<Version> {
 public:
  using TextEnum::TextEnum;
  static constexpr std::string_view enum_name = "Version";
  static const Version LATEST;
  static std::span<const Version> members() noexcept;
};
inline constexpr Version Version::LATEST{"LATEST", "LATEST"};

}  // namespace velmor_glue
