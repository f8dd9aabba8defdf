// The base64 codec and convert_data_to_base64, every kernel the CPU has, against a plain
// bit-by-bit reference encoder and decoder written here.
//
// Input: one mode byte, then the payload. Mode 0 takes the payload as it is; mode 1 maps it
// into the alphabet (with some '=' and foreign bytes), so that the vector kernels see long
// near-base64 texts; mode 2 encodes it first and then flips one character.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.hpp"
#include "velmor_models/utils/files.hpp"

namespace {

using namespace velmor_models::utils::files;
using base64::Kernel;

constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string ref_encode(std::string_view data) {
  std::string out;
  std::size_t bits = 0;
  unsigned acc = 0;
  for (unsigned char c : data) {
    acc = ((acc << 8) | c) & 0xFFFF;
    bits += 8;
    while (bits >= 6) {
      bits -= 6;
      out += kAlphabet[(acc >> bits) & 63];
    }
  }
  if (bits > 0) out += kAlphabet[(acc << (6 - bits)) & 63];
  while (out.size() % 4 != 0) out += '=';
  return out;
}

// Validating decode: length a multiple of four, alphabet only, at most two '=' at the end.
// Unused trailing bits are ignored.
std::optional<std::string> ref_decode(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::size_t pad = 0;
  while (pad < 2 && pad < text.size() && text[text.size() - 1 - pad] == '=') ++pad;
  std::string out;
  unsigned acc = 0;
  std::size_t bits = 0;
  for (std::size_t i = 0; i < text.size() - pad; ++i) {
    const auto v = kAlphabet.find(text[i]);
    if (v == std::string_view::npos) return std::nullopt;
    acc = ((acc << 6) | static_cast<unsigned>(v)) & 0xFFFF;
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>((acc >> bits) & 0xFF);
    }
  }
  return out;
}

bool ref_canonical(std::string_view text) {
  const auto decoded = ref_decode(text);
  return decoded && ref_encode(*decoded) == text;
}

// Well-formed UTF-8, decoded code point by code point.
bool ref_utf8(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    std::size_t len = c < 0x80         ? 1
                      : (c >> 5) == 6  ? 2
                      : (c >> 4) == 14 ? 3
                      : (c >> 3) == 30 ? 4
                                       : 0;
    if (len == 0 || i + len > s.size()) return false;
    std::uint32_t cp = len == 1 ? c : len == 2 ? (c & 0x1F) : len == 3 ? (c & 0x0F) : (c & 0x07);
    for (std::size_t j = 1; j < len; ++j) {
      const auto d = static_cast<unsigned char>(s[i + j]);
      if ((d & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (d & 0x3F);
    }
    const std::uint32_t min[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < min[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += len;
  }
  return true;
}

std::string shown(std::string_view s) {
  std::string out;
  for (unsigned char c : s.substr(0, 64)) {
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      static constexpr char hex[] = "0123456789abcdef";
      out += "\\x";
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return s.size() > 64 ? out + "..." : out;
}

std::string payload_of(velmor_fuzz::Bytes& in) {
  const unsigned mode = in.byte() % 3;
  std::string raw = in.rest();
  if (mode == 1) {
    for (char& c : raw) {
      const auto b = static_cast<unsigned char>(c);
      c = b >= 0xF8 ? '=' : b >= 0xF4 ? static_cast<char>(b & 0x7F) : kAlphabet[b & 63];
    }
  } else if (mode == 2 && !raw.empty()) {
    const auto where = static_cast<unsigned char>(raw[0]);
    const auto what = raw.size() > 1 ? raw[1] : '\n';
    raw = ref_encode(raw.substr(2 % (raw.size() + 1)));
    if (!raw.empty() && where < 0xC0) raw[where * raw.size() / 0xC0] = what;
  }
  return raw;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  velmor_fuzz::Bytes in(data, size);
  const std::string payload = payload_of(in);
  const Bytes exact(payload);  // exact-size heap copy
  const std::string encoded = ref_encode(payload);
  const std::optional<std::string> decoded = ref_decode(payload);
  const bool canonical = ref_canonical(payload);

  for (Kernel k : {Kernel::kScalar, Kernel::kAvx2, Kernel::kAvx512}) {
    if (!base64::kernel_available(k)) continue;
    const std::string name(base64::kernel_name(k));
    FUZZ_CHECK(base64::encode(exact.span(), k).chars() == encoded,
               name + " encode of " + shown(payload));
    std::optional<std::string> got;
    try {
      got = std::string(base64::decode(exact.span(), k).chars());
    } catch (const Base64DecodeError&) {
    }
    FUZZ_CHECK(got == decoded, name + " decode of " + shown(payload));
    FUZZ_CHECK(base64::is_canonical_base64(exact.span(), k) == canonical,
               name + " canonical test of " + shown(payload));
  }

  // Bytes: canonical base64 comes back unchanged, anything else is encoded; idempotent.
  const Bytes converted = convert_data_to_base64(exact);
  FUZZ_CHECK(converted.chars() == (canonical ? payload : encoded), "Bytes " + shown(payload));
  FUZZ_CHECK(convert_data_to_base64(converted) == converted, "idempotence " + shown(payload));
  FUZZ_CHECK(convert_data_to_base64(Bytes(payload)) == converted, "moved Bytes " + shown(payload));
  if (!canonical) {
    const auto back = ref_decode(converted.chars());
    FUZZ_CHECK(back && *back == payload, "round trip " + shown(payload));
  }

  // Text: the same, after a strict UTF-8 check on the path that encodes.
  std::optional<std::string> text_result;
  try {
    text_result = std::string(convert_data_to_base64(std::string_view(payload)).chars());
  } catch (const UnicodeEncodeError&) {
  }
  const bool text_ok = canonical || ref_utf8(payload);
  FUZZ_CHECK(text_result.has_value() == text_ok, "text accepted " + shown(payload));
  if (text_result) FUZZ_CHECK(*text_result == converted.chars(), "text " + shown(payload));

  // Another byte buffer: canonical base64 cannot come back as Bytes (TypeError).
  const std::vector<unsigned char> buffer(payload.begin(), payload.end());
  std::optional<std::string> buffer_result;
  try {
    buffer_result = std::string(convert_data_to_base64(buffer).chars());
  } catch (const velmor_utils::errors::TypeError&) {
  }
  FUZZ_CHECK(buffer_result.has_value() == !canonical, "buffer accepted " + shown(payload));
  if (buffer_result) FUZZ_CHECK(*buffer_result == encoded, "buffer " + shown(payload));
  return 0;
}
