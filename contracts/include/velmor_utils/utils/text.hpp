#pragma once
// Text helpers of the framework.

#include <string>
#include <string_view>

namespace velmor_utils::utils::text {

/// The class name for a table name: the last word singularised, every word
/// capitalised and joined ("users" -> "User", "order_items" -> "OrderItem",
/// "categories" -> "Category").
std::string classify(std::string_view table_name);

/// `text` as an error message shows it: control bytes escaped (NUL as "\0", the others as
/// "\xNN", a backslash as "\\"), so that a message never hides or cuts what was given.
std::string printable(std::string_view text);

}  // namespace velmor_utils::utils::text
