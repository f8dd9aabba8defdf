#pragma once
// Database aliases.

#include <string_view>

namespace velmor_data::aliases::using_ {

inline constexpr std::string_view DEFAULT_DB_ALIAS = "default";
inline constexpr std::string_view LAKEHOUSE_DB_ALIAS = "lakehouse";

}  // namespace velmor_data::aliases::using_
