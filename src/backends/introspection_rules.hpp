#pragma once
// What every store's introspection leaves out of the model classes it makes: the store's
// own bookkeeping tables, and in a table the framework wrote (one with `_metadata`) the
// metadata and address columns, which are not fields.

#include <boost/json/array.hpp>
#include <string_view>

namespace velmor_models::backends {

/// True for a table the object store keeps for itself (`_velmor_classes`, ...): not a
/// model table.
bool is_store_table(std::string_view name) noexcept;

/// Takes the metadata and address columns, and the store's own `_velmor_...` columns, out
/// of `columns` (one JSON object per column, its name under `name_key`) when one of them
/// is `_metadata`; true when none is (a plain table, whose columns all stay).
bool drop_framework_columns(boost::json::array& columns, std::string_view name_key);

}  // namespace velmor_models::backends
