#pragma once
// A database exchange as steps that never wait: each step does what it can and says what
// it needs before the next one. The synchronous and the coroutine forms of a statement run
// the same steps and differ only in how they wait (poll on the calling thread, or the
// caller's event loop), so a store whose waits are socket readiness (a client library in
// non-blocking mode) needs no thread of its own; a store whose calls block (SQLite) marks
// those steps, and the coroutine form runs them on the worker pool.

#include <boost/asio/awaitable.hpp>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace velmor_models::backends::driver {

/// What an operation needs before its next step.
struct Wait {
  enum class Kind {
    done,      ///< finished: no further step
    readable,  ///< `socket` readable
    writable,  ///< `socket` writable
    either,    ///< `socket` readable or writable, whichever comes first (a client
               ///< still flushing must also read, or client and server can deadlock)
    blocking,  ///< nothing to wait for, but the next step blocks its thread
  };
  Kind kind = Kind::done;
  int socket = -1;  ///< for the readiness kinds; may change from one step to the next
  /// For the readiness kinds: when set and the socket is still not ready then, the next
  /// step is made with Ready::timed_out (a store that bounds how long it waits for its
  /// server).
  std::optional<std::chrono::steady_clock::time_point> deadline{};
};

/// Which readiness the step that follows a wait was given; `timed_out` when the wait's
/// deadline came first.
enum class Ready { none, readable, writable, timed_out };

class Operation {
 public:
  virtual ~Operation() = default;
  /// Advances as far as it can without waiting, after `ready` (none for the first step and
  /// after a blocking wait). Only a step that follows a blocking wait may block. A failure
  /// is thrown; the operation is then over.
  virtual Wait step(Ready ready) = 0;
  /// The coroutine awaiting this operation was cancelled while it waited for its socket;
  /// the operation may ask its server to stop (it is not stepped again).
  virtual void cancel() noexcept {}
};

/// Operations run one after the other as one: made (and allocated) whole before the first
/// runs, so nothing between them can fail for want of memory (two commits that must
/// follow each other). A failure ends the sequence; `finished()` says how many ran to
/// their end.
class Sequence final : public Operation {
 public:
  explicit Sequence(std::vector<std::unique_ptr<Operation>> ops) noexcept : ops_(std::move(ops)) {}
  Wait step(Ready ready) override;
  void cancel() noexcept override;
  std::size_t finished() const noexcept { return at_; }

 private:
  std::vector<std::unique_ptr<Operation>> ops_;
  std::size_t at_ = 0;
};

/// An operation of one blocking step that makes `call` (a store whose calls block).
std::unique_ptr<Operation> blocking_call(std::function<void()> call);

/// Runs `op` to its end on the calling thread: poll(2) for its socket (until the wait's
/// deadline, if it has one), blocking steps inline.
void run(Operation& op);

/// The coroutine form of run(): socket waits (raced against a timer for a wait's deadline)
/// on the awaiting coroutine's executor (a
/// descriptor over the socket, released again and never closed by us; the socket may
/// differ from step to step), blocking steps on the worker pool, or inline when the
/// coroutine is the synchronous form of a call (it runs on the caller's thread). A cancellation
/// that arrives during a socket wait cancels the operation; a blocking step that began runs to its
/// end.
boost::asio::awaitable<void> arun(std::shared_ptr<Operation> op);

}  // namespace velmor_models::backends::driver
