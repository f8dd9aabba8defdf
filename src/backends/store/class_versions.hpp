#pragma once
// Class versions: the schemas the lakehouse records for each model class, the rule that
// says which versions are compatible, and the process-wide cache that answers both.

#include <cstdint>

#include "backends/store/store_db.hpp"
#include "velmor_models/classes/model.hpp"

namespace velmor_models::backends::store {

/// The class version `cls` (this class object) saves under: registered on its first use.
/// `cls` must outlive the awaitable.
awaitable<std::int64_t> class_version_for(const classes::model::ModelClassPtr& cls);

}  // namespace velmor_models::backends::store
