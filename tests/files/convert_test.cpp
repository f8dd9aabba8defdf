// convert_data_to_base64 per payload kind, its edge cases, and the Bytes type.

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <list>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "velmor_models/utils/files.hpp"

namespace {

using namespace velmor_models::utils::files;
using velmor_utils::errors::TypeError;
using velmor_utils::errors::ValueError;

template <class T>
concept Convertible = requires(T&& payload) {
  convert_data_to_base64(std::forward<T>(payload));
};

// Accepted kinds...
static_assert(Convertible<const std::string&>);
static_assert(Convertible<const char*>);
static_assert(Convertible<const char (&)[4]>);
static_assert(Convertible<const char8_t*>);
static_assert(Convertible<const std::u8string&>);
static_assert(Convertible<const Bytes&>);
static_assert(Convertible<Bytes&&>);
static_assert(Convertible<const std::vector<std::uint8_t>&>);
static_assert(Convertible<std::span<const std::byte>>);
static_assert(Convertible<std::span<const unsigned char, 8>>);
static_assert(Convertible<const std::array<std::byte, 4>&>);
// ...and the rest do not compile.
static_assert(!Convertible<int>);
static_assert(!Convertible<const std::vector<char>&>);  // chars are text, not bytes
static_assert(!Convertible<std::span<const char>>);
static_assert(!Convertible<const std::vector<std::uint16_t>&>);
static_assert(!Convertible<const std::list<std::uint8_t>&>);  // not contiguous
static_assert(!Convertible<const std::u16string&>);
// The result is always the plain byte string.
static_assert(std::is_same_v<decltype(convert_data_to_base64("")), Bytes>);
static_assert(
    std::is_same_v<decltype(convert_data_to_base64(std::span<const std::byte>{})), Bytes>);

std::string b64(std::string_view plain) {
  return std::string(base64::encode(as_byte_span(plain)).chars());
}

std::vector<std::uint8_t> buffer(std::string_view s) {
  return {s.begin(), s.end()};
}

TEST(ConvertText, EmptyAndCanonicalTextComeBackAsTheSameCharacters) {
  EXPECT_TRUE(convert_data_to_base64("").empty() && convert_data_to_base64(u8"").empty());
  EXPECT_EQ(convert_data_to_base64("abcd").chars(), "abcd");  // raw text that is base64 anyway
  EXPECT_EQ(convert_data_to_base64(std::string("aGVsbG8=")).chars(), "aGVsbG8=");
  EXPECT_EQ(convert_data_to_base64(std::string_view("QQ==")).chars(), "QQ==");
  EXPECT_EQ(convert_data_to_base64(u8"Zm9vYmFy").chars(), "Zm9vYmFy");
}

TEST(ConvertText, EverythingElseIsEncoded) {
  for (std::string_view text :
       {"hello", "aGVsbG8=\n", "aGVs\nbG8=", " aGVsbG8=", "ab-_", "QR==", "QUJ=", "abc",
        "abcde===", "ab=c", "====", "a===", "abcd====", "Zm9vYg", "Zm9vYg="}) {
    EXPECT_EQ(convert_data_to_base64(text).chars(), b64(text)) << text;
  }
  EXPECT_EQ(convert_data_to_base64("hello").chars(), "aGVsbG8=");
}

TEST(ConvertText, NonAsciiTextIsEncodedFromItsUtf8) {
  EXPECT_EQ(convert_data_to_base64(u8"h\u00e9llo").chars(), "aMOpbGxv");
  EXPECT_EQ(convert_data_to_base64("h\xc3\xa9llo").chars(), "aMOpbGxv");
  // Boundary code points that are valid.
  for (std::string_view ok : {"\xc2\x80", "\xed\x9f\xbf", "\xee\x80\x80", "\xf4\x8f\xbf\xbf",
                              "\xf0\x90\x80\x80", "\xe0\xa0\x80"}) {
    EXPECT_EQ(convert_data_to_base64(ok).chars(), b64(ok));
  }
}

TEST(ConvertText, InvalidUtf8CannotBeEncoded) {
  for (std::string_view bad : {"\xff", "abc\x80", "\xc3", "\xc0\x80", "\xc1\xbf", "\xe0\x80\x80",
                               "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xf5\x80\x80\x80", "\xe2\x82",
                               "\xe2\x28\xa1", "0123456789abcdef0123456789abcdef\xfe"}) {
    EXPECT_THROW((void)convert_data_to_base64(bad), UnicodeEncodeError)
        << testing::PrintToString(bad);
  }
  try {
    (void)convert_data_to_base64("ok\xed\xa0\x80");
    FAIL() << "no error";
  } catch (const ValueError& e) {  // an encoding error is a ValueError
    EXPECT_NE(std::string(e.what()).find("offset 3"), std::string::npos) << e.what();
  }
}

TEST(ConvertBytes, CanonicalBytesComeBackUnchanged) {
  EXPECT_TRUE(convert_data_to_base64(Bytes()).empty());
  const Bytes canonical("Zm9vYg==");
  EXPECT_EQ(convert_data_to_base64(canonical), canonical);
  Bytes owned("Zm9vYmFy");
  const std::byte* storage = owned.data();
  const Bytes back = convert_data_to_base64(std::move(owned));
  EXPECT_EQ(back.data(), storage);  // handed back, not copied
  EXPECT_EQ(back.chars(), "Zm9vYmFy");
}

TEST(ConvertBytes, OtherBytesAreEncoded) {
  const Bytes raw(std::string_view("\x00\xff\x10 hi", 6));
  EXPECT_EQ(convert_data_to_base64(raw).chars(), "AP8QIGhp");
  EXPECT_EQ(convert_data_to_base64(Bytes("Zm9v\n")).chars(), b64("Zm9v\n"));
  // Bytes are never checked for UTF-8.
  EXPECT_EQ(convert_data_to_base64(Bytes("\xff")).chars(), "/w==");
}

TEST(ConvertBytes, ResultIsIdempotent) {
  std::mt19937_64 rng(5);
  for (int i = 0; i < 500; ++i) {
    std::string s(static_cast<std::size_t>(rng() % 200), '\0');
    for (char& c : s) c = static_cast<char>(rng() % (i % 2 ? 256 : 70) + (i % 2 ? 0 : 43));
    const Bytes once = convert_data_to_base64(Bytes(s));
    EXPECT_EQ(convert_data_to_base64(once), once);
    EXPECT_TRUE(base64::is_canonical_base64(once.span()));
    if (!base64::is_canonical_base64(as_byte_span(s))) {
      EXPECT_EQ(base64::decode(once.span()).chars(), s);
    }
  }
}

TEST(ConvertByteBuffer, NonCanonicalBuffersAreEncodedToBytes) {
  EXPECT_EQ(convert_data_to_base64(buffer("hello")).chars(), "aGVsbG8=");
  const std::array<std::byte, 3> raw{std::byte{0xfb}, std::byte{0xef}, std::byte{0xff}};
  EXPECT_EQ(convert_data_to_base64(raw).chars(), "++//");
  EXPECT_EQ(convert_data_to_base64(std::span(raw).first(2)).chars(), "++8=");
  const auto line = buffer("Zm9v\n");
  EXPECT_EQ(convert_data_to_base64(std::span<const unsigned char>(line)).chars(), b64("Zm9v\n"));
}

TEST(ConvertByteBuffer, CanonicalBuffersAreTheWrongKind) {
  EXPECT_THROW((void)convert_data_to_base64(buffer("Zm9v")), TypeError);
  EXPECT_THROW((void)convert_data_to_base64(std::vector<std::uint8_t>{}),
               TypeError);  // "" is base64
  const auto text = buffer("aGVsbG8=");
  try {
    (void)convert_data_to_base64(std::as_bytes(std::span(text)));
    FAIL() << "no error";
  } catch (const TypeError& e) {
    const std::string what = e.what();
    EXPECT_NE(what.find("span"), std::string::npos) << what;
    EXPECT_NE(what.find("Bytes"), std::string::npos) << what;
  }
}

TEST(BytesType, ValueSemantics) {
  const Bytes a("abc");
  Bytes b = a;
  EXPECT_TRUE(a == b && a.data() != b.data());
  Bytes c = std::move(b);
  EXPECT_TRUE(b.empty());  // NOLINT(bugprone-use-after-move): moved-from is empty by contract
  EXPECT_EQ(c.chars(), "abc");
  c = Bytes("xy");
  EXPECT_TRUE(c.size() == 2u && c[1] == std::byte{'y'} && a != c);
}

TEST(BytesType, LargeBuffersRoundTrip) {
  // Past the size where storage asks for huge pages.
  const std::size_t n = (std::size_t{6} << 20) + 1;
  const Bytes big = Bytes::build(n, [](std::span<std::byte> out) {
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = std::byte(i * 131 % 251);
  });
  const Bytes text = convert_data_to_base64(big);
  EXPECT_EQ(text.size(), base64::encoded_size(n));
  EXPECT_EQ(base64::decode(text.span()), big);
  EXPECT_EQ(convert_data_to_base64(text), text);
}

}  // namespace
