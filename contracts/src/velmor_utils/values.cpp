#include "velmor_utils/values.hpp"

namespace velmor_utils::values {

bool truth(const boost::json::value& v) noexcept {
  switch (v.kind()) {
    case boost::json::kind::null: return false;
    case boost::json::kind::bool_: return v.get_bool();
    case boost::json::kind::int64: return v.get_int64() != 0;
    case boost::json::kind::uint64: return v.get_uint64() != 0;
    case boost::json::kind::double_: return v.get_double() != 0.0;
    case boost::json::kind::string: return !v.get_string().empty();
    case boost::json::kind::array: return !v.get_array().empty();
    case boost::json::kind::object: return !v.get_object().empty();
  }
  return false;
}

std::string_view kind_name(const boost::json::value& v) noexcept {
  switch (v.kind()) {
    case boost::json::kind::null: return "null";
    case boost::json::kind::bool_: return "a boolean";
    case boost::json::kind::int64:
    case boost::json::kind::uint64: return "an integer";
    case boost::json::kind::double_: return "a floating-point number";
    case boost::json::kind::string: return "text";
    case boost::json::kind::array: return "a list";
    case boost::json::kind::object: return "a mapping";
  }
  return "a value";
}

}  // namespace velmor_utils::values
