#pragma once
#include "velmor_models/classes/model.hpp"

namespace pydantic_partial {

/// A class derived from `cls`, named after it with the suffix "Partial", whose fields
/// are all optional. Every call makes a new class.
velmor_models::classes::model::ModelClassPtr create_partial_model(
    const velmor_models::classes::model::ModelClassPtr& cls);

}  // namespace pydantic_partial
