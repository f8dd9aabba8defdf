#pragma once
// How the host runtime reads dynamic values: truth value and kind names.

#include <boost/json/value.hpp>
#include <string_view>

namespace velmor_utils::values {

/// Truth value of a dynamic value: null, false, numeric zero, the empty text and empty
/// lists or mappings are false; everything else is true.
bool truth(const boost::json::value& v) noexcept;

/// The kind of a dynamic value in words ("null", "a boolean", "an integer", "a
/// floating-point number", "text", "a list", "a mapping"), for error messages.
std::string_view kind_name(const boost::json::value& v) noexcept;

}  // namespace velmor_utils::values
