// SpecificVersion: its own kind of text, equal and hash-equal to plain text, and every new
// text made from it is plain std::string.

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "velmor_models/utils/verpin.hpp"

namespace {

using namespace velmor_models::utils::verpin;
using SV = SpecificVersion;

// The kind: distinct, text underneath, never made implicitly from text.
static_assert(is_specific_version_v<const SV&> && !is_specific_version_v<std::string>);
static_assert(std::is_base_of_v<std::string, SV> && sizeof(SV) == sizeof(std::string));
static_assert(std::is_convertible_v<SV, const std::string&>);
static_assert(!std::is_convertible_v<std::string, SV> && !std::is_convertible_v<const char*, SV>);

// New text is plain text.
static_assert(std::is_same_v<decltype(SV() + "x"), std::string>);
static_assert(std::is_same_v<decltype("x" + SV()), std::string>);
static_assert(std::is_same_v<decltype(SV() + SV()), std::string>);
static_assert(std::is_same_v<decltype(SV() + 'x'), std::string>);
static_assert(std::is_same_v<decltype(SV().substr(1)), std::string>);
static_assert(std::is_same_v<decltype(to_upper(SV())), std::string>);

// In-place edits are not offered; each probe is checked against std::string first.
// clang-format off
template <class T> concept CanAppend = requires(T& v) { v.append("x"); };
template <class T> concept CanAddAssign = requires(T& v) { v += "x"; };
template <class T> concept CanPushBack = requires(T& v) { v.push_back('x'); };
template <class T> concept CanInsert = requires(T& v) { v.insert(0, "x"); };
template <class T> concept CanReplace = requires(T& v) { v.replace(0, 1, "x"); };
template <class T> concept CanErase = requires(T& v) { v.erase(0, 1); };
template <class T> concept CanResize = requires(T& v) { v.resize(1); };
template <class T> concept CanClear = requires(T& v) { v.clear(); };
template <class T> concept CanAssignText = requires(T& v) { v = std::string("x"); };
template <class T> concept CanWriteElement = requires(T& v) { v[0] = 'x'; };
template <class T> concept CanWriteViaIterator = requires(T& v) { *v.begin() = 'x'; };
// clang-format on
static_assert(CanAppend<std::string> && !CanAppend<SV>);
static_assert(CanAddAssign<std::string> && !CanAddAssign<SV>);
static_assert(CanPushBack<std::string> && !CanPushBack<SV>);
static_assert(CanInsert<std::string> && !CanInsert<SV>);
static_assert(CanReplace<std::string> && !CanReplace<SV>);
static_assert(CanErase<std::string> && !CanErase<SV>);
static_assert(CanResize<std::string> && !CanResize<SV>);
static_assert(CanClear<std::string> && !CanClear<SV>);
static_assert(CanAssignText<std::string> && !CanAssignText<SV>);
static_assert(CanWriteElement<std::string> && !CanWriteElement<SV>);
static_assert(CanWriteViaIterator<std::string> && !CanWriteViaIterator<SV>);
static_assert(std::is_copy_assignable_v<SV> && std::is_move_assignable_v<SV>);

TEST(SpecificVersionText, EqualsAndOrdersWithPlainText) {
  const SV v("1.4.2");
  const std::string s = "1.4.2";
  EXPECT_TRUE(v == s && s == v && v == "1.4.2" && "1.4.2" == v);
  EXPECT_TRUE(v == std::string_view("1.4.2") && std::string_view("1.4.2") == v);
  EXPECT_TRUE(v == SV(s));
  EXPECT_TRUE(v != "1.4.3" && v != "1.4");
  EXPECT_TRUE(v < std::string("1.5") && std::string("1.3") < v);
  const SV empty;  // allowed, and equal to ""
  EXPECT_TRUE(empty.empty() && empty == "" && empty == SV(""));
}

TEST(SpecificVersionText, HashesLikePlainText) {
  for (const char* text : {"", "1", "1.4.2", "2024.06.11-rc1+build.7"}) {
    EXPECT_EQ(std::hash<SV>{}(SV(text)), std::hash<std::string>{}(text));
    EXPECT_EQ(TextHash{}(SV(text)), std::hash<std::string>{}(text));
  }
}

TEST(SpecificVersionText, FoundByPlainTextAndFindsPlainText) {
  const SV v("1.4.2");
  // Containers of plain text find a SpecificVersion, and count it as the same key.
  const std::unordered_set<std::string> texts = {"1.4.2", "0.9"};
  EXPECT_TRUE(texts.contains(v));
  std::unordered_map<std::string, int> counts;
  counts[v] += 1;
  counts["1.4.2"] += 1;
  EXPECT_EQ(counts.size(), 1u);
  EXPECT_EQ(counts.at(v), 2);
  EXPECT_TRUE(std::set<std::string>({"1.4.2"}).contains(v));
  // Containers of SpecificVersion find plain text through transparent lookup.
  const std::unordered_set<SV, TextHash, std::equal_to<>> pins = {v};
  EXPECT_TRUE(pins.contains(std::string("1.4.2")) && pins.contains("1.4.2"));
  EXPECT_FALSE(pins.contains("1.4"));
  const std::map<SV, int, std::less<>> by_pin = {{v, 7}};
  EXPECT_EQ(by_pin.find(std::string("1.4.2"))->second, 7);
  EXPECT_TRUE(std::unordered_set<SV>({v}).contains(SV("1.4.2")));
}

TEST(SpecificVersionText, NewTextIsPlainWithTheRightCharacters) {
  const SV v("v1.4.2-RC");
  EXPECT_EQ(v + ".1", "v1.4.2-RC.1");
  EXPECT_EQ("pkg==" + v, "pkg==v1.4.2-RC");
  EXPECT_EQ(v.substr(1, 5), "1.4.2");
  EXPECT_EQ(to_upper(v), "V1.4.2-RC");
  EXPECT_EQ(to_lower(v), "v1.4.2-rc");
}

TEST(SpecificVersionText, ReadsLikeText) {
  const SV v("1.4.2");
  SV w("0");
  w = v;  // rebinding to another SpecificVersion is fine
  EXPECT_EQ(w, "1.4.2");
  EXPECT_TRUE(v[0] == '1' && v.at(2) == '4' && v.front() == '1' && v.back() == '2');
  EXPECT_EQ(std::string(v.rbegin(), v.rend()), "2.4.1");
  EXPECT_TRUE(v.starts_with("1.4") && v.find('.') == 1u);
  EXPECT_THROW((void)v.at(9), std::out_of_range);
  const std::string& as_text = v;  // binds without a copy
  EXPECT_EQ(as_text.data(), v.data());
}

}  // namespace
