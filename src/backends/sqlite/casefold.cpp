#include "backends/sqlite/casefold.hpp"

namespace velmor_models::backends::sqlite {

// ASCII only for now; full Unicode folding replaces this body.
std::string fold_case(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

}  // namespace velmor_models::backends::sqlite
