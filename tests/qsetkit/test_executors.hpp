#pragma once
// Executors and version sources for tests: they record how often they were made and
// hand back what a test gave them.

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <exception>
#include <functional>
#include <optional>

#include "velmor_data/connections/historical/async_schema_version_manager.hpp"
#include "velmor_models/querysets/async_executor.hpp"

namespace velmor_test {

using velmor_glue::Data;
using velmor_models::querysets::executor::AsyncExecutorBase;
using velmor_models::querysets::executor::ExecutorBase;
using velmor_models::querysets::executor::QuerySetReader;
using Records = std::optional<std::vector<Data>>;

/// What a test executor answers; `fail` is thrown instead when set.
struct Script {
  Records records = std::vector<Data>{};
  std::int64_t count = 0;
  std::exception_ptr fail;
  int made = 0;  ///< executors made so far
  bool slow = false;  ///< the asynchronous query waits until it is cancelled
  std::function<void(const QuerySetReader&)> inspect;
};

class ScriptedExecutor : public ExecutorBase {
 public:
  explicit ScriptedExecutor(Script& s) : s_(s) {}
  Records query() override {
    if (s_.fail) std::rethrow_exception(s_.fail);
    return s_.records;
  }
  std::int64_t count() override {
    if (s_.fail) std::rethrow_exception(s_.fail);
    return s_.count;
  }

 private:
  Script& s_;
};

class ScriptedAsyncExecutor : public AsyncExecutorBase {
 public:
  explicit ScriptedAsyncExecutor(Script& s) : s_(s) {}
  boost::asio::awaitable<Records> query() override {
    // Suspends once, as a real database round trip would.
    boost::asio::steady_timer timer(co_await boost::asio::this_coro::executor);
    if (s_.slow) timer.expires_after(std::chrono::hours(1));
    co_await timer.async_wait(boost::asio::use_awaitable);
    if (s_.fail) std::rethrow_exception(s_.fail);
    co_return s_.records;
  }
  boost::asio::awaitable<std::int64_t> count() override {
    if (s_.fail) std::rethrow_exception(s_.fail);
    co_return s_.count;
  }

 private:
  Script& s_;
};

inline velmor_models::querysets::executor::ExecutorFactory factory(Script& s) {
  return [&s](const QuerySetReader& qs) -> std::unique_ptr<ExecutorBase> {
    ++s.made;
    if (s.inspect) s.inspect(qs);
    return std::make_unique<ScriptedExecutor>(s);
  };
}

inline velmor_models::querysets::executor::AsyncExecutorFactory async_factory(Script& s) {
  return [&s](const QuerySetReader& qs) -> std::unique_ptr<AsyncExecutorBase> {
    ++s.made;
    if (s.inspect) s.inspect(qs);
    return std::make_unique<ScriptedAsyncExecutor>(s);
  };
}

/// Answers the latest schema version of every class and counts the questions, for the
/// synchronous and the asynchronous managers; restores the previous sources at the end.
class LatestVersions {
 public:
  explicit LatestVersions(boost::json::value latest) : latest_(std::move(latest)) {
    namespace m = velmor_data::connections::historical::schema_version_manager;
    previous_ = m::set_latest_version_source([this](std::string_view) {
      ++lookups;
      return latest_;
    });
    previous_async_ = m::set_async_latest_version_source(
        [this](std::string) -> boost::asio::awaitable<boost::json::value> {
          ++lookups;
          co_return latest_;
        });
  }
  ~LatestVersions() {
    namespace m = velmor_data::connections::historical::schema_version_manager;
    m::set_latest_version_source(std::move(previous_));
    m::set_async_latest_version_source(std::move(previous_async_));
  }
  int lookups = 0;

 private:
  boost::json::value latest_;
  velmor_data::connections::historical::schema_version_manager::LatestVersionSource previous_;
  velmor_data::connections::historical::schema_version_manager::AsyncLatestVersionSource
      previous_async_;
};

/// Runs an awaitable to completion on a fresh event loop; its error is rethrown here.
template <class T>
T run(boost::asio::awaitable<T> op) {
  boost::asio::io_context loop;
  std::optional<T> out;
  std::exception_ptr error;
  boost::asio::co_spawn(
      loop,
      [&]() -> boost::asio::awaitable<void> { out.emplace(co_await std::move(op)); },
      [&](std::exception_ptr e) { error = e; });
  loop.run();
  if (error) std::rethrow_exception(error);
  return std::move(*out);
}

}  // namespace velmor_test
