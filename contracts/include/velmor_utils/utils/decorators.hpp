#pragma once
// The framework's synchronous and asynchronous modes, and the guards of operations that
// belong to one of them.

#include <string_view>

#include "velmor_utils/errors.hpp"

namespace velmor_utils::utils::decorators {

enum class Mode { sync, async };

/// The mode the framework runs in; the application sets it (synchronous by default).
Mode mode() noexcept;
void set_mode(Mode mode) noexcept;

/// Sets a mode for the lifetime of the scope and restores the previous one.
class ModeScope {
 public:
  explicit ModeScope(Mode mode) noexcept : previous_(velmor_utils::utils::decorators::mode()) {
    set_mode(mode);
  }
  ~ModeScope() { set_mode(previous_); }
  ModeScope(const ModeScope&) = delete;
  ModeScope& operator=(const ModeScope&) = delete;

 private:
  Mode previous_;
};

/// An operation was used in the mode it does not belong to.
class ModeError : public velmor_utils::errors::Error {
 public:
  using Error::Error;
};

/// Called on entry of an operation that belongs to synchronous mode; ModeError otherwise.
void sync_mode_only(std::string_view operation);
/// Called on entry of an operation that belongs to asynchronous mode; ModeError otherwise.
void async_mode_only(std::string_view operation);

}  // namespace velmor_utils::utils::decorators
