// The base64 codec, run through every kernel the CPU has, against a deliberately naive
// reference written bit by bit here.

#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "velmor_models/utils/files.hpp"

namespace velmor_models::utils::files::base64 {
// Names kernels in failure messages instead of printing raw bytes.
inline void PrintTo(Kernel kernel, std::ostream* os) {
  *os << kernel_name(kernel);
}
}  // namespace velmor_models::utils::files::base64

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
    acc = (acc << 8) | c;
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

// Validating decode that ignores unused trailing bits, like the library's.
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
    acc = (acc << 6) | static_cast<unsigned>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>((acc >> bits) & 0xFF);
    }
  }
  return out;
}

// Exact-size heap copies, so that the sanitizer sees any read past the end.
Bytes exact(std::string_view s) {
  return Bytes(s);
}

std::optional<std::string> lib_decode(std::string_view text, Kernel k) {
  try {
    return std::string(base64::decode(exact(text).span(), k).chars());
  } catch (const Base64DecodeError&) {
    return std::nullopt;
  }
}

// What is_canonical_base64 must agree with: decode, re-encode, compare.
bool canonical_by_round_trip(std::string_view text, Kernel k) {
  const auto decoded = lib_decode(text, k);
  return decoded && base64::encode(as_byte_span(*decoded), k).chars() == text;
}

class Base64Kernel : public ::testing::TestWithParam<Kernel> {
 protected:
  void SetUp() override {
    if (!base64::kernel_available(GetParam())) GTEST_SKIP() << "CPU lacks this kernel";
  }
  Kernel k() const { return GetParam(); }
  std::string enc(std::string_view s) const {
    return std::string(base64::encode(exact(s).span(), k()).chars());
  }
  bool canonical(std::string_view s) const {
    return base64::is_canonical_base64(exact(s).span(), k());
  }
};

std::string random_bytes(std::mt19937_64& rng, std::size_t n) {
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(rng() & 0xFF);
  return s;
}

TEST_P(Base64Kernel, Rfc4648Vectors) {
  const std::string_view expected[] = {"",         "Zg==",     "Zm8=",    "Zm9v",
                                       "Zm9vYg==", "Zm9vYmE=", "Zm9vYmFy"};
  for (std::size_t n = 0; n < std::size(expected); ++n) {
    const std::string plain(std::string_view("foobar").substr(0, n));
    EXPECT_EQ(enc(plain), expected[n]);
    EXPECT_EQ(lib_decode(expected[n], k()), plain);
    EXPECT_TRUE(canonical(expected[n])) << expected[n];
  }
}

TEST_P(Base64Kernel, EncodeAndDecodeMatchReferenceAcrossLengths) {
  std::mt19937_64 rng(7);
  std::vector<std::size_t> lengths;
  for (std::size_t n = 0; n <= 400; ++n) lengths.push_back(n);
  for (std::size_t n : {4095u, 4096u, 4097u, 12289u, 100003u}) lengths.push_back(n);
  for (std::size_t n : lengths) {
    const std::string data = random_bytes(rng, n);
    const std::string text = enc(data);
    ASSERT_EQ(text, ref_encode(data)) << "length " << n;
    ASSERT_EQ(lib_decode(text, k()), data) << "length " << n;
    ASSERT_TRUE(canonical(text)) << "length " << n;
    // decode_into writes exactly the decoded size: an exact buffer must suffice.
    std::vector<std::byte> out(n);
    ASSERT_EQ(base64::decode_into(exact(text).span(), out.data(), k()), n);
  }
}

TEST_P(Base64Kernel, EveryBadByteAtEveryOffsetIsFound) {
  std::mt19937_64 rng(11);
  const std::string good = enc(random_bytes(rng, 390));  // 520 chars: several vector blocks
  // Near misses of the alphabet on both sides of each range, with and without the high bit.
  const unsigned char bad[] = {'\0', '\n', ' ', '*',  ',',  '-',  '.',  ':',  '@',  '[',
                               '_',  '`',  '{', 0x7F, 0x80, 0xAB, 0xC1, 0xE1, 0xFF, '='};
  for (std::size_t pos = 0; pos + 4 < good.size(); ++pos) {
    for (unsigned char b : bad) {
      std::string text = good;
      text[pos] = static_cast<char>(b);
      ASSERT_FALSE(canonical(text)) << "offset " << pos << " byte " << int(b);
      ASSERT_FALSE(lib_decode(text, k())) << "offset " << pos << " byte " << int(b);
    }
  }
}

TEST_P(Base64Kernel, DecodeErrorsNameTheProblem) {
  const auto message = [&](std::string_view text) -> std::string {
    try {
      (void)base64::decode(as_byte_span(text), k());
    } catch (const velmor_utils::errors::ValueError& e) {  // Base64DecodeError is one
      return e.what();
    }
    return "no error";
  };
  EXPECT_NE(message("abcd\n").find("multiple of 4"), std::string::npos);
  EXPECT_NE(message("ab$d").find("offset 2"), std::string::npos);
  EXPECT_NE(message("ab==abcd").find("padding"), std::string::npos);
  EXPECT_NE(message("a===").find("padding"), std::string::npos);
}

