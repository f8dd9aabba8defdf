#include "backends/introspection_rules.hpp"

#include <algorithm>

#include "backends/stored_value.hpp"

namespace velmor_models::backends {
namespace {

constexpr std::string_view kMetadataColumn = "_metadata";

std::string_view name_of(const boost::json::value& column, std::string_view name_key) {
  const boost::json::value* name =
      column.is_object() ? column.get_object().if_contains(name_key) : nullptr;
  return name && name->is_string() ? std::string_view(name->get_string()) : std::string_view();
}

}  // namespace

bool is_store_table(std::string_view name) noexcept {
  return name.starts_with("_velmor_");
}

bool drop_framework_columns(boost::json::array& columns, std::string_view name_key) {
  const bool plain = std::none_of(columns.begin(), columns.end(), [&](const auto& c) {
    return name_of(c, name_key) == kMetadataColumn;
  });
  if (plain) return true;
  boost::json::array kept;
  for (boost::json::value& c : columns) {
    const std::string_view name = name_of(c, name_key);
    // `_velmor_...` columns are the store's own (the insertion order, say), never fields.
    if (name != kMetadataColumn && !is_address_column(name) && !name.starts_with("_velmor_"))
      kept.push_back(std::move(c));
  }
  columns = std::move(kept);
  return false;
}

}  // namespace velmor_models::backends
