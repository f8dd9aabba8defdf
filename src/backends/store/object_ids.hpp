#pragma once
// Object ids the store makes when the caller gives none.

#include <string>

namespace velmor_models::backends::store {

/// A new object id: a version-7-style UUID text (time first, then random bits), unique
/// across threads and processes.
std::string generated_id();

}  // namespace velmor_models::backends::store
