#include "velmor_utils/utils/text.hpp"

#include <cctype>
#include <vector>

namespace velmor_utils::utils::text {
namespace {

bool ends_with(std::string_view s, std::string_view suffix) {
  return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

// English plural of the common table-name kinds to its singular; unknown forms stay.
std::string singularize(std::string_view w) {
  std::string lower(w);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  auto cut = [&](std::size_t n, std::string_view add = {}) {
    return std::string(w.substr(0, w.size() - n)) + std::string(add);
  };
  if (ends_with(lower, "ies") && w.size() > 3) return cut(3, "y");
  if (ends_with(lower, "sses") || ends_with(lower, "ches") || ends_with(lower, "shes") ||
      ends_with(lower, "xes") || ends_with(lower, "zzes"))
    return cut(2);
  if (ends_with(lower, "ss") || ends_with(lower, "us") || ends_with(lower, "is"))
    return std::string(w);
  if (ends_with(lower, "s") && w.size() > 1) return cut(1);
  return std::string(w);
}

}  // namespace

std::string classify(std::string_view table_name) {
  std::vector<std::string_view> words;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= table_name.size(); ++i) {
    if (i == table_name.size() || table_name[i] == '_' || table_name[i] == '-' ||
        table_name[i] == ' ' || table_name[i] == '.') {
      if (i > start) words.push_back(table_name.substr(start, i - start));
      start = i + 1;
    }
  }
  std::string out;
  for (std::size_t i = 0; i < words.size(); ++i) {
    std::string word = i + 1 == words.size() ? singularize(words[i]) : std::string(words[i]);
    if (!word.empty())
      word[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(word[0])));
    out += word;
  }
  return out;
}

std::string printable(std::string_view text) {
  static constexpr char hex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '\\') {
      out += "\\\\";
    } else if (c == 0) {
      out += "\\0";
    } else if (c < 0x20 || c == 0x7f) {
      out += "\\x";
      out += hex[c >> 4];
      out += hex[c & 15];
    } else {
      out += ch;
    }
  }
  return out;
}

}  // namespace velmor_utils::utils::text
