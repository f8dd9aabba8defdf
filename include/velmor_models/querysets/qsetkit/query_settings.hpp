#pragma once
// How a query set runs: kept by the C++ copy, reset by the framework's copy (`_copy`).

#include "velmor_models/querysets/async_executor.hpp"
#include "velmor_models/querysets/executor.hpp"

namespace velmor_models::querysets::qsetkit {

/// The executor factories and the strict-class-version flag. The defaults stand for the
/// Executor and AsyncExecutor classes themselves.
struct QuerySettings {
  executor::ExecutorFactory executor{&executor::Executor::create};
  executor::AsyncExecutorFactory async_executor{&executor::create_async_executor};
  bool strict_class_version = false;
};

}  // namespace velmor_models::querysets::qsetkit
