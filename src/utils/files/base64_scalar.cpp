// Portable kernel: plain C++ without intrinsics, so it runs everywhere and is the fallback.

#include <algorithm>
#include <array>
#include <cstring>

#include "utils/files/base64_kernels.hpp"

namespace velmor_models::utils::files::base64::kernels {
namespace {

// Two output characters per 12 input bits halves the lookups of the encoder.
constexpr std::array<std::array<char, 2>, 4096> kPairTable = [] {
  std::array<std::array<char, 2>, 4096> table{};
  for (std::size_t i = 0; i < table.size(); ++i) {
    table[i] = {kAlphabet[i >> 6], kAlphabet[i & 63]};
  }
  return table;
}();

// The decoder ORs four pre-shifted values; an invalid character sets bits above the 24 data
// bits, so one test per block finds any of them.
constexpr std::uint32_t kInvalidBits = 0xFF000000u;

constexpr std::array<std::uint32_t, 256> make_shifted_table(unsigned shift) {
  std::array<std::uint32_t, 256> table{};
  for (std::size_t c = 0; c < table.size(); ++c) {
    table[c] = kDecodeTable[c] == kInvalid ? kInvalidBits
                                           : static_cast<std::uint32_t>(kDecodeTable[c]) << shift;
  }
  return table;
}
constexpr auto kDecode0 = make_shifted_table(18);
constexpr auto kDecode1 = make_shifted_table(12);
constexpr auto kDecode2 = make_shifted_table(6);
constexpr auto kDecode3 = make_shifted_table(0);

// Blocks between early-exit tests: large enough to keep the loops tight, small enough that a
// bad payload is rejected after a few KiB rather than after a full pass.
constexpr std::size_t kBlock = 4096;

// Membership of eight bytes at once by arithmetic on a 64-bit word (a byte table would cost a
// dependent load per byte, and GCC turns such a loop into emulated gathers). Works per byte
// on the low seven bits, where adding at most 0x80 cannot carry into the next byte; bytes with
// the high bit set are never in the alphabet. Bit 7 of each byte of the result is set for a
// character outside the alphabet.
constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
constexpr std::uint64_t kHigh = kOnes * 0x80;

constexpr std::uint64_t in_range(std::uint64_t x, std::uint8_t lo, std::uint8_t hi) {
  // x + (0x80 - lo) has bit 7 iff x >= lo; x + (0x7F - hi) has it iff x > hi.
  return (x + kOnes * (0x80u - lo)) & ~(x + kOnes * (0x7Fu - hi)) & kHigh;
}

constexpr std::uint64_t invalid_lanes(std::uint64_t w) {
  const std::uint64_t x = w & ~kHigh;
  const std::uint64_t letters = in_range(x | kOnes * 0x20, 'a', 'z');  // folds A-Z onto a-z
  const std::uint64_t digits = in_range(x, '0', '9');
  const std::uint64_t y = (x | kOnes * 0x04) ^ (kOnes * '/');  // zero exactly for '+' and '/'
  const std::uint64_t plus_slash = ~(y + kOnes * 0x7F) & kHigh;
  return (w | ~(letters | digits | plus_slash)) & kHigh;
}

// Every byte value in every lane, next to neighbours that are valid ('A'), just outside the
// alphabet's ranges ('@', '{') or have the high bit set (0xFF), where a carry would show.
constexpr bool swar_agrees_with_table() {
  for (unsigned c = 0; c < 256; ++c) {
    for (unsigned lane = 0; lane < 8; ++lane) {
      const std::uint64_t mask = 0xFFULL << 8 * lane;
      const std::uint64_t expect =
          in_alphabet(static_cast<std::uint8_t>(c)) ? 0 : 0x80ULL << 8 * lane;
      for (std::uint64_t neighbour : {0x41u, 0x40u, 0x7Bu, 0xFFu}) {  // 'A' '@' '{'
        const std::uint64_t w = (kOnes * neighbour & ~mask) | std::uint64_t{c} << 8 * lane;
        if ((invalid_lanes(w) & mask) != expect) return false;
      }
    }
  }
  return true;
}
static_assert(swar_agrees_with_table(), "word-wise membership test disagrees with the alphabet");

inline void encode_group(const std::uint8_t* in, char* out) {
  const std::uint32_t v = (std::uint32_t{in[0]} << 16) | (std::uint32_t{in[1]} << 8) | in[2];
  std::memcpy(out, kPairTable[v >> 12].data(), 2);
  std::memcpy(out + 2, kPairTable[v & 0xFFF].data(), 2);
}

}  // namespace

bool scalar_all_in_alphabet(const std::byte* in, std::size_t n) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(in);
  while (n >= 8) {
    const std::size_t m = std::min(n, kBlock) / 8 * 8;
    std::uint64_t bad = 0;
    for (std::size_t i = 0; i < m; i += 8) {
      std::uint64_t w;
      std::memcpy(&w, p + i, 8);
      bad |= invalid_lanes(w);
    }
    if (bad != 0) return false;
    p += m;
    n -= m;
  }
  for (std::size_t i = 0; i < n; ++i) {
    if (!in_alphabet(p[i])) return false;
  }
  return true;
}

void scalar_encode_groups(const std::byte* in, std::size_t n, std::byte* out) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(in);
  auto* o = reinterpret_cast<char*>(out);
  std::size_t i = 0;
  for (; i + 6 <= n; i += 6, o += 8) {
    encode_group(p + i, o);
    encode_group(p + i + 3, o + 4);
  }
  for (; i < n; i += 3, o += 4) encode_group(p + i, o);
}

bool scalar_decode_groups(const std::byte* in, std::size_t n, std::byte* out) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(in);
  auto* o = reinterpret_cast<std::uint8_t*>(out);
  while (n > 0) {
    const std::size_t m = std::min(n, kBlock);
    std::uint32_t err = 0;
    for (std::size_t i = 0; i < m; i += 4, o += 3) {
      const std::uint32_t v =
          kDecode0[p[i]] | kDecode1[p[i + 1]] | kDecode2[p[i + 2]] | kDecode3[p[i + 3]];
      err |= v;
      o[0] = static_cast<std::uint8_t>(v >> 16);
      o[1] = static_cast<std::uint8_t>(v >> 8);
      o[2] = static_cast<std::uint8_t>(v);
    }
    if ((err & kInvalidBits) != 0) return false;
    p += m;
    n -= m;
  }
  return true;
}

const KernelTable kScalarKernel = {"scalar", scalar_all_in_alphabet, scalar_encode_groups,
                                   scalar_decode_groups};

}  // namespace velmor_models::utils::files::base64::kernels
