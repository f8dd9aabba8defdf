#include "backends/postgres/columns.hpp"

#include <bit>
#include <charconv>
#include <cmath>
#include <limits>
#include <string>

#include "backends/postgres/type_oids.hpp"
#include "velmor_utils/errors.hpp"

namespace velmor_models::backends::postgres {
namespace {

using velmor_utils::errors::ValueError;

[[noreturn]] void malformed(std::uint32_t type, std::string_view bytes) {
  throw ValueError("PostgreSQL sent '" + std::string(bytes.substr(0, 40)) +
                   "' as a value of type " + std::to_string(type));
}

std::uint64_t big_endian(std::string_view bytes) {
  std::uint64_t u = 0;
  for (char c : bytes) u = (u << 8) | static_cast<unsigned char>(c);
  return u;
}

driver::Value binary_value(std::uint32_t type, std::string_view bytes) {
  switch (type) {
    case type_oid::boolean:
      if (bytes.size() != 1) malformed(type, bytes);
      return std::int64_t{bytes[0] != 0};
    case type_oid::int2:
      if (bytes.size() != 2) malformed(type, bytes);
      return std::int64_t{static_cast<std::int16_t>(big_endian(bytes))};
    case type_oid::int4:
      if (bytes.size() != 4) malformed(type, bytes);
      return std::int64_t{static_cast<std::int32_t>(big_endian(bytes))};
    case type_oid::oid:
      if (bytes.size() != 4) malformed(type, bytes);
      return static_cast<std::int64_t>(big_endian(bytes));
    case type_oid::int8:
      if (bytes.size() != 8) malformed(type, bytes);
      return static_cast<std::int64_t>(big_endian(bytes));
    case type_oid::float4:
      if (bytes.size() != 4) malformed(type, bytes);
      return double{std::bit_cast<float>(static_cast<std::uint32_t>(big_endian(bytes)))};
    case type_oid::float8:
      if (bytes.size() != 8) malformed(type, bytes);
      return std::bit_cast<double>(big_endian(bytes));
    case type_oid::bytea:
      return driver::Blob{std::string(bytes)};
    case type_oid::jsonb:
      // A version byte (1), then the JSON text.
      if (bytes.empty() || bytes[0] != 1) malformed(type, bytes);
      return std::string(bytes.substr(1));
    default:  // text, varchar, bpchar, name, json, unknown: their text
      return std::string(bytes);
  }
}

template <class T>
T parsed(std::uint32_t type, std::string_view text) {
  T v{};
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size()) malformed(type, text);
  return v;
}

double real(std::uint32_t type, std::string_view text) {
  // PostgreSQL's spellings of the values that are no number.
  if (text == "NaN") return std::numeric_limits<double>::quiet_NaN();
  if (text == "Infinity") return std::numeric_limits<double>::infinity();
  if (text == "-Infinity") return -std::numeric_limits<double>::infinity();
  return parsed<double>(type, text);
}

int hex(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// bytea's text output: "\x" and hex digits, or (bytea_output = escape) bytes with
// backslashes before octal triples and doubled backslashes.
driver::Blob bytea_text(std::string_view text) {
  std::string out;
  if (text.starts_with("\\x")) {
    if (text.size() % 2) malformed(type_oid::bytea, text);
    out.reserve(text.size() / 2 - 1);
    for (std::size_t i = 2; i < text.size(); i += 2) {
      const int hi = hex(text[i]);
      const int lo = hex(text[i + 1]);
      if (hi < 0 || lo < 0) malformed(type_oid::bytea, text);
      out.push_back(static_cast<char>(hi * 16 + lo));
    }
    return {std::move(out)};
  }
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out.push_back(text[i]);
    } else if (i + 1 < text.size() && text[i + 1] == '\\') {
      out.push_back('\\');
      ++i;
    } else if (i + 3 < text.size() && text[i + 1] >= '0' && text[i + 1] <= '3' &&
               text[i + 2] >= '0' && text[i + 2] <= '7' && text[i + 3] >= '0' &&
               text[i + 3] <= '7') {
      out.push_back(static_cast<char>(((text[i + 1] - '0') << 6) | ((text[i + 2] - '0') << 3) |
                                      (text[i + 3] - '0')));
      i += 3;
    } else {
      malformed(type_oid::bytea, text);
    }
  }
  return {std::move(out)};
}

driver::Value text_value(std::uint32_t type, std::string_view text) {
  switch (type) {
    case type_oid::boolean:
      if (text == "t") return std::int64_t{1};
      if (text == "f") return std::int64_t{0};
      malformed(type, text);
    case type_oid::int2:
    case type_oid::int4:
    case type_oid::int8:
    case type_oid::oid:
      return parsed<std::int64_t>(type, text);
    case type_oid::float4:
    case type_oid::float8:
      return real(type, text);
    case type_oid::bytea:
      return bytea_text(text);
    default:
      return std::string(text);
  }
}

}  // namespace

driver::Value numeric_value(std::string_view text) {
  std::int64_t n = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
  if (ec == std::errc() && end == text.data() + text.size()) return n;
  return real(type_oid::numeric, text);
}

driver::Value decode_column(std::uint32_t type, bool binary, std::string_view bytes) {
  return binary ? binary_value(type, bytes) : text_value(type, bytes);
}

bool reads_binary(std::span<const std::uint32_t> types) noexcept {
  for (std::uint32_t t : types) {
    switch (t) {
      case type_oid::boolean:
      case type_oid::int2:
      case type_oid::int4:
      case type_oid::int8:
      case type_oid::oid:
      case type_oid::float4:
      case type_oid::float8:
      case type_oid::bytea:
      case type_oid::jsonb:
      case type_oid::text:
      case type_oid::varchar:
      case type_oid::bpchar:
      case type_oid::name:
      case type_oid::json:
      case type_oid::unknown:
        break;
      default:
        return false;
    }
  }
  return true;
}

}  // namespace velmor_models::backends::postgres
