#pragma once
// SpecificVersion: the text of a pinned version ("1.4.2"), kept apart from other text by its
// type alone.

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

namespace velmor_models::utils::verpin {

/// Text that is its own type and nothing more.
///
/// It derives publicly from std::string, adding no state, rather than wrapping one: that way it
/// *is* text wherever text is expected. It binds to const std::string& without a copy, compares
/// and orders with plain text through std::string's own operators, and an
/// std::unordered_set<std::string> or std::map<std::string, T> finds it directly. A wrapper would
/// have to forward every operation and still could not bind to const std::string&.
///
/// Being a distinct type is all it adds, so text made from it is plain std::string:
/// concatenation (+), substr and the case changes below all return std::string. For the same
/// reason the members that would edit it in place (append, +=, insert, replace, erase, resize,
/// clear, assign from other text, mutable element access) are hidden: an edited version is new
/// text and must not keep the kind. Assigning one SpecificVersion to another is fine.
/// Construction is explicit, so plain text never turns into a SpecificVersion unnoticed.
class SpecificVersion : public std::string {
 public:
  SpecificVersion() = default;
  explicit SpecificVersion(std::string text) noexcept : std::string(std::move(text)) {}
  explicit SpecificVersion(std::string_view text) : std::string(text) {}
  explicit SpecificVersion(const char* text) : std::string(text) {}

  /// A plain-text copy.
  [[nodiscard]] std::string str() const { return *this; }

  // Read-only access; these hide std::string's mutable overloads.
  [[nodiscard]] const_reference operator[](size_type i) const { return std::string::operator[](i); }
  [[nodiscard]] const_reference at(size_type i) const { return std::string::at(i); }
  [[nodiscard]] const_reference front() const { return std::string::front(); }
  [[nodiscard]] const_reference back() const { return std::string::back(); }
  [[nodiscard]] const char* data() const noexcept { return std::string::data(); }
  [[nodiscard]] const_iterator begin() const noexcept { return cbegin(); }
  [[nodiscard]] const_iterator end() const noexcept { return cend(); }
  [[nodiscard]] const_reverse_iterator rbegin() const noexcept { return crbegin(); }
  [[nodiscard]] const_reverse_iterator rend() const noexcept { return crend(); }

  // In-place edits would produce new text that still carries the kind.
  template <class... Args>
  void assign(Args&&...) = delete;
  template <class... Args>
  void append(Args&&...) = delete;
  template <class Arg>
  void operator+=(Arg&&) = delete;
  template <class... Args>
  void insert(Args&&...) = delete;
  template <class... Args>
  void replace(Args&&...) = delete;
  template <class... Args>
  void erase(Args&&...) = delete;
  template <class... Args>
  void resize(Args&&...) = delete;
  template <class... Args>
  void push_back(Args&&...) = delete;
  void pop_back() = delete;
  void clear() = delete;
  void swap(std::string&) = delete;
};

template <class T>
inline constexpr bool is_specific_version_v =
    std::is_same_v<std::remove_cvref_t<T>, SpecificVersion>;

/// ASCII case changes (version text is ASCII); the result is plain text whatever the input.
[[nodiscard]] inline std::string to_upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}
[[nodiscard]] inline std::string to_lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

/// Transparent hash for heterogeneous lookup: with std::equal_to<>, an unordered container of
/// SpecificVersion finds plain text and one of std::string finds a SpecificVersion, both
/// without building a key. Equal to std::hash<std::string> for the same characters.
struct TextHash {
  using is_transparent = void;
  [[nodiscard]] std::size_t operator()(std::string_view text) const noexcept {
    return std::hash<std::string_view>{}(text);
  }
};

}  // namespace velmor_models::utils::verpin

/// Hashes exactly like std::hash<std::string>, so equal text has equal hashes across the kinds.
template <>
struct std::hash<velmor_models::utils::verpin::SpecificVersion> {
  [[nodiscard]] std::size_t operator()(
      const velmor_models::utils::verpin::SpecificVersion& v) const noexcept {
    return std::hash<std::string_view>{}(v);
  }
};
