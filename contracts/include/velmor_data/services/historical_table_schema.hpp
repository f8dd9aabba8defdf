#pragma once
// Keys of the historical table schema service.

#include <string_view>

namespace velmor_data::services::historical_table_schema {

/// Key of a record's metadata that lists the class versions the record is compatible with.
inline constexpr std::string_view COMPATIBLE_CLASS_VERSIONS = "compatible_class_versions";

}  // namespace velmor_data::services::historical_table_schema
