#pragma once
// The values a driver binds to statements and reads from rows.

#include <boost/json/value.hpp>
#include <cstdint>
#include <string>
#include <variant>

namespace velmor_models::backends::driver {

/// The bytes of a BLOB (bytea), kept apart from text.
struct Blob {
  std::string bytes;
  friend bool operator==(const Blob&, const Blob&) = default;
};

/// One SQL value: NULL, an integer, a real, text or bytes.
using Value = std::variant<std::monostate, std::int64_t, double, std::string, Blob>;

/// A JSON value as a bound value: null, booleans as 0 and 1, numbers, text, and arrays and
/// objects as their compact JSON text. ValueError for an integer beyond 64 bits.
Value from_json(const boost::json::value& v);

/// The integer a read value holds; ValueError naming `what` when it holds none.
std::int64_t integer_of(const Value& v, std::string_view what);
/// The text a read value holds; ValueError naming `what` when it holds none.
const std::string& text_of(const Value& v, std::string_view what);

}  // namespace velmor_models::backends::driver
