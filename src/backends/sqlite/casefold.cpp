#include "backends/sqlite/casefold.hpp"

#include "velmor_models/detail/unicode.hpp"

namespace velmor_models::backends::sqlite {

// Full Unicode case folding, the same the compiler applies to bound values.
std::string fold_case(std::string_view text) {
  return detail::casefold(text);
}

}  // namespace velmor_models::backends::sqlite
