#pragma once
// How a coroutine waiting for something another thread hands over (a pool's connection, a
// pipeline's result) is woken: a channel any thread may signal, awaited on the waiter's own
// loop. One signal is kept until it is taken, so a wake that comes first is not lost.

#include <boost/asio/awaitable.hpp>
#include <boost/asio/experimental/concurrent_channel.hpp>

namespace velmor_models::backends::postgres {

using WakeChannel = boost::asio::experimental::concurrent_channel<void(boost::system::error_code)>;

/// A channel for a waiter on `executor`.
template <class Executor>
WakeChannel wake_channel(const Executor& executor) {
  return WakeChannel(executor, 1);
}

/// Signals `channel`: its waiter wakes, or will not wait when it comes to.
void wake(WakeChannel& channel) noexcept;

/// Waits for a signal. A cancelled wait is operation_aborted, as every other wait of the
/// store.
boost::asio::awaitable<void> woken(WakeChannel& channel);

}  // namespace velmor_models::backends::postgres
