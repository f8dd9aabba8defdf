#pragma once
// Text-valued enumerations: every member is at the same time a text equal to its value.
//
// An enumeration E derives from TextEnum<E>, names itself in `enum_name`, sums itself up
// in `enum_summary` (one sentence), declares its
// members as `static const E NAME;` (defined `inline constexpr` after the class) and
// lists them in declaration order from `static std::span<const E> members()`.
// Members compare equal to any text with the same characters and to members of any
// other text enumeration with the same value.

#include <boost/json/value.hpp>
#include <boost/json/value_from.hpp>
#include <cstddef>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "velmor_utils/errors.hpp"

namespace velmor_utils {

/// The part of a member that does not depend on its enumeration.
class TextEnumValue {
 public:
  constexpr TextEnumValue(std::string_view name, std::string_view value,
                          std::string_view doc = {}) noexcept
      : name_(name), value_(value), doc_(doc) {}

  constexpr std::string_view name() const noexcept { return name_; }
  constexpr std::string_view value() const noexcept { return value_; }
  /// The member's documentation line.
  constexpr std::string_view doc() const noexcept { return doc_; }
  constexpr operator std::string_view() const noexcept { return value_; }
  std::string str() const { return std::string(value_); }

  friend constexpr bool operator==(const TextEnumValue& a, const TextEnumValue& b) noexcept {
    return a.value_ == b.value_;
  }
  friend constexpr bool operator==(const TextEnumValue& a, std::string_view b) noexcept {
    return a.value_ == b;
  }
  friend constexpr bool operator==(const TextEnumValue& a, const char* b) noexcept {
    return a.value_ == std::string_view(b);
  }
  friend bool operator==(const TextEnumValue& a, const std::string& b) noexcept {
    return a.value_ == b;
  }

  /// A member stored in a dynamic value is its text.
  friend void tag_invoke(boost::json::value_from_tag, boost::json::value& jv,
                         const TextEnumValue& m) {
    jv = boost::json::string_view(m.value_.data(), m.value_.size());
  }

 private:
  std::string_view name_;
  std::string_view value_;
  std::string_view doc_;
};

template <class E>
class TextEnum : public TextEnumValue {
 public:
  using TextEnumValue::TextEnumValue;

  /// The member whose value is `value`; ValueError when no member has it.
  static const E& from_value(std::string_view value) {
    for (const E& m : E::members())
      if (m.value() == value) return m;
    throw errors::ValueError("'" + std::string(value) + "' is not a valid " +
                             std::string(E::enum_name));
  }

  /// The member called `name`; KeyError when there is none.
  static const E& from_name(std::string_view name) {
    for (const E& m : E::members())
      if (m.name() == name) return m;
    throw errors::KeyError(name);
  }

  /// The enumeration's documentation text: the summary, then one "Attributes:" line per
  /// member built from the member's own documentation line, kept in one place.
  static std::string enum_doc() {
    std::string doc = std::string(E::enum_summary) + "\n\nAttributes:\n";
    for (const E& m : E::members())
      doc.append("    ").append(m.name()).append(" (str): ").append(m.doc()).append("\n");
    return doc;
  }
};

}  // namespace velmor_utils

template <>
struct std::hash<velmor_utils::TextEnumValue> {
  std::size_t operator()(const velmor_utils::TextEnumValue& m) const noexcept {
    return std::hash<std::string_view>{}(m.value());
  }
};
