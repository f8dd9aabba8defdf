#include "backends/statement_log.hpp"

#include <spdlog/sinks/stdout_color_sinks.h>

namespace velmor_models::backends {

spdlog::logger& statement_logger() {
  static const std::shared_ptr<spdlog::logger> logger = [] {
    constexpr const char* name = "velmor_models.backends.sql";
    if (auto existing = spdlog::get(name)) return existing;
    auto made = std::make_shared<spdlog::logger>(
        name, std::make_shared<spdlog::sinks::stderr_color_sink_mt>());
    made->set_level(spdlog::level::off);
    try {
      spdlog::register_logger(made);
    } catch (const spdlog::spdlog_ex&) {
      // Registered by another thread meanwhile: use that one.
      if (auto existing = spdlog::get(name)) return existing;
    }
    return made;
  }();
  return *logger;
}

StatementTimer::~StatementTimer() {
  if (!log_) return;
  auto micros = std::chrono::duration_cast<std::chrono::microseconds>(
                    std::chrono::steady_clock::now() - start_)
                    .count();
  statement_logger().debug("({} us) [{}] {}", micros, alias_, sql_);
}

}  // namespace velmor_models::backends
