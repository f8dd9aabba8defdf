#include "velmor_models/backends/driver/operation.hpp"

#include <poll.h>

#include <algorithm>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <cerrno>
#include <chrono>
#include <climits>
#include <functional>
#include <optional>
#include <system_error>

#include "backends/driver/run_sync.hpp"
#include "backends/worker_pool.hpp"

namespace velmor_models::backends::driver {
namespace {

short events_of(Wait::Kind kind) {
  switch (kind) {
    case Wait::Kind::readable:
      return POLLIN;
    case Wait::Kind::writable:
      return POLLOUT;
    default:
      return POLLIN | POLLOUT;
  }
}

// The poll(2) timeout for `wait`: none (-1), or the milliseconds left until its deadline.
int poll_timeout(const Wait& wait) {
  if (!wait.deadline) return -1;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(*wait.deadline -
                                                                 std::chrono::steady_clock::now());
  return static_cast<int>(std::clamp<long long>(left.count(), 0, INT_MAX));
}

// Waits until `socket` is ready as `kind` asks: which readiness came.
boost::asio::awaitable<Ready> socket_ready(boost::asio::posix::stream_descriptor& socket,
                                           Wait::Kind kind) {
  using boost::asio::posix::stream_descriptor;
  using namespace boost::asio::experimental::awaitable_operators;
  switch (kind) {
    case Wait::Kind::readable:
      co_await socket.async_wait(stream_descriptor::wait_read, boost::asio::use_awaitable);
      co_return Ready::readable;
    case Wait::Kind::writable:
      co_await socket.async_wait(stream_descriptor::wait_write, boost::asio::use_awaitable);
      co_return Ready::writable;
    default: {
      auto read = socket.async_wait(stream_descriptor::wait_read, boost::asio::use_awaitable);
      auto write = socket.async_wait(stream_descriptor::wait_write, boost::asio::use_awaitable);
      // Named first: g++ 12 destroys temporaries made inside a co_await expression twice.
      auto race = std::move(read) || std::move(write);
      const auto first = co_await std::move(race);
      co_return first.index() == 0 ? Ready::readable : Ready::writable;
    }
  }
}

}  // namespace

Wait Sequence::step(Ready ready) {
  while (at_ < ops_.size()) {
    const Wait wait = ops_[at_]->step(ready);
    if (wait.kind != Wait::Kind::done) return wait;
    ++at_;
    ready = Ready::none;  // the next one starts afresh
  }
  return {};
}

void Sequence::cancel() noexcept {
  if (at_ < ops_.size()) ops_[at_]->cancel();
}

void run(Operation& op) {
  Wait wait = op.step(Ready::none);
  while (wait.kind != Wait::Kind::done) {
    if (wait.kind == Wait::Kind::blocking) {
      wait = op.step(Ready::none);
      continue;
    }
    pollfd p{wait.socket, events_of(wait.kind), 0};
    int n;
    while ((n = ::poll(&p, 1, poll_timeout(wait))) < 0 && errno == EINTR) {
    }
    if (n < 0) throw std::system_error(errno, std::generic_category(), "poll");
    if (n == 0) {
      wait = op.step(Ready::timed_out);
      continue;
    }
    // An error or hang-up counts as readable: reading is how the operation learns of it.
    const bool readable = (p.revents & (POLLIN | POLLERR | POLLHUP | POLLNVAL)) != 0;
    wait = op.step(readable || !(p.revents & POLLOUT) ? Ready::readable : Ready::writable);
  }
}

boost::asio::awaitable<void> arun(std::shared_ptr<Operation> op) {
  using boost::asio::posix::stream_descriptor;
  using namespace boost::asio::experimental::awaitable_operators;
  const auto executor = co_await boost::asio::this_coro::executor;
  // The socket belongs to the operation: released, never closed, whatever happens here.
  std::optional<stream_descriptor> socket;
  struct Release {
    std::optional<stream_descriptor>& socket;
    ~Release() {
      if (socket) socket->release();
    }
  } release{socket};

  // Named, not a temporary of the co_await below: g++ 12 destroys such a temporary twice.
  const std::function<Wait(Interruption&)> blocking_step = [op](Interruption&) {
    return op->step(Ready::none);
  };
  // Awaited by a synchronous call (run_sync), a blocking step blocks that call's thread,
  // as the call would anyway.
  const bool inline_blocking = is_sync_context(boost::asio::query(
      executor, boost::asio::execution::context_as<boost::asio::execution_context&>));
  Wait wait = op->step(Ready::none);
  while (wait.kind != Wait::Kind::done) {
    if (wait.kind == Wait::Kind::blocking) {
      // (An if, not ?: around the co_await: g++ 12 runs both arms of such a conditional.)
      if (inline_blocking)
        wait = op->step(Ready::none);
      else
        wait = co_await on_worker<Wait>(blocking_step);
      continue;
    }
    if (!socket || socket->native_handle() != wait.socket) {
      if (socket) socket->release();
      socket.emplace(executor, wait.socket);
    }
    Ready ready = Ready::readable;
    try {
      if (wait.deadline) {
        boost::asio::steady_timer timer(executor, *wait.deadline);
        auto readiness = socket_ready(*socket, wait.kind);
        auto expiry = timer.async_wait(boost::asio::use_awaitable);
        auto race = std::move(readiness) || std::move(expiry);
        const auto first = co_await std::move(race);
        ready = first.index() == 0 ? std::get<0>(first) : Ready::timed_out;
      } else {
        auto readiness = socket_ready(*socket, wait.kind);
        ready = co_await std::move(readiness);
      }
    } catch (const boost::system::system_error& e) {
      if (e.code() == boost::asio::error::operation_aborted) op->cancel();
      throw;
    }
    wait = op->step(ready);
  }
}

}  // namespace velmor_models::backends::driver
