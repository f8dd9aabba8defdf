#pragma once
#include "velmor_models/classes/model.hpp"

namespace velmor_models::classes::utils {

/// True exactly for classes made by create_partial_model.
inline bool is_partial_model(const model::ModelClass& cls) noexcept { return cls.is_partial(); }

}  // namespace velmor_models::classes::utils
