#pragma once
// The statement log: every statement a store runs, with its duration, at debug level on
// the logger "velmor_models.backends.sql" (off until the application turns it on).

#include <spdlog/spdlog.h>

#include <chrono>
#include <memory>
#include <string_view>

namespace velmor_models::backends {

/// The logger; an application that registered one of that name first gets its own.
spdlog::logger& statement_logger();

/// Times one statement when the logger would print it; costs nothing otherwise.
class StatementTimer {
 public:
  StatementTimer(std::string_view alias, std::string_view sql)
      : alias_(alias), sql_(sql), log_(statement_logger().should_log(spdlog::level::debug)) {
    if (log_) start_ = std::chrono::steady_clock::now();
  }
  ~StatementTimer();
  StatementTimer(const StatementTimer&) = delete;
  StatementTimer& operator=(const StatementTimer&) = delete;

 private:
  std::string_view alias_;
  std::string_view sql_;
  bool log_;
  std::chrono::steady_clock::time_point start_;
};

}  // namespace velmor_models::backends
