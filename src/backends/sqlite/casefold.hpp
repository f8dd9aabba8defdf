#pragma once
// The case folding that `iexact` and `icontains` compare with, as SQLite calls it.

#include <string>
#include <string_view>

namespace velmor_models::backends::sqlite {

/// The one place the SQL function `velmor_casefold` takes its folding from.
std::string fold_case(std::string_view text);

}  // namespace velmor_models::backends::sqlite
