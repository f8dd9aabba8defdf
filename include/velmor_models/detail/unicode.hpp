#pragma once
// Unicode case conversion and case folding of UTF-8 text, shared by the schema bridge's
// type mappings and by the stores' case-insensitive lookups.
//
// Upper and lower case apply the default (full) case mappings of the Unicode character
// database: one-to-one mappings plus the unconditional one-to-many expansions, so
// "straße" upper-cases to "STRASSE", "ﬂ" to "FL" and "İ" lower-cases to "i" followed by
// U+0307 COMBINING DOT ABOVE. Context-dependent rules (the word-final sigma) and
// language-specific tailorings (Turkish, Lithuanian) are not applied: "Σ" always becomes
// "σ". The result does not depend on the process locale.
//
// Case folding is the full folding of CaseFolding.txt (statuses C and F, no Turkic T):
// two texts that differ only in case fold to the same text ("Straße" and "STRASSE" both
// fold to "strasse"; "Σ", "σ" and "ς" to "σ"; the Kelvin sign to "k").
//
// Bytes that are not part of well-formed UTF-8 (stray continuation bytes, overlong forms,
// surrogates, code points above U+10FFFF, truncated sequences) are copied unchanged, one
// byte at a time, and decoding resumes at the next byte.

#include <string>
#include <string_view>

namespace velmor_models::detail {

std::string unicode_upper(std::string_view text);
std::string unicode_lower(std::string_view text);
std::string casefold(std::string_view text);
/// True when `text` is well-formed UTF-8 throughout.
bool valid_utf8(std::string_view text) noexcept;
/// Appends the UTF-8 form of code point `cp` (at most U+10FFFF) to `out`.
void append_utf8(std::string& out, char32_t cp);

}  // namespace velmor_models::detail
