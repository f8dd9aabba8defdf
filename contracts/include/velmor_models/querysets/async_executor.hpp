#pragma once
// The coroutine executors.

#include <boost/asio/awaitable.hpp>

#include "velmor_models/querysets/executor.hpp"

namespace velmor_models::querysets::executor {

class AsyncExecutorBase {
 public:
  virtual ~AsyncExecutorBase() = default;
  virtual boost::asio::awaitable<std::optional<std::vector<velmor_glue::Data>>> query() = 0;
  virtual boost::asio::awaitable<std::int64_t> count() = 0;
};

/// The default asynchronous executor: the database the alias names, without blocking the
/// caller's event loop.
class AsyncExecutor : public AsyncExecutorBase {
 public:
  explicit AsyncExecutor(const QuerySetReader& qs) : qs_(qs) {}
  static std::unique_ptr<AsyncExecutorBase> create(const QuerySetReader& qs);
  boost::asio::awaitable<std::optional<std::vector<velmor_glue::Data>>> query() override;
  boost::asio::awaitable<std::int64_t> count() override;

 private:
  const QuerySetReader& qs_;
};

}  // namespace velmor_models::querysets::executor
