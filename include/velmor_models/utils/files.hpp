#pragma once
// File payloads travel as base64. convert_data_to_base64 brings any accepted payload to one
// form: a plain byte string (Bytes) holding the standard padded base64 of the file, leaving a
// payload that already is such an encoding untouched.
//
// Accepted payload kinds (anything else does not compile):
//   * text: std::string_view and everything convertible to it (std::string, const char*,
//     literals), and char8_t text (std::u8string_view, std::u8string, u8"" literals). Text is
//     taken as UTF-8 and must be valid UTF-8; otherwise UnicodeEncodeError.
//   * Bytes: the library's own immutable byte string, and the only result kind.
//   * other bytes-like views: contiguous sized ranges of std::byte or unsigned char
//     (std::span, std::vector<std::uint8_t>, std::array<std::byte, N>, ...). Ranges of char
//     are text, not bytes, and are refused so that the two meanings never blur.

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <ranges>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "velmor_utils/errors.hpp"

namespace velmor_models::utils::files {

/// Text that is not valid UTF-8 cannot be encoded to bytes.
class UnicodeEncodeError : public velmor_utils::errors::ValueError {
 public:
  using ValueError::ValueError;
};

/// The validating base64 decoder refused its input.
class Base64DecodeError : public velmor_utils::errors::ValueError {
 public:
  using ValueError::ValueError;
};

/// An immutable, owned byte string.
///
/// Its own class rather than std::vector<std::byte> or std::basic_string<unsigned char>: it must
/// be told apart from a mutable byte buffer (the result of conversion is always a Bytes), and
/// its storage is filled without a zeroing pass first, which matters for 100 MiB payloads.
class Bytes {
 public:
  using value_type = std::byte;
  using size_type = std::size_t;
  using const_iterator = const std::byte*;
  using iterator = const_iterator;

  Bytes() noexcept = default;
  explicit Bytes(std::span<const std::byte> data);
  /// The code units of `chars`, unchanged (no transcoding).
  explicit Bytes(std::string_view chars);

  Bytes(const Bytes& other) : Bytes(other.span()) {}
  Bytes(Bytes&& other) noexcept
      : storage_(std::move(other.storage_)), size_(std::exchange(other.size_, 0)) {}
  Bytes& operator=(const Bytes& other) {
    if (this != &other) *this = Bytes(other);
    return *this;
  }
  Bytes& operator=(Bytes&& other) noexcept {
    storage_ = std::move(other.storage_);
    size_ = std::exchange(other.size_, 0);
    return *this;
  }
  ~Bytes() = default;

  /// Builds a byte string of `size` bytes; `fill(std::span<std::byte>)` must write every byte.
  /// The only way to write into a Bytes, so finished values stay immutable.
  template <class Fill>
  static Bytes build(std::size_t size, Fill&& fill) {
    Bytes result;
    result.allocate(size);
    std::forward<Fill>(fill)(std::span<std::byte>(result.storage_.get(), size));
    return result;
  }

  [[nodiscard]] const std::byte* data() const noexcept { return storage_.get(); }
  [[nodiscard]] std::size_t size() const noexcept { return size_; }
  [[nodiscard]] bool empty() const noexcept { return size_ == 0; }
  [[nodiscard]] const_iterator begin() const noexcept { return data(); }
  [[nodiscard]] const_iterator end() const noexcept { return data() + size_; }
  [[nodiscard]] std::byte operator[](std::size_t i) const noexcept { return storage_[i]; }
  [[nodiscard]] std::span<const std::byte> span() const noexcept { return {data(), size_}; }
  /// The same bytes seen as chars, e.g. to print base64 or compare it with a literal.
  [[nodiscard]] std::string_view chars() const noexcept {
    return {reinterpret_cast<const char*>(data()), size_};
  }

  friend bool operator==(const Bytes& a, const Bytes& b) noexcept { return a.chars() == b.chars(); }

 private:
  struct FreeDeleter {
    void operator()(std::byte* p) const noexcept;
  };
  void allocate(std::size_t size);

