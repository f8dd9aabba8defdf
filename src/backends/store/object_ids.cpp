#include "backends/store/object_ids.hpp"

#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <random>
#include <thread>

namespace velmor_models::backends::store {

std::string generated_id() {
  // Seeded again in a forked child, which would otherwise repeat its parent's ids.
  thread_local std::mt19937_64 rng;
  thread_local pid_t seeded_for = 0;
  if (seeded_for != ::getpid()) {
    seeded_for = ::getpid();
    std::random_device device;
    rng.seed((static_cast<std::uint64_t>(device()) << 32) ^ device() ^
             std::hash<std::thread::id>{}(std::this_thread::get_id()));
  }
  // Time first (milliseconds, 48 bits, as in a version-7 UUID), then random bits: ids made
  // one after another sort together, so the id indexes grow at their end instead of
  // being written at random places (a save of many objects then touches few pages).
  const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count();
  const std::uint64_t a = (static_cast<std::uint64_t>(now) << 16) | 0x7000 | (rng() & 0x0fff);
  const std::uint64_t b = (rng() & 0x3fffffffffffffffULL) | 0x8000000000000000ULL;
  char buf[40];
  std::snprintf(buf, sizeof buf, "%08x-%04x-%04x-%04x-%012llx", static_cast<unsigned>(a >> 32),
                static_cast<unsigned>((a >> 16) & 0xffff), static_cast<unsigned>(a & 0xffff),
                static_cast<unsigned>(b >> 48),
                static_cast<unsigned long long>(b & 0xffffffffffffULL));
  return buf;
}

}  // namespace velmor_models::backends::store
