// AVX-512 kernel (F, BW and VBMI): byte permutes translate whole 64-byte vectors through
// 64- and 128-entry tables, and masked loads and stores finish the tails without scalar code.
// Target attributes instead of -mavx512* for the same reason as in the AVX2 kernel.

#include "utils/files/base64_kernels.hpp"

#if defined(__x86_64__)
// GCC 12's AVX-512 intrinsics fill their "undefined" operand with a self-initialised variable,
// which -Wmaybe-uninitialized reports once they are inlined; the operand is never read.
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>

#include <algorithm>

#define VELMOR_AVX512 __attribute__((target("avx512f,avx512bw,avx512vbmi")))

namespace velmor_models::utils::files::base64::kernels {
namespace {

// Character (low seven bits) -> value, 0x80 when not in the alphabet. Bytes >= 0x80 are caught
// by OR-ing in the character itself.
constexpr std::array<std::uint8_t, 128> kValues = [] {
  std::array<std::uint8_t, 128> table{};
  for (std::size_t c = 0; c < table.size(); ++c) table[c] = kDecodeTable[c];
  return table;
}();

// Output byte k of a decoded vector comes from byte 2 - k % 3 of 32-bit lane k / 3.
constexpr std::array<std::uint8_t, 64> kPack = [] {
  std::array<std::uint8_t, 64> table{};
  for (std::size_t k = 0; k < 48; ++k)
    table[k] = static_cast<std::uint8_t>(4 * (k / 3) + 2 - k % 3);
  return table;
}();

// Input bytes (a, b, c) of group g land in 32-bit lane g as b | a << 8 | c << 16 | b << 24.
constexpr std::array<std::uint8_t, 64> kSpread = [] {
  std::array<std::uint8_t, 64> table{};
  for (std::size_t g = 0; g < 16; ++g) {
    const auto base = static_cast<std::uint8_t>(3 * g);
    table[4 * g] = base + 1;
    table[4 * g + 1] = base;
    table[4 * g + 2] = base + 2;
    table[4 * g + 3] = base + 1;
  }
  return table;
}();

// Bit offsets of the four 6-bit fields in each 32-bit lane laid out as above, for
// vpmultishiftqb (per 64-bit lane, so the second half is the first plus 32).
constexpr long long kFieldShifts = 0x3036242a1016040aLL;

constexpr std::size_t kBlock = 4096;
constexpr __mmask64 kLow48 = 0x0000FFFFFFFFFFFFULL;

VELMOR_AVX512 inline __m512i load_table(const std::uint8_t* table) {
  return _mm512_loadu_si512(table);
}

VELMOR_AVX512 inline __mmask64 low_mask(std::size_t count) {
  return count >= 64 ? ~__mmask64{0} : (__mmask64{1} << count) - 1;
}

// Character -> value; the sign bit is set exactly for characters outside the alphabet.
VELMOR_AVX512 inline __m512i flag(__m512i x, __m512i lo, __m512i hi) {
  return _mm512_or_si512(_mm512_permutex2var_epi8(lo, x, hi), x);
}

VELMOR_AVX512 bool avx512_all_in_alphabet(const std::byte* in, std::size_t n) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(in);
  const __m512i lo = load_table(kValues.data());
  const __m512i hi = load_table(kValues.data() + 64);
  std::size_t i = 0;
  while (n - i >= 256) {
    const std::size_t end = i + std::min(kBlock, (n - i) / 256 * 256);
    __m512i acc = _mm512_setzero_si512();
    for (; i < end; i += 256) {
      const __m512i a = _mm512_or_si512(flag(_mm512_loadu_si512(p + i), lo, hi),
                                        flag(_mm512_loadu_si512(p + i + 64), lo, hi));
      const __m512i b = _mm512_or_si512(flag(_mm512_loadu_si512(p + i + 128), lo, hi),
                                        flag(_mm512_loadu_si512(p + i + 192), lo, hi));
      acc = _mm512_ternarylogic_epi64(acc, a, b, 0xFE);  // acc | a | b
    }
    if (_mm512_movepi8_mask(acc) != 0) return false;
  }
  const __m512i filler = _mm512_set1_epi8('A');
  for (; i < n; i += 64) {
    const __m512i x = _mm512_mask_loadu_epi8(filler, low_mask(n - i), p + i);
    if (_mm512_movepi8_mask(flag(x, lo, hi)) != 0) return false;
  }
  return true;
}

struct Encoder {
  __m512i spread, shifts, alphabet;

