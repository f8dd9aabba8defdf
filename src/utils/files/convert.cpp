// convert_data_to_base64 for each payload kind, and the strict UTF-8 check of text payloads.

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "velmor_models/utils/files.hpp"

namespace velmor_models::utils::files {
namespace {

[[noreturn]] void throw_not_utf8(std::uint8_t byte, std::size_t offset, const char* why) {
  char hex[8];
  std::snprintf(hex, sizeof hex, "0x%02X", byte);
  throw UnicodeEncodeError("text is not valid UTF-8: byte " + std::string(hex) + " at offset " +
                           std::to_string(offset) + " " + why);
}

// Well-formed UTF-8 as Unicode defines it: no overlong forms, no surrogates, nothing above
// U+10FFFF.
void check_utf8(std::string_view text) {
  const auto* s = reinterpret_cast<const std::uint8_t*>(text.data());
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    // ASCII runs are the common case; test sixteen bytes at a time.
    if (n - i >= 16) {
      std::uint64_t a;
      std::uint64_t b;
      std::memcpy(&a, s + i, 8);
      std::memcpy(&b, s + i + 8, 8);
      if (((a | b) & 0x8080808080808080ULL) == 0) {
        i += 16;
        continue;
      }
    }
    const std::uint8_t c = s[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t len = 0;
    std::uint8_t second_lo = 0x80;
    std::uint8_t second_hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      if (c == 0xE0) second_lo = 0xA0;  // overlong
      if (c == 0xED) second_hi = 0x9F;  // surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      if (c == 0xF0) second_lo = 0x90;  // overlong
      if (c == 0xF4) second_hi = 0x8F;  // above U+10FFFF
    } else {
      throw_not_utf8(c, i, "cannot start a character");
    }
    if (n - i < len) throw_not_utf8(c, i, "starts a truncated character");
    if (s[i + 1] < second_lo || s[i + 1] > second_hi) {
      throw_not_utf8(s[i + 1], i + 1, "is not a valid continuation");
    }
    for (std::size_t j = 2; j < len; ++j) {
      if ((s[i + j] & 0xC0) != 0x80) throw_not_utf8(s[i + j], i + j, "is not a continuation");
    }
    i += len;
  }
}

}  // namespace

namespace detail {

Bytes convert_text(std::string_view utf8) {
  const auto bytes = as_byte_span(utf8);
  // Canonical base64 is pure ASCII and therefore valid UTF-8, so the UTF-8 check is only
  // needed (and only paid for) on the path that encodes.
  if (base64::is_canonical_base64(bytes)) return Bytes(bytes);
  check_utf8(utf8);
  return base64::encode(bytes);
}

Bytes convert_byte_buffer(std::span<const std::byte> data, std::string_view kind) {
  if (base64::is_canonical_base64(data)) {
    throw velmor_utils::errors::TypeError(
        "convert_data_to_base64: the payload is " + std::string(kind) +
        " that already holds base64, but the result must be a plain byte string (Bytes); "
        "pass the payload as Bytes to have it returned unchanged");
  }
  return base64::encode(data);
}

}  // namespace detail

Bytes convert_data_to_base64(const Bytes& data) {
  if (base64::is_canonical_base64(data.span())) return data;
  return base64::encode(data.span());
}

Bytes convert_data_to_base64(Bytes&& data) {
  if (base64::is_canonical_base64(data.span())) return std::move(data);
  return base64::encode(data.span());
}

}  // namespace velmor_models::utils::files
