// AVX2 kernel. Functions carry target attributes instead of the file being built with -mavx2,
// so no inline function shared with other files can be emitted with AVX2 instructions and
// picked by the linker for a CPU without them.

#include "utils/files/base64_kernels.hpp"

#if defined(__x86_64__)
#include <immintrin.h>

#include <algorithm>

#define VELMOR_AVX2 __attribute__((target("avx2")))

namespace velmor_models::utils::files::base64::kernels {
namespace {

// Membership test from the two nibbles of a byte: hi_class maps the high nibble to one bit
// (all of 0x0_, 0x1_ and 0x8_..0xF_ share bit 0, none of them holds an alphabet character),
// lo_invalid maps the low nibble to the classes in which that low nibble is not in the
// alphabet. A byte is invalid exactly when the two share a bit.
constexpr std::uint8_t hi_class(unsigned hi) {
  return hi >= 2 && hi <= 7 ? 1u << (hi - 1) : 1u;
}

struct NibbleTables {
  std::array<std::uint8_t, 16> hi_class;
  std::array<std::uint8_t, 16> lo_invalid;
  std::array<std::int8_t, 16> shift;   // value = char + shift[high nibble, minus one for '/']
  std::array<std::int8_t, 16> offset;  // char = value + offset[class of value]
};

constexpr unsigned value_class(unsigned v) {
  return v < 26 ? 13 : (v > 51 ? v - 51 : 0);
}

constexpr NibbleTables kTables = [] {
  NibbleTables t{};
  for (unsigned hi = 0; hi < 16; ++hi) t.hi_class[hi] = hi_class(hi);
  for (unsigned lo = 0; lo < 16; ++lo) {
    std::uint8_t bits = 1;
    for (unsigned hi = 2; hi <= 7; ++hi) {
      if (!in_alphabet(static_cast<std::uint8_t>(hi << 4 | lo))) bits |= hi_class(hi);
    }
    t.lo_invalid[lo] = bits;
  }
  for (unsigned v = 0; v < 64; ++v) {
    const auto c = static_cast<unsigned char>(kAlphabet[v]);
    t.shift[(c >> 4) - (c == '/' ? 1 : 0)] = static_cast<std::int8_t>(int(v) - int(c));
    t.offset[value_class(v)] = static_cast<std::int8_t>(int(c) - int(v));
  }
  return t;
}();

constexpr bool tables_agree() {
  for (unsigned c = 0; c < 256; ++c) {
    const bool flagged = (kTables.lo_invalid[c & 15] & kTables.hi_class[c >> 4]) != 0;
    if (flagged == in_alphabet(static_cast<std::uint8_t>(c))) return false;
  }
  for (unsigned v = 0; v < 64; ++v) {
    const auto c = static_cast<unsigned char>(kAlphabet[v]);
    if (((c + kTables.shift[(c >> 4) - (c == '/' ? 1 : 0)]) & 0xFF) != v) return false;
    if (((v + kTables.offset[value_class(v)]) & 0xFF) != c) return false;
  }
  return true;
}
static_assert(tables_agree(), "nibble tables disagree with the alphabet");

VELMOR_AVX2 inline __m256i broadcast(const void* table16) {
  return _mm256_broadcastsi128_si256(_mm_loadu_si128(static_cast<const __m128i*>(table16)));
}

VELMOR_AVX2 inline __m256i load32(const std::uint8_t* p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

struct Classifier {
  __m256i lo_invalid, hi_class, nibble;

  VELMOR_AVX2 Classifier()
      : lo_invalid(broadcast(kTables.lo_invalid.data())),
        hi_class(broadcast(kTables.hi_class.data())),
        nibble(_mm256_set1_epi8(0x0F)) {}

  // Non-zero bytes mark characters outside the alphabet.
  VELMOR_AVX2 __m256i invalid(__m256i x, __m256i& hi) const {
    hi = _mm256_and_si256(_mm256_srli_epi16(x, 4), nibble);
    const __m256i lo = _mm256_and_si256(x, nibble);
    return _mm256_and_si256(_mm256_shuffle_epi8(lo_invalid, lo), _mm256_shuffle_epi8(hi_class, hi));
  }
  VELMOR_AVX2 __m256i invalid(__m256i x) const {
    __m256i hi;
    return invalid(x, hi);
  }
};

constexpr std::size_t kBlock = 4096;

VELMOR_AVX2 bool avx2_all_in_alphabet(const std::byte* in, std::size_t n) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(in);
  const Classifier cls;
  std::size_t i = 0;
  while (n - i >= 128) {
    const std::size_t end = i + std::min(kBlock, (n - i) / 128 * 128);
    __m256i acc = _mm256_setzero_si256();
    for (; i < end; i += 128) {
      const __m256i a =
          _mm256_or_si256(cls.invalid(load32(p + i)), cls.invalid(load32(p + i + 32)));
      const __m256i b =
          _mm256_or_si256(cls.invalid(load32(p + i + 64)), cls.invalid(load32(p + i + 96)));
      acc = _mm256_or_si256(acc, _mm256_or_si256(a, b));
    }
    if (!_mm256_testz_si256(acc, acc)) return false;
  }
  for (; n - i >= 32; i += 32) {
    const __m256i bad = cls.invalid(load32(p + i));
    if (!_mm256_testz_si256(bad, bad)) return false;
  }
  return scalar_all_in_alphabet(in + i, n - i);
}

VELMOR_AVX2 void avx2_encode_groups(const std::byte* in, std::size_t n, std::byte* out) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(in);
  auto* o = reinterpret_cast<std::uint8_t*>(out);
  // Each 128-bit lane takes 12 input bytes; per group (a, b, c) the 32-bit lane becomes
  // b | a << 8 | c << 16 | b << 24, from which the four 6-bit fields are cut by multiplies.
  const __m256i spread = _mm256_setr_epi8(1, 0, 2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10, 1, 0,
                                          2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10);
  const __m256i mask_ac = _mm256_set1_epi32(0x0fc0fc00);
  const __m256i mul_ac = _mm256_set1_epi32(0x04000040);
  const __m256i mask_bd = _mm256_set1_epi32(0x003f03f0);
  const __m256i mul_bd = _mm256_set1_epi32(0x01000010);
  const __m256i offsets = broadcast(kTables.offset.data());
  const __m256i n51 = _mm256_set1_epi8(51);
  const __m256i n26 = _mm256_set1_epi8(26);
  const __m256i n13 = _mm256_set1_epi8(13);
  std::size_t i = 0;
  // Two 16-byte loads 12 bytes apart read 28 bytes for the 24 consumed.
  for (; n - i >= 28; i += 24, o += 32) {
    const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 12));
    const __m256i x =
        _mm256_shuffle_epi8(_mm256_inserti128_si256(_mm256_castsi128_si256(lo), hi, 1), spread);
    const __m256i ac = _mm256_mulhi_epu16(_mm256_and_si256(x, mask_ac), mul_ac);
    const __m256i bd = _mm256_mullo_epi16(_mm256_and_si256(x, mask_bd), mul_bd);
    const __m256i v = _mm256_or_si256(ac, bd);
    // Class of each value: 13 for 0..25, 0 for 26..51, 1..12 for 52..63.
    __m256i cls = _mm256_subs_epu8(v, n51);
    cls = _mm256_or_si256(cls, _mm256_and_si256(_mm256_cmpgt_epi8(n26, v), n13));
    const __m256i chars = _mm256_add_epi8(v, _mm256_shuffle_epi8(offsets, cls));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(o), chars);
  }
  scalar_encode_groups(in + i, n - i, reinterpret_cast<std::byte*>(o));
}

