#pragma once
// Text helpers of the framework.

#include <string>
#include <string_view>

namespace velmor_utils::utils::text {

/// The class name for a table name: the last word singularised, every word
/// capitalised and joined ("users" -> "User", "order_items" -> "OrderItem",
/// "categories" -> "Category").
std::string classify(std::string_view table_name);

}  // namespace velmor_utils::utils::text
