#pragma once
// The connections of one alias: at least pool_min kept, at most pool_max open; callers
// waiting for one are served first come, first served, for up to acquire_timeout. A
// coroutine waits suspended (its thread runs on) and resumes on its own executor; a
// synchronous caller blocks its thread. Connecting is asynchronous on the coroutine path
// too. Thread-safe: any thread and any event loop may share a pool.

#include <boost/asio/awaitable.hpp>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "backends/postgres/connection.hpp"
#include "backends/postgres/settings.hpp"

namespace velmor_models::backends::postgres {

class Pool : public std::enable_shared_from_this<Pool> {
 public:
  /// Opens pool_min connections, and at least one, which checks the URL: DatabaseError
  /// naming it (masked) when the server cannot be reached.
  static std::shared_ptr<Pool> open(Settings settings);
  explicit Pool(Settings settings);
  Pool(const Pool&) = delete;
  Pool& operator=(const Pool&) = delete;

  /// A connection pinned to the caller until the lease ends: an idle one (replaced when the
  /// server has closed it, which shows without a round trip; checked with one when it was
  /// idle longer than idle_check), a new one while fewer than pool_max are
  /// open, else the first to come back. DatabaseError (busy) naming the alias, the pool's
  /// size and the wait after acquire_timeout. Blocks the calling thread.
  driver::Lease acquire();
  /// The same, suspending the awaiting coroutine instead of blocking its thread.
  boost::asio::awaitable<driver::Lease> aacquire();

  const Settings& settings() const noexcept { return settings_; }
  struct Stats {
    std::size_t open = 0;  ///< idle, in use or being opened
    std::size_t idle = 0;
    std::size_t waiting = 0;
  };
  Stats stats() const;

 private:
  // A caller waiting for a connection; woken under the pool's lock, once served.
  struct Waiter {
    std::function<void()> wake;
    std::unique_ptr<Connection> connection;  // handed over
    bool slot = false;                       // or the right to open one
    bool served = false;
  };
  // What a caller got: a connection, or the right to open one; returned to the pool when
  // dropped (a caller that fails or is cancelled on the way keeps nothing).
  class Taken {
   public:
    explicit Taken(Pool& pool) noexcept : pool_(&pool) {}
    Taken(Taken&& other) noexcept;
    Taken& operator=(Taken&& other) noexcept;
    ~Taken() { give_back(); }
    bool any() const noexcept { return connection || slot; }
    std::unique_ptr<Connection> connection;
    bool slot = false;

   private:
    void give_back() noexcept;
    Pool* pool_;
  };
  class Queued;

  Taken take_locked();
  Taken taken_from(Waiter& w);
  /// Why an idle connection cannot be handed out as it is: too old (closed), or idle long
  /// enough to be checked first.
  bool expired(const Connection& c) const noexcept;
  bool needs_check(const Connection& c) const noexcept;
  driver::Lease lease_of(std::unique_ptr<Connection> c);
  void give_back(Connection& c) noexcept;
  /// A connection for the first waiter, else for the idle list.
  void hand_over(std::unique_ptr<Connection> c);
  /// A connection closed or never opened: its place goes to the first waiter.
  void release_slot() noexcept;
  [[noreturn]] void timed_out(std::chrono::steady_clock::time_point since) const;
  [[noreturn]] void connect_timed_out() const;

  const Settings settings_;
  mutable std::mutex mutex_;
  std::vector<std::unique_ptr<Connection>> idle_;  // the most recently returned last
  std::unordered_map<Connection*, std::unique_ptr<Connection>> leased_;
  std::size_t open_ = 0;
  std::list<Waiter*> waiters_;
};

}  // namespace velmor_models::backends::postgres
