#include "backends/driver/run_sync.hpp"

#include <unistd.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <exception>
#include <memory>
#include <stdexcept>
#include <vector>

namespace velmor_models::backends::driver {
namespace {

// The calling thread's contexts, one per level of nesting, kept for the thread's life.
struct SyncContexts {
  std::vector<std::unique_ptr<boost::asio::io_context>> levels;
  std::size_t depth = 0;
  pid_t process = 0;
};
thread_local SyncContexts contexts;

}  // namespace

void run_sync(boost::asio::awaitable<void> work) {
  // A child process forked from a thread that had contexts shares their reactors (epoll
  // instances) with its parent, which would take the events the child waits for: the
  // child gets contexts of its own, and leaves the inherited ones alone (destroying them
  // would touch the parent's registrations).
  if (contexts.process != ::getpid()) {
    if (contexts.depth == 0)
      for (auto& level : contexts.levels) (void)level.release();
    contexts.levels.erase(contexts.levels.begin() + static_cast<std::ptrdiff_t>(contexts.depth),
                          contexts.levels.end());
    contexts.process = ::getpid();
  }
  if (contexts.depth == contexts.levels.size())
    contexts.levels.push_back(std::make_unique<boost::asio::io_context>(1));
  boost::asio::io_context& ctx = *contexts.levels[contexts.depth];
  struct Level {
    ~Level() { --contexts.depth; }
  } level;
  ++contexts.depth;
  std::exception_ptr error;
  bool done = false;
  boost::asio::co_spawn(ctx, std::move(work), [&](std::exception_ptr e) {
    error = std::move(e);
    done = true;
  });
  ctx.restart();
  ctx.run();
  if (!done) {
    // Nothing left to wait for, yet unfinished: a wait no one will end. Dropping what is
    // still queued destroys the coroutine's frames.
    contexts.levels[contexts.depth - 1] = std::make_unique<boost::asio::io_context>(1);
    throw std::logic_error("a synchronous call waited for something that never came");
  }
  if (error) std::rethrow_exception(error);
}

bool is_sync_context(const boost::asio::execution_context& context) noexcept {
  for (std::size_t i = 0; i < contexts.depth; ++i)
    if (contexts.levels[i].get() == &context) return true;
  return false;
}

}  // namespace velmor_models::backends::driver
