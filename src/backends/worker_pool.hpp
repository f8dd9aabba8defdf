#pragma once
// The threads that run blocking database calls for coroutines, so that no caller's event
// loop waits on a database, and the one way work gets there and back.

#include <boost/asio/associated_cancellation_slot.hpp>
#include <boost/asio/associated_executor.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/execution/context_as.hpp>
#include <boost/asio/execution_context.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>

namespace velmor_models::backends {

/// The process's worker pool, started on first use.
boost::asio::thread_pool& worker_pool();

/// What a cancellation does to work on a worker. Before the work starts it never starts
/// (the caller gets operation_aborted). While it runs, `stop` (installed by the work, under
/// `mutex`, for as long as stopping it is safe) is called; work without one runs to its end
/// and its outcome is delivered, so a write is never reported as failed once it began.
struct Interruption {
  std::mutex mutex;
  bool cancelled = false;
  std::function<void()> stop;
  void cancel();
  /// operation_aborted when cancelled already; call under `mutex`.
  void throw_if_cancelled() const;
};

namespace detail {

/// The work a caller's execution context is waiting for. Destroying the context (an
/// io_context stopped or abandoned while work runs) cancels it and waits until each worker
/// has handed its result over: the context's own shutdown then destroys the waiting
/// coroutines, and no worker touches the context after it is gone.
class InFlight;
InFlight& in_flight(boost::asio::execution_context& context);

/// One piece of work's place in its context's InFlight for as long as a worker may still
/// touch the context; left also when the work never reached a worker (a failed post).
class Flight {
 public:
  Flight(InFlight& flights, Interruption& op);
  ~Flight();
  Flight(const Flight&) = delete;
  Flight& operator=(const Flight&) = delete;

 private:
  InFlight& flights_;
  Interruption& op_;
};

/// Runs `work` under `op`: operation_aborted instead of running when cancelled first, and
/// instead of the work's own error when the work was stopped by a cancellation.
template <class T>
T run_interruptible(Interruption& op, const std::function<T(Interruption&)>& work) {
  {
    std::lock_guard lock(op.mutex);
    op.throw_if_cancelled();
  }
  try {
    return work(op);
  } catch (...) {
    std::lock_guard lock(op.mutex);
    const bool stopped = op.cancelled && op.stop;
    op.stop = nullptr;
    if (stopped) op.throw_if_cancelled();
    throw;
  }
}

}  // namespace detail

/// Runs `work` on a worker thread and completes on the caller's executor, with the
/// cancellation rules of Interruption. `work` owns everything it reads.
template <class T>
boost::asio::awaitable<T> on_worker(std::function<T(Interruption&)> work) {
  auto initiate = [work = std::move(work)](auto handler) mutable {
    auto op = std::make_shared<Interruption>();
    auto slot = boost::asio::get_associated_cancellation_slot(handler);
    if (slot.is_connected()) slot.assign([op](boost::asio::cancellation_type) { op->cancel(); });
    auto caller = boost::asio::make_work_guard(boost::asio::get_associated_executor(handler));
    auto flight = std::make_unique<detail::Flight>(
        detail::in_flight(boost::asio::query(
            caller.get_executor(),
            boost::asio::execution::context_as<boost::asio::execution_context&>)),
        *op);
    boost::asio::post(
        worker_pool(), [work = std::move(work), handler = std::move(handler),
                        caller = std::move(caller), op, flight = std::move(flight)]() mutable {
          std::exception_ptr error;
          T result{};
          try {
            result = detail::run_interruptible<T>(*op, work);
          } catch (...) {
            error = std::current_exception();
          }
          auto executor = caller.get_executor();
          boost::asio::post(executor, [handler = std::move(handler), error = std::move(error),
                                       result = std::move(result)]() mutable {
            auto slot = boost::asio::get_associated_cancellation_slot(handler);
            if (slot.is_connected()) slot.clear();
            std::move(handler)(error, std::move(result));
          });
          caller.reset();
          flight.reset();  // last: the context may go away from here on
        });
  };
  co_return co_await boost::asio::async_initiate<const boost::asio::use_awaitable_t<>&,
                                                 void(std::exception_ptr, T)>(
      std::move(initiate), boost::asio::use_awaitable);
}

}  // namespace velmor_models::backends
