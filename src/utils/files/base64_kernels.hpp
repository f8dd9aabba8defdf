#pragma once
// The codec's inner loops. Each kernel works on whole groups only (3 bytes <-> 4 characters,
// no padding); base64.cpp handles the last, possibly padded, group and picks the kernel.

#include <array>
#include <cstddef>
#include <cstdint>

namespace velmor_models::utils::files::base64::kernels {

inline constexpr std::array<char, 64> kAlphabet = {
    'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J', 'K', 'L', 'M', 'N', 'O', 'P',
    'Q', 'R', 'S', 'T', 'U', 'V', 'W', 'X', 'Y', 'Z', 'a', 'b', 'c', 'd', 'e', 'f',
    'g', 'h', 'i', 'j', 'k', 'l', 'm', 'n', 'o', 'p', 'q', 'r', 's', 't', 'u', 'v',
    'w', 'x', 'y', 'z', '0', '1', '2', '3', '4', '5', '6', '7', '8', '9', '+', '/'};

inline constexpr std::uint8_t kInvalid = 0x80;

/// Character -> 6-bit value, kInvalid for bytes outside the alphabet.
inline constexpr std::array<std::uint8_t, 256> kDecodeTable = [] {
  std::array<std::uint8_t, 256> table{};
  table.fill(kInvalid);
  for (std::size_t v = 0; v < kAlphabet.size(); ++v) {
    table[static_cast<unsigned char>(kAlphabet[v])] = static_cast<std::uint8_t>(v);
  }
  return table;
}();

[[nodiscard]] constexpr bool in_alphabet(std::uint8_t c) noexcept {
  return kDecodeTable[c] != kInvalid;
}

struct KernelTable {
  const char* name;
  /// True when every byte of [in, in + n) is one of the 64 alphabet characters.
  bool (*all_in_alphabet)(const std::byte* in, std::size_t n);
  /// Encodes n bytes, n a multiple of 3, into n / 3 * 4 characters.
  void (*encode_groups)(const std::byte* in, std::size_t n, std::byte* out);
  /// Decodes n characters, n a multiple of 4, into n / 4 * 3 bytes. Returns false when some
  /// character is outside the alphabet ('=' included); `out` then holds garbage.
  bool (*decode_groups)(const std::byte* in, std::size_t n, std::byte* out);
};

extern const KernelTable kScalarKernel;
#if defined(__x86_64__)
extern const KernelTable kAvx2Kernel;
extern const KernelTable kAvx512Kernel;
#endif

// Scalar pieces, also used by the vector kernels for their short tails.
bool scalar_all_in_alphabet(const std::byte* in, std::size_t n);
void scalar_encode_groups(const std::byte* in, std::size_t n, std::byte* out);
bool scalar_decode_groups(const std::byte* in, std::size_t n, std::byte* out);

}  // namespace velmor_models::utils::files::base64::kernels
