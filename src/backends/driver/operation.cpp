#include "velmor_models/backends/driver/operation.hpp"

#include <poll.h>

#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <cerrno>
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
    while ((n = ::poll(&p, 1, -1)) < 0 && errno == EINTR) {
    }
    if (n < 0) throw std::system_error(errno, std::generic_category(), "poll");
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
      switch (wait.kind) {
        case Wait::Kind::readable:
          co_await socket->async_wait(stream_descriptor::wait_read, boost::asio::use_awaitable);
          break;
        case Wait::Kind::writable:
          co_await socket->async_wait(stream_descriptor::wait_write, boost::asio::use_awaitable);
          ready = Ready::writable;
          break;
        default: {
          auto first =
              co_await (socket->async_wait(stream_descriptor::wait_read, boost::asio::use_awaitable) ||
                        socket->async_wait(stream_descriptor::wait_write, boost::asio::use_awaitable));
          ready = first.index() == 0 ? Ready::readable : Ready::writable;
        }
      }
    } catch (const boost::system::system_error& e) {
      if (e.code() == boost::asio::error::operation_aborted) op->cancel();
      throw;
    }
    wait = op->step(ready);
  }
}

}  // namespace velmor_models::backends::driver
