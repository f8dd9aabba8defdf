#include "velmor_utils/utils/decorators.hpp"

#include <atomic>
#include <string>

namespace velmor_utils::utils::decorators {
namespace {

std::atomic<Mode> current_mode{Mode::sync};

}  // namespace

Mode mode() noexcept { return current_mode.load(std::memory_order_relaxed); }
void set_mode(Mode m) noexcept { current_mode.store(m, std::memory_order_relaxed); }

void sync_mode_only(std::string_view operation) {
  if (mode() != Mode::sync)
    throw ModeError(std::string(operation) +
                    " can only be used in synchronous mode; the framework runs in asynchronous mode");
}

void async_mode_only(std::string_view operation) {
  if (mode() != Mode::async)
    throw ModeError(std::string(operation) +
                    " can only be used in asynchronous mode; the framework runs in synchronous mode");
}

}  // namespace velmor_utils::utils::decorators