  VELMOR_AVX512 Encoder()
      : spread(load_table(kSpread.data())),
        shifts(_mm512_set1_epi64(kFieldShifts)),
        alphabet(_mm512_loadu_si512(kAlphabet.data())) {}

  // 48 bytes (the low 48 of x) -> 64 characters.
  VELMOR_AVX512 __m512i operator()(__m512i x) const {
    const __m512i fields = _mm512_multishift_epi64_epi8(shifts, _mm512_permutexvar_epi8(spread, x));
    return _mm512_permutexvar_epi8(fields, alphabet);  // uses the low six bits of each field
  }
};

VELMOR_AVX512 void avx512_encode_groups(const std::byte* in, std::size_t n, std::byte* out) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(in);
  auto* o = reinterpret_cast<std::uint8_t*>(out);
  const Encoder encode48;
  std::size_t i = 0;
  for (; n - i >= 112; i += 96, o += 128) {
    _mm512_storeu_si512(o, encode48(_mm512_loadu_si512(p + i)));
    _mm512_storeu_si512(o + 64, encode48(_mm512_loadu_si512(p + i + 48)));
  }
  for (; n - i >= 48; i += 48, o += 64) {
    _mm512_storeu_si512(o, encode48(_mm512_maskz_loadu_epi8(kLow48, p + i)));
  }
  if (const std::size_t rest = n - i; rest > 0) {
    const __m512i chars = encode48(_mm512_maskz_loadu_epi8(low_mask(rest), p + i));
    _mm512_mask_storeu_epi8(o, low_mask(rest / 3 * 4), chars);
  }
}

struct Decoder {
  __m512i lo, hi, pack, merge_pairs, merge_quads;
  __m512i errors;  // sign bits collect invalid characters

  VELMOR_AVX512 Decoder()
      : lo(load_table(kValues.data())),
        hi(load_table(kValues.data() + 64)),
        pack(load_table(kPack.data())),
        merge_pairs(_mm512_set1_epi32(0x01400140)),
        merge_quads(_mm512_set1_epi32(0x00011000)),
        errors(_mm512_setzero_si512()) {}

  // 64 characters -> 48 bytes in the low 48 of the result.
  VELMOR_AVX512 __m512i operator()(__m512i x) {
    const __m512i v = _mm512_permutex2var_epi8(lo, x, hi);
    errors = _mm512_ternarylogic_epi64(errors, v, x, 0xFE);  // errors | v | x
    const __m512i merged = _mm512_madd_epi16(_mm512_maddubs_epi16(v, merge_pairs), merge_quads);
    return _mm512_permutexvar_epi8(pack, merged);
  }
  VELMOR_AVX512 bool ok() const { return _mm512_movepi8_mask(errors) == 0; }
};

VELMOR_AVX512 bool avx512_decode_groups(const std::byte* in, std::size_t n, std::byte* out) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(in);
  auto* o = reinterpret_cast<std::uint8_t*>(out);
  Decoder decode64;
  const std::size_t out_size = n / 4 * 3;
  std::size_t i = 0;
  std::size_t written = 0;
  while (n - i >= 64) {
    const std::size_t end = i + std::min(kBlock, (n - i) / 64 * 64);
    for (; i < end; i += 64, written += 48) {
      const __m512i bytes = decode64(_mm512_loadu_si512(p + i));
      // The 16 bytes past the 48 are rewritten by the next vector; only the last stores mask.
      if (out_size - written >= 64) {
        _mm512_storeu_si512(o + written, bytes);
      } else {
        _mm512_mask_storeu_epi8(o + written, kLow48, bytes);
      }
    }
    if (!decode64.ok()) return false;
  }
  if (const std::size_t rest = n - i; rest > 0) {
    const __m512i x = _mm512_mask_loadu_epi8(_mm512_set1_epi8('A'), low_mask(rest), p + i);
    _mm512_mask_storeu_epi8(o + written, low_mask(rest / 4 * 3), decode64(x));
  }
  return decode64.ok();
}

}  // namespace

const KernelTable kAvx512Kernel = {"avx512", avx512_all_in_alphabet, avx512_encode_groups,
                                   avx512_decode_groups};

}  // namespace velmor_models::utils::files::base64::kernels

#endif  // __x86_64__
