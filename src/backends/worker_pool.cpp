#include "backends/worker_pool.hpp"

#include <algorithm>
#include <thread>

namespace velmor_models::backends {

boost::asio::thread_pool& worker_pool() {
  // At least four threads: a query that waits on a lock must not hold up all the others.
  static boost::asio::thread_pool pool(
      std::max<std::size_t>(4, std::thread::hardware_concurrency()));
  return pool;
}

}  // namespace velmor_models::backends
