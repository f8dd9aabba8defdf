#include "velmor_models/backends/driver/value.hpp"

#include <boost/json/serialize.hpp>
#include <limits>

#include "velmor_utils/errors.hpp"

namespace velmor_models::backends::driver {

Value from_json(const boost::json::value& v) {
  switch (v.kind()) {
    case boost::json::kind::null:
      return std::monostate{};
    case boost::json::kind::bool_:
      return std::int64_t{v.get_bool() ? 1 : 0};
    case boost::json::kind::int64:
      return v.get_int64();
    case boost::json::kind::uint64:
      if (v.get_uint64() > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
        throw velmor_utils::errors::ValueError("the integer " + std::to_string(v.get_uint64()) +
                                               " does not fit in a 64-bit signed integer");
      return static_cast<std::int64_t>(v.get_uint64());
    case boost::json::kind::double_:
      return v.get_double();
    case boost::json::kind::string:
      return std::string(v.get_string());
    default:
      return boost::json::serialize(v);
  }
}

std::int64_t integer_of(const Value& v, std::string_view what) {
  if (const auto* n = std::get_if<std::int64_t>(&v)) return *n;
  throw velmor_utils::errors::ValueError(std::string(what) + " is not an integer");
}

const std::string& text_of(const Value& v, std::string_view what) {
  if (const auto* s = std::get_if<std::string>(&v)) return *s;
  throw velmor_utils::errors::ValueError(std::string(what) + " is not text");
}

}  // namespace velmor_models::backends::driver