  std::unique_ptr<std::byte[], FreeDeleter> storage_;
  std::size_t size_ = 0;
};

/// Views the code units of `chars` as bytes.
[[nodiscard]] inline std::span<const std::byte> as_byte_span(std::string_view chars) noexcept {
  return {reinterpret_cast<const std::byte*>(chars.data()), chars.size()};
}

namespace base64 {

/// The vector code that runs the codec. The best one the CPU supports is chosen once, at the
/// first call; the others stay callable for tests and benchmarks where the CPU has them.
enum class Kernel : std::uint8_t {
  kScalar,  // portable C++, no intrinsics
  kAvx2,    // x86-64 AVX2
  kAvx512,  // x86-64 AVX-512 F/BW/VBMI
};

[[nodiscard]] bool kernel_available(Kernel kernel) noexcept;
[[nodiscard]] Kernel active_kernel() noexcept;
[[nodiscard]] std::string_view kernel_name(Kernel kernel) noexcept;

/// Length of the padded encoding of `size` bytes.
[[nodiscard]] constexpr std::size_t encoded_size(std::size_t size) noexcept {
  return (size + 2) / 3 * 4;
}

/// Standard padded encoding (RFC 4648 alphabet, no line breaks).
[[nodiscard]] Bytes encode(std::span<const std::byte> data);
[[nodiscard]] Bytes encode(std::span<const std::byte> data, Kernel kernel);
/// Writes encoded_size(data.size()) bytes to `out`; returns that count.
std::size_t encode_into(std::span<const std::byte> data, std::byte* out, Kernel kernel);

/// Validating decode: length a multiple of four, only alphabet characters, padding ("=" or
/// "==") only at the very end. Unused trailing bits are ignored here, so some accepted inputs
/// are not canonical (see is_canonical_base64). Throws Base64DecodeError.
[[nodiscard]] Bytes decode(std::span<const std::byte> text);
[[nodiscard]] Bytes decode(std::span<const std::byte> text, Kernel kernel);
/// Writes exactly the decoded bytes to `out` and returns their count (at most text.size() / 4 * 3).
std::size_t decode_into(std::span<const std::byte> text, std::byte* out, Kernel kernel);

/// True exactly when `text` equals encode(x) for some byte string x: the same answer as
/// decode-then-re-encode-and-compare, found in one pass without building the decoded copy.
[[nodiscard]] bool is_canonical_base64(std::span<const std::byte> text) noexcept;
[[nodiscard]] bool is_canonical_base64(std::span<const std::byte> text, Kernel kernel);

}  // namespace base64

/// A bytes-like payload other than Bytes itself.
template <class T>
concept ByteBuffer = std::ranges::contiguous_range<T> && std::ranges::sized_range<T> &&
    (std::same_as<std::ranges::range_value_t<T>, std::byte> ||
     std::same_as<std::ranges::range_value_t<T>,
                  unsigned char>)&&!std::same_as<std::remove_cvref_t<T>, Bytes>;

namespace detail {
Bytes convert_text(std::string_view utf8);
Bytes convert_byte_buffer(std::span<const std::byte> data, std::string_view kind);

template <class T>
struct IsSpan : std::false_type {};
template <class E, std::size_t N>
struct IsSpan<std::span<E, N>> : std::true_type {};
}  // namespace detail

/// Converts the given file data to a base64-encoded bytes object.
///
/// Text is first encoded as UTF-8 (invalid UTF-8 throws UnicodeEncodeError). A payload that is
/// already canonical base64 (the standard padded encoding of some byte string) is returned as
/// it is; anything else (line breaks, URL-safe alphabet, missing or surplus padding, non-zero
/// trailing bits...) is encoded. A byte buffer that is not Bytes but already holds canonical
/// base64 cannot be returned as a plain byte string and throws velmor_utils::errors::TypeError.
[[nodiscard]] inline Bytes convert_data_to_base64(std::string_view text) {
  return detail::convert_text(text);
}
[[nodiscard]] inline Bytes convert_data_to_base64(std::u8string_view text) {
  return detail::convert_text({reinterpret_cast<const char*>(text.data()), text.size()});
}
[[nodiscard]] Bytes convert_data_to_base64(const Bytes& data);
[[nodiscard]] Bytes convert_data_to_base64(Bytes&& data);

template <ByteBuffer Buffer>
[[nodiscard]] Bytes convert_data_to_base64(const Buffer& data) {
  const auto* first = reinterpret_cast<const std::byte*>(std::ranges::data(data));
  return detail::convert_byte_buffer(
      {first, std::ranges::size(data)},
      detail::IsSpan<std::remove_cvref_t<Buffer>>::value ? "a span over bytes" : "a byte buffer");
}

}  // namespace velmor_models::utils::files
