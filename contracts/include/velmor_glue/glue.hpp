#pragma once
// Stored records and version markers of the storage layer.

#include <boost/json/object.hpp>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "velmor_utils/text_enum.hpp"

namespace velmor_glue {

struct Data;

/// The objects that select_related() loaded for one record: for each reference field it
/// named, the record the field refers to, or null (no reference, or no such object). One
/// record per related object, shared by every record that refers to it and never changed
/// once delivered.
using RelatedRecords = std::vector<std::pair<std::string, std::shared_ptr<const Data>>>;

/// One stored record as an executor returns it: the object's field values (among them
/// the reserved entry `_metadata`), the record's storage metadata and its related records.
struct Data {
  std::optional<boost::json::object> data;
  std::optional<boost::json::object> metadata;
  RelatedRecords related = {};
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