TEST_P(Base64Kernel, TrailingBitsDecodeButAreNotCanonical) {
  EXPECT_EQ(lib_decode("QR==", k()), "A");
  EXPECT_FALSE(canonical("QR=="));
  EXPECT_TRUE(canonical("QQ=="));
  EXPECT_EQ(lib_decode("QUJ=", k()), "AB");
  EXPECT_FALSE(canonical("QUJ="));
  EXPECT_TRUE(canonical("QUI="));
}

// The property: the one-pass check says "canonical" exactly when decode-then-re-encode gives
// the input back, over random payloads and the near misses that matter.
TEST_P(Base64Kernel, CanonicalCheckEqualsRoundTripOnRandomPayloads) {
  std::mt19937_64 rng(20240611);
  const auto pick = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
  const std::string_view pool =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=-_\n";
  std::size_t canonical_count = 0;
  for (int iter = 0; iter < 20000; ++iter) {
    const std::size_t n = iter % 50 == 0 ? pick(3000) : pick(120);
    std::string payload;
    switch (iter % 8) {
      case 0:  // raw bytes
        payload = random_bytes(rng, n);
        break;
      case 1:  // canonical
        payload = enc(random_bytes(rng, n));
        break;
      case 2: {  // canonical with one byte replaced by anything
        payload = enc(random_bytes(rng, n + 1));
        payload[pick(payload.size())] = static_cast<char>(rng() & 0xFF);
        break;
      }
      case 3: {  // canonical with the last data character nudged (trailing bits)
        payload = enc(random_bytes(rng, n + 1));
        const std::size_t last =
            payload.find('=') == std::string::npos ? payload.size() - 1 : payload.find('=') - 1;
        payload[last] = kAlphabet[(kAlphabet.find(payload[last]) + 1 + pick(3)) % 64];
        break;
      }
      case 4: {  // line breaks, a trailing newline, or URL-safe characters
        payload = enc(random_bytes(rng, n + 60));
        if (pick(3) == 0) {
          payload += '\n';
        } else if (pick(2) == 0) {
          payload.insert(pick(payload.size()), "\n");
        } else {
          for (char& c : payload) c = c == '+' ? '-' : c == '/' ? '_' : c;
        }
        break;
      }
      case 5: {  // padding dropped, added or shifted
        payload = enc(random_bytes(rng, n + 1));
        const std::size_t what = pick(3);
        if (what == 0) {
          while (!payload.empty() && payload.back() == '=') payload.pop_back();
        } else if (what == 1) {
          payload += "====";
        } else {
          payload.insert(payload.size() - 4, "=");
          payload.pop_back();
        }
        break;
      }
      default:  // random text over the alphabet, padding and near misses, length % 4 == 0
        payload.resize(n / 4 * 4);
        for (char& c : payload) c = pool[pick(pick(8) == 0 ? pool.size() : 64)];
        if (!payload.empty() && pick(2) == 0) payload.back() = '=';
        if (payload.size() > 1 && pick(3) == 0) payload[payload.size() - 2] = '=';
        break;
    }
    const bool expected = canonical_by_round_trip(payload, k());
    ASSERT_EQ(canonical(payload), expected) << "payload #" << iter << ": " << payload;
    const auto ref = ref_decode(payload);
    ASSERT_EQ(lib_decode(payload, k()), ref) << "payload #" << iter;
    ASSERT_EQ(expected, ref && ref_encode(*ref) == payload) << "payload #" << iter;
    canonical_count += expected;
  }
  // Both answers must be well represented, or the property says little.
  EXPECT_GT(canonical_count, 3000u);
  EXPECT_LT(canonical_count, 12000u);
}

INSTANTIATE_TEST_SUITE_P(AllKernels, Base64Kernel,
                         ::testing::Values(Kernel::kScalar, Kernel::kAvx2, Kernel::kAvx512),
                         [](const auto& info) {
                           return std::string(base64::kernel_name(info.param));
                         });

TEST(Base64LastGroup, EveryPaddedLastGroupAgreesWithRoundTrip) {
  const Kernel k = base64::active_kernel();
  std::string text = "AAAA____";
  for (char a : kAlphabet) {
    for (char b : kAlphabet) {
      text[4] = a;
      text[5] = b;
      text[6] = text[7] = '=';
      ASSERT_EQ(base64::is_canonical_base64(as_byte_span(text)), canonical_by_round_trip(text, k));
      for (char c : kAlphabet) {
        text[6] = c;
        ASSERT_EQ(base64::is_canonical_base64(as_byte_span(text)), canonical_by_round_trip(text, k))
            << text;
      }
    }
  }
}

TEST(Base64Kernels, SelectionIsConsistent) {
  EXPECT_TRUE(base64::kernel_available(Kernel::kScalar));
  EXPECT_TRUE(base64::kernel_available(base64::active_kernel()));
  for (Kernel k : {Kernel::kAvx2, Kernel::kAvx512}) {
    if (!base64::kernel_available(k)) {
      EXPECT_THROW((void)base64::encode(as_byte_span("x"), k), velmor_utils::errors::ValueError);
    }
  }
}

}  // namespace
