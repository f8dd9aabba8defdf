#include "backends/worker_pool.hpp"

#include <algorithm>
#include <boost/system/system_error.hpp>
#include <condition_variable>
#include <thread>
#include <unordered_set>
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

void Interruption::cancel() {
  std::lock_guard lock(mutex);
  cancelled = true;
  if (stop) stop();
}

void Interruption::throw_if_cancelled() const {
  if (cancelled) throw boost::system::system_error(boost::asio::error::operation_aborted);
}

namespace detail {

class InFlight : public boost::asio::execution_context::service {
 public:
  static inline boost::asio::execution_context::id id;
  explicit InFlight(boost::asio::execution_context& context) : service(context) {}

  void add(Interruption& op) {
    std::lock_guard lock(mutex_);
    ops_.insert(&op);
  }
  void remove(Interruption* op) {
    std::lock_guard lock(mutex_);
    ops_.erase(op);
    if (ops_.empty()) drained_.notify_all();
  }

 private:
  void shutdown() override {
    std::unique_lock lock(mutex_);
    for (Interruption* op : ops_) op->cancel();
    drained_.wait(lock, [this] { return ops_.empty(); });
  }

  std::mutex mutex_;
  std::condition_variable drained_;
  std::unordered_set<Interruption*> ops_;
};

InFlight& in_flight(boost::asio::execution_context& context) {
  return boost::asio::use_service<InFlight>(context);
}

Flight::Flight(InFlight& flights, Interruption& op) : flights_(flights), op_(op) {
  flights_.add(op_);
}

Flight::~Flight() {
  flights_.remove(&op_);
}

}  // namespace detail

}  // namespace velmor_models::backends
