#include "velmor_models/detail/unicode.hpp"

#include <algorithm>
#include <cstdint>
#include <span>

namespace velmor_models::detail {
namespace {

// A run of code points sharing one offset to their mapping: every code point from
// `first` to `last`, or every other one when `stride` is 2.
struct CaseRun {
  char32_t first;
  char32_t last;
  std::int32_t delta;
  std::uint8_t stride;
};

// A code point whose mapping is more than one code point.
struct CaseExpansion {
  char32_t code_point;
  std::uint8_t size;
  char32_t out[3];
};

#include "unicode/case_tables.inc"

// Decodes one well-formed UTF-8 sequence at the start of `s`; returns its length, or 0
// when the leading bytes are not well-formed (Unicode table 3-7).
std::size_t decode(std::string_view s, char32_t& cp) {
  auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  unsigned char b0 = byte(0);
  if (b0 < 0x80) {
    cp = b0;
    return 1;
  }
  std::size_t len;
  unsigned char lo = 0x80, hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2;
    cp = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3;
    cp = b0 & 0x0F;
    if (b0 == 0xE0) lo = 0xA0;  // overlong
    if (b0 == 0xED) hi = 0x9F;  // surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4;
    cp = b0 & 0x07;
    if (b0 == 0xF0) lo = 0x90;  // overlong
    if (b0 == 0xF4) hi = 0x8F;  // above U+10FFFF
  } else {
    return 0;
  }
  if (s.size() < len) return 0;
  for (std::size_t i = 1; i < len; ++i) {
    unsigned char b = byte(i);
    if (b < (i == 1 ? lo : 0x80) || b > (i == 1 ? hi : 0xBF)) return 0;
    cp = (cp << 6) | (b & 0x3F);
  }
  return len;
}

void map_code_point(char32_t cp, std::span<const CaseRun> runs,
                    std::span<const CaseExpansion> expansions, std::string& out) {
  auto exp = std::lower_bound(expansions.begin(), expansions.end(), cp,
                              [](const CaseExpansion& e, char32_t c) { return e.code_point < c; });
  if (exp != expansions.end() && exp->code_point == cp) {
    for (std::size_t i = 0; i < exp->size; ++i) append_utf8(out, exp->out[i]);
    return;
  }
  // The last run starting at or before cp is the only one that can contain it.
  auto run = std::upper_bound(runs.begin(), runs.end(), cp,
                              [](char32_t c, const CaseRun& r) { return c < r.first; });
  if (run != runs.begin()) {
    --run;
    if (cp <= run->last && (cp - run->first) % run->stride == 0) {
      append_utf8(out, static_cast<char32_t>(static_cast<std::int32_t>(cp) + run->delta));
      return;
    }
  }
  append_utf8(out, cp);
}

std::string convert(std::string_view text, std::span<const CaseRun> runs,
                    std::span<const CaseExpansion> expansions) {
  std::string out;
  out.reserve(text.size());
  while (!text.empty()) {
    char32_t cp = 0;
    std::size_t len = decode(text, cp);
    if (len == 0) {
      out += text.front();
      text.remove_prefix(1);
      continue;
    }
    map_code_point(cp, runs, expansions, out);
    text.remove_prefix(len);
  }
  return out;
}

}  // namespace

std::string unicode_upper(std::string_view text) {
  return convert(text, kUpperRuns, kUpperExpansions);
}

std::string unicode_lower(std::string_view text) {
  return convert(text, kLowerRuns, kLowerExpansions);
}

bool valid_utf8(std::string_view text) noexcept {
  while (!text.empty()) {
    char32_t cp = 0;
    std::size_t len = decode(text, cp);
    if (len == 0) return false;
    text.remove_prefix(len);
  }
  return true;
}

std::string casefold(std::string_view text) {
  return convert(text, kFoldRuns, kFoldExpansions);
}

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

}  // namespace velmor_models::detail