VELMOR_AVX2 bool avx2_decode_groups(const std::byte* in, std::size_t n, std::byte* out) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(in);
  auto* o = reinterpret_cast<std::uint8_t*>(out);
  const Classifier cls;
  const __m256i shifts = broadcast(kTables.shift.data());
  const __m256i slash = _mm256_set1_epi8('/');
  const __m256i merge_pairs = _mm256_set1_epi32(0x01400140);
  const __m256i merge_quads = _mm256_set1_epi32(0x00011000);
  // Each 32-bit lane holds the 24 bits little-endian; take bytes 2, 1, 0 of each.
  const __m256i order = _mm256_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1, 2,
                                         1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1);
  const __m256i compact = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 3, 7);
  std::size_t i = 0;
  while (n - i >= 32) {
    const std::size_t end = i + std::min(kBlock, (n - i) / 32 * 32);
    __m256i acc = _mm256_setzero_si256();
    for (; i < end; i += 32, o += 24) {
      const __m256i x = load32(p + i);
      __m256i hi;
      acc = _mm256_or_si256(acc, cls.invalid(x, hi));
      const __m256i shift =
          _mm256_shuffle_epi8(shifts, _mm256_add_epi8(_mm256_cmpeq_epi8(x, slash), hi));
      const __m256i v = _mm256_add_epi8(x, shift);
      const __m256i merged = _mm256_madd_epi16(_mm256_maddubs_epi16(v, merge_pairs), merge_quads);
      const __m256i packed =
          _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(merged, order), compact);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(o), _mm256_castsi256_si128(packed));
      _mm_storel_epi64(reinterpret_cast<__m128i*>(o + 16), _mm256_extracti128_si256(packed, 1));
    }
    if (!_mm256_testz_si256(acc, acc)) return false;
  }
  return scalar_decode_groups(in + i, n - i, reinterpret_cast<std::byte*>(o));
}

}  // namespace

const KernelTable kAvx2Kernel = {"avx2", avx2_all_in_alphabet, avx2_encode_groups,
                                 avx2_decode_groups};

}  // namespace velmor_models::utils::files::base64::kernels

#endif  // __x86_64__
