// Public codec: picks a kernel once at run time and handles the last, possibly padded, group.
//
// Written here rather than taken from a Debian package: the packaged C codecs are scalar, and
// none offers a check for canonical input that rejects non-zero unused bits without decoding.

#include <string>

#include "utils/files/base64_kernels.hpp"
#include "velmor_models/utils/files.hpp"

namespace velmor_models::utils::files::base64 {
namespace {

using kernels::in_alphabet;
using kernels::kAlphabet;
using kernels::kDecodeTable;
using kernels::KernelTable;

struct CpuFeatures {
  bool avx2 = false;
  bool avx512 = false;
};

const CpuFeatures& cpu_features() noexcept {
  static const CpuFeatures features = [] {
    CpuFeatures f;
#if defined(__x86_64__)
    // libgcc also checks that the OS saves the vector state (XGETBV) before reporting these.
    __builtin_cpu_init();
    f.avx2 = __builtin_cpu_supports("avx2");
    f.avx512 = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
               __builtin_cpu_supports("avx512vbmi");
#endif
    return f;
  }();
  return features;
}

const KernelTable& table_of(Kernel kernel) noexcept {
  switch (kernel) {
#if defined(__x86_64__)
    case Kernel::kAvx2:
      return kernels::kAvx2Kernel;
    case Kernel::kAvx512:
      return kernels::kAvx512Kernel;
#endif
    default:
      return kernels::kScalarKernel;
  }
}

const KernelTable& checked_table(Kernel kernel) {
  if (!kernel_available(kernel)) {
    throw velmor_utils::errors::ValueError("base64 kernel '" + std::string(kernel_name(kernel)) +
                                           "' is not supported by this CPU");
  }
  return table_of(kernel);
}

const KernelTable& active_table() noexcept {
  static const KernelTable& table = table_of(active_kernel());
  return table;
}

std::uint8_t at(std::span<const std::byte> s, std::size_t i) noexcept {
  return std::to_integer<std::uint8_t>(s[i]);
}

std::size_t encode_with(const KernelTable& k, std::span<const std::byte> data, std::byte* out) {
  const std::size_t n = data.size();
  const std::size_t whole = n / 3 * 3;
  k.encode_groups(data.data(), whole, out);
  auto* o = reinterpret_cast<char*>(out) + whole / 3 * 4;
  if (n - whole == 1) {
    const std::uint8_t a = at(data, whole);
    o[0] = kAlphabet[a >> 2];
    o[1] = kAlphabet[(a & 3) << 4];
    o[2] = o[3] = '=';
  } else if (n - whole == 2) {
    const std::uint8_t a = at(data, whole);
    const std::uint8_t b = at(data, whole + 1);
    o[0] = kAlphabet[a >> 2];
    o[1] = kAlphabet[((a & 3) << 4) | (b >> 4)];
    o[2] = kAlphabet[(b & 15) << 2];
    o[3] = '=';
  }
  return encoded_size(n);
}

// Number of '=' the last group of a length-checked, non-empty text ends with (0, 1 or 2).
std::size_t padding_of(std::span<const std::byte> text) noexcept {
  const std::size_t n = text.size();
  if (at(text, n - 1) != '=') return 0;
  return at(text, n - 2) == '=' ? 2 : 1;
}

[[noreturn]] void throw_decode_error(std::span<const std::byte> text) {
  const std::size_t n = text.size();
  const std::size_t data_end = n - padding_of(text);
  for (std::size_t i = 0; i < data_end; ++i) {
    const std::uint8_t c = at(text, i);
    if (in_alphabet(c)) continue;
    if (c == '=') {
      throw Base64DecodeError("invalid base64: padding '=' at offset " + std::to_string(i) +
                              " before the end of the data");
    }
    throw Base64DecodeError("invalid base64: byte " + std::to_string(c) + " at offset " +
                            std::to_string(i) + " is not in the alphabet");
  }
  // Every data character is valid, so the padding itself is wrong ("A===" style).
  throw Base64DecodeError("invalid base64: too much padding at the end");
}

std::size_t decode_with(const KernelTable& k, std::span<const std::byte> text, std::byte* out) {
  const std::size_t n = text.size();
  if (n % 4 != 0) {
    throw Base64DecodeError("invalid base64: length " + std::to_string(n) +
                            " is not a multiple of 4");
  }
  if (n == 0) return 0;
  const std::size_t body = n - 4;
  if (!k.decode_groups(text.data(), body, out)) throw_decode_error(text);

  std::uint8_t q[4];
  for (std::size_t j = 0; j < 4; ++j) q[j] = at(text, body + j);
  const std::size_t pad = padding_of(text);
  std::uint32_t bits = 0;
  for (std::size_t j = 0; j < 4 - pad; ++j) {
    if (!in_alphabet(q[j])) throw_decode_error(text);
    bits |= std::uint32_t{kDecodeTable[q[j]]} << (18 - 6 * j);
  }
  auto* o = reinterpret_cast<std::uint8_t*>(out) + body / 4 * 3;
  const std::size_t last = 3 - pad;
  for (std::size_t j = 0; j < last; ++j) o[j] = static_cast<std::uint8_t>(bits >> (16 - 8 * j));
  return body / 4 * 3 + last;
}

bool canonical_with(const KernelTable& k, std::span<const std::byte> text) noexcept {
  const std::size_t n = text.size();
  if (n % 4 != 0) return false;
  if (n == 0) return true;
  // The last group first: cheap, and it rejects most non-base64 payloads at once.
  const std::size_t body = n - 4;
  const std::size_t pad = padding_of(text);
  for (std::size_t j = 0; j < 4 - pad; ++j) {
    if (!in_alphabet(at(text, body + j))) return false;
  }
  // The bits past the last whole byte must be zero, or re-encoding would differ.
  if (pad == 1 && (kDecodeTable[at(text, body + 2)] & 0x03) != 0) return false;
  if (pad == 2 && (kDecodeTable[at(text, body + 1)] & 0x0F) != 0) return false;
  return k.all_in_alphabet(text.data(), body);
}

}  // namespace

bool kernel_available(Kernel kernel) noexcept {
  switch (kernel) {
    case Kernel::kScalar:
      return true;
    case Kernel::kAvx2:
      return cpu_features().avx2;
    case Kernel::kAvx512:
      return cpu_features().avx512;
  }
  return false;
}

Kernel active_kernel() noexcept {
  if (cpu_features().avx512) return Kernel::kAvx512;
  if (cpu_features().avx2) return Kernel::kAvx2;
  return Kernel::kScalar;
}

std::string_view kernel_name(Kernel kernel) noexcept {
  switch (kernel) {
    case Kernel::kScalar:
      return "scalar";
    case Kernel::kAvx2:
      return "avx2";
    case Kernel::kAvx512:
      return "avx512";
  }
  return "unknown";
}

Bytes encode(std::span<const std::byte> data) {
  return Bytes::build(encoded_size(data.size()), [&](std::span<std::byte> out) {
    encode_with(active_table(), data, out.data());
  });
}

Bytes encode(std::span<const std::byte> data, Kernel kernel) {
  const KernelTable& k = checked_table(kernel);
  return Bytes::build(encoded_size(data.size()),
                      [&](std::span<std::byte> out) { encode_with(k, data, out.data()); });
}

std::size_t encode_into(std::span<const std::byte> data, std::byte* out, Kernel kernel) {
  return encode_with(checked_table(kernel), data, out);
}

Bytes decode(std::span<const std::byte> text) {
  return decode(text, active_kernel());
}

Bytes decode(std::span<const std::byte> text, Kernel kernel) {
  const KernelTable& k = checked_table(kernel);
  const std::size_t n = text.size();
  // Sized before decoding (decode_with writes exactly the decoded bytes); a malformed text
  // throws inside decode_with before anything past that size would be written.
  std::size_t size = n / 4 * 3;
  if (n % 4 == 0 && n > 0) size -= padding_of(text);
  return Bytes::build(size, [&](std::span<std::byte> out) { decode_with(k, text, out.data()); });
}

std::size_t decode_into(std::span<const std::byte> text, std::byte* out, Kernel kernel) {
  return decode_with(checked_table(kernel), text, out);
}

bool is_canonical_base64(std::span<const std::byte> text) noexcept {
  return canonical_with(active_table(), text);
}

bool is_canonical_base64(std::span<const std::byte> text, Kernel kernel) {
  return canonical_with(checked_table(kernel), text);
}

}  // namespace velmor_models::utils::files::base64
