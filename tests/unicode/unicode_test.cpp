// Unicode case conversion behind the type mappings and case folding behind the
// case-insensitive lookups.

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "velmor_models/detail/unicode.hpp"

namespace {

using velmor_models::detail::casefold;
using velmor_models::detail::unicode_lower;
using velmor_models::detail::unicode_upper;

struct CasePair {
  std::string_view input;
  std::string_view expected;
};

class UnicodeUpper : public testing::TestWithParam<CasePair> {};
TEST_P(UnicodeUpper, Converts) {
  EXPECT_EQ(unicode_upper(GetParam().input), GetParam().expected);
}
INSTANTIATE_TEST_SUITE_P(
    Mappings, UnicodeUpper,
    testing::Values(CasePair{"", ""}, CasePair{"varchar(20) not null", "VARCHAR(20) NOT NULL"},
                    // Latin-1 Supplement; ÿ maps into Latin Extended-A; × and ÷ have no case.
                    CasePair{"\u00e0\u00e9\u00fe\u00ff\u00d7\u00f7",
                             "\u00c0\u00c9\u00de\u0178\u00d7\u00f7"},
                    // Latin Extended-A alternates lower/upper pairs.
                    CasePair{"\u0101\u0151\u017e", "\u0100\u0150\u017d"},
                    // Letters whose upper case is ASCII.
                    CasePair{"\u0131\u017f", "IS"},
                    // Full mappings that expand to more than one code point.
                    CasePair{"stra\u00dfe", "STRASSE"}, CasePair{"\ufb01\ufb02", "FIFL"},
                    CasePair{"\u0390", "\u0399\u0308\u0301"}, CasePair{"\u0149", "\u02bcN"},
                    // Title-case digraph and already upper-case text.
                    CasePair{"\u01c5\u01c6", "\u01c4\u01c4"},
                    CasePair{"\u0130\u00c9", "\u0130\u00c9"},
                    // Greek, both sigma forms, and Cyrillic.
                    CasePair{"\u03b1\u03b2\u03c3\u03c2", "\u0391\u0392\u03a3\u03a3"},
                    CasePair{"\u043f\u0440\u0438\u0432\u0435\u0442\u0451",
                             "\u041f\u0420\u0418\u0412\u0415\u0422\u0401"},
                    // Outside the Basic Multilingual Plane: Deseret.
                    CasePair{"\U00010428", "\U00010400"},
                    // Characters without case stay.
                    CasePair{"\u4e2d\u6587 123 \U0001F600", "\u4e2d\u6587 123 \U0001F600"}));

class UnicodeLower : public testing::TestWithParam<CasePair> {};
TEST_P(UnicodeLower, Converts) {
  EXPECT_EQ(unicode_lower(GetParam().input), GetParam().expected);
}
INSTANTIATE_TEST_SUITE_P(
    Mappings, UnicodeLower,
    testing::Values(CasePair{"TIMESTAMP With Time Zone", "timestamp with time zone"},
                    CasePair{"\u00c0\u00c9\u00de\u0178", "\u00e0\u00e9\u00fe\u00ff"},
                    CasePair{"\u0100\u0150\u017d", "\u0101\u0151\u017e"},
                    // İ lower-cases to i followed by a combining dot above.
                    CasePair{"\u0130", "i\u0307"},
                    // Signs that lower-case to ASCII letters.
                    CasePair{"\u212a\u212b", "k\u00e5"},
                    // ß has no upper-to-lower change; sigma is always the medial form.
                    CasePair{"STRA\u00dfE", "stra\u00dfe"},
                    CasePair{"\u039f\u0394\u039f\u03a3", "\u03bf\u03b4\u03bf\u03c3"},
                    CasePair{"\u041f\u0420\u0418\u0412\u0415\u0422\u0401",
                             "\u043f\u0440\u0438\u0432\u0435\u0442\u0451"},
                    CasePair{"\U00010400", "\U00010428"}));

// Ill-formed UTF-8 is copied byte for byte; the text around it is still converted.
class IllFormedUtf8 : public testing::TestWithParam<CasePair> {};
TEST_P(IllFormedUtf8, PassesThrough) {
  EXPECT_EQ(unicode_upper(GetParam().input), GetParam().expected);
}
INSTANTIATE_TEST_SUITE_P(
    Bytes, IllFormedUtf8,
    testing::Values(CasePair{"a\xff"
                             "b",
                             "A\xff"
                             "B"},
                    // Stray continuation byte.
                    CasePair{"\x80z", "\x80Z"},
                    // Overlong encodings of '/' and of 'a'.
                    CasePair{"\xc0\xaf"
                             "a",
                             "\xc0\xaf"
                             "A"},
                    CasePair{"\xe0\x81\xa1", "\xe0\x81\xa1"},
                    // A surrogate and a code point above U+10FFFF.
                    CasePair{"\xed\xa0\x80x", "\xed\xa0\x80X"},
                    CasePair{"\xf4\x90\x80\x80y", "\xf4\x90\x80\x80Y"},
                    // Truncated two- and three-byte sequences, at the end and before ASCII.
                    CasePair{"\xc3", "\xc3"},
                    CasePair{"\xe2\x82"
                             "e",
                             "\xe2\x82"
                             "E"},
                    // A lead byte followed by a valid sequence: only the lead byte is kept raw.
                    CasePair{"\xc3\xc3\xa9", "\xc3\xc3\x89"}));

TEST(UnicodeCase, IllFormedBytesSurviveLowerCaseAndFoldingToo) {
  EXPECT_EQ(unicode_lower("A\xfe\xc3\x89"), "a\xfe\xc3\xa9");
  EXPECT_EQ(casefold("A\xfe\xc3\x89\xed\xa0\x80"), "a\xfe\xc3\xa9\xed\xa0\x80");
  EXPECT_EQ(casefold(std::string_view("A\0B", 3)), std::string_view("a\0b", 3));
}

class CaseFold : public testing::TestWithParam<CasePair> {};
TEST_P(CaseFold, Folds) {
  EXPECT_EQ(casefold(GetParam().input), GetParam().expected);
}
INSTANTIATE_TEST_SUITE_P(
    Foldings, CaseFold,
    testing::Values(CasePair{"", ""}, CasePair{"Ann SMITH 42", "ann smith 42"},
                    // Full foldings expand: ß and ẞ to ss, ﬁ to fi, ŉ to ʼn.
                    CasePair{"Stra\u00dfe STRA\u1e9eE", "strasse strasse"},
                    CasePair{"\ufb01\u0149", "fi\u02bcn"},
                    // Every sigma folds to the medial form; the Kelvin and Ångström signs
                    // fold to the letters; the long s to s.
                    CasePair{"\u03a3\u03c3\u03c2", "\u03c3\u03c3\u03c3"},
                    CasePair{"\u212a\u212b\u017f", "k\u00e5s"},
                    // Folding differs from lower case: ſ, ς and the Cherokee small letters
                    // fold to their capitals; İ (no Turkic tailoring) to i + dot above.
                    CasePair{"\u13f8\uab70", "\u13f0\u13a0"}, CasePair{"\u0130", "i\u0307"},
                    CasePair{"\u0422\u0401\U00010400", "\u0442\u0451\U00010428"},
                    CasePair{"\u4e2d\u6587 \U0001F600", "\u4e2d\u6587 \U0001F600"}));

// Texts that differ only in case fold to the same text.
TEST(UnicodeCase, FoldingIdentifiesCaseVariants) {
  const std::pair<std::string_view, std::string_view> same[] = {
      {"STRASSE", "stra\u00dfe"},
      {"\u1f88", "\u1f00\u03b9"},
      {"MASSE", "Ma\u00dfe"},
      {"\u039f\u0394\u039f\u03a3", "\u03bf\u03b4\u03bf\u03c2"}};
  for (const auto& [a, b] : same) EXPECT_EQ(casefold(a), casefold(b)) << a << " / " << b;
  EXPECT_NE(casefold("i"), casefold("\u0131"));  // dotless i keeps its identity
}

// Every ASCII letter maps to its partner and nothing else in ASCII changes.
TEST(UnicodeCase, AsciiIsExact) {
  for (int c = 0; c < 0x80; ++c) {
    const std::string in(1, static_cast<char>(c));
    const char up = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : static_cast<char>(c);
    const char low = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : static_cast<char>(c);
    EXPECT_EQ(unicode_upper(in), std::string(1, up)) << c;
    EXPECT_EQ(unicode_lower(in), std::string(1, low)) << c;
  }
}

}  // namespace
