#include "backends/worker_pool.hpp"

#include <algorithm>
#include <thread>
#include <vector>

namespace velmor_models::backends {
namespace {

// The pool's threads are started here, one at a time, rather than by its constructor:
// should starting one fail (no memory, no threads left), that constructor would wait
// forever for the threads it had already started. Here they are stopped and joined, and
// the error reaches the caller.
struct Workers {
  boost::asio::thread_pool pool{0};
  std::vector<std::thread> threads;

  Workers() {
    // At least four threads: a query that waits on a lock must not hold up all the others.
    const std::size_t n = std::max<std::size_t>(4, std::thread::hardware_concurrency());
    try {
      threads.reserve(n);
      for (std::size_t i = 0; i < n; ++i) threads.emplace_back([this] { pool.attach(); });
    } catch (...) {
      stop();
      throw;
    }
  }
  ~Workers() { stop(); }
  Workers(const Workers&) = delete;
  Workers& operator=(const Workers&) = delete;

  void stop() noexcept {
    pool.stop();
    for (std::thread& t : threads) t.join();
  }
};

}  // namespace

boost::asio::thread_pool& worker_pool() {
  static Workers workers;
  return workers.pool;
}

}  // namespace velmor_models::backends
