#include <array>

#include "velmor_glue/glue.hpp"

namespace velmor_glue {

std::span<const Version> Version::members() noexcept {
  static constexpr std::array all{LATEST};
  return all;
}

}  // namespace velmor_glue
