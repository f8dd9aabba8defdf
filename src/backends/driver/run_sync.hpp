#pragma once
// The synchronous form of work written once as a coroutine over driver operations: the
// coroutine runs to its end on the calling thread, on an io_context of the thread's own,
// and the operations it awaits run their blocking steps inline (no worker thread) and
// wait for their sockets on that context. Only the waits differ from the coroutine form.

#include <boost/asio/awaitable.hpp>
#include <boost/asio/execution_context.hpp>
#include <optional>
#include <utility>

namespace velmor_models::backends::driver {

/// Runs `work` to its end on the calling thread; its error is rethrown. May be called
/// again from inside such work (each level has a context of its own).
void run_sync(boost::asio::awaitable<void> work);

/// True when `context` is one of the calling thread's synchronous contexts: the work
/// awaiting there is a synchronous call, so a blocking step may run inline.
bool is_sync_context(const boost::asio::execution_context& context) noexcept;

namespace detail {
template <class T>
boost::asio::awaitable<void> kept(boost::asio::awaitable<T> work, std::optional<T>& out) {
  out.emplace(co_await std::move(work));
}
}  // namespace detail

template <class T>
T run_sync(boost::asio::awaitable<T> work) {
  std::optional<T> out;
  run_sync(detail::kept(std::move(work), out));
  return std::move(*out);
}

}  // namespace velmor_models::backends::driver
