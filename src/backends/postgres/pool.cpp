#include "backends/postgres/pool.hpp"

#include <poll.h>

#include <algorithm>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <cerrno>
#include <climits>
#include <optional>
#include <system_error>

#include "backends/postgres/wake_channel.hpp"

namespace velmor_models::backends::postgres {
namespace {

using Clock = std::chrono::steady_clock;
using driver::Ready;
using driver::Wait;
using querysets::errors::DatabaseError;
using querysets::errors::DatabaseErrorCategory;
using namespace boost::asio::experimental::awaitable_operators;

// driver::run with a deadline: false when the deadline passes first (the operation is
// then left where it stands).
bool run_until(driver::Operation& op, Clock::time_point deadline) {
  Wait wait = op.step(Ready::none);
  while (wait.kind != Wait::Kind::done) {
    if (wait.kind == Wait::Kind::blocking) {
      wait = op.step(Ready::none);
      continue;
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return false;
    // The operation's own deadline (io_timeout_ms), when it comes first.
    const auto own =
        wait.deadline ? std::chrono::ceil<std::chrono::milliseconds>(*wait.deadline - Clock::now())
                      : left;
    pollfd p{wait.socket,
             static_cast<short>(wait.kind == Wait::Kind::readable   ? POLLIN
                                : wait.kind == Wait::Kind::writable ? POLLOUT
                                                                    : POLLIN | POLLOUT),
             0};
    const int n = ::poll(
        &p, 1, static_cast<int>(std::clamp<long long>(std::min(left, own).count(), 0, INT_MAX)));
    if (n < 0 && errno != EINTR) throw std::system_error(errno, std::generic_category(), "poll");
    if (n == 0 && wait.deadline && Clock::now() >= *wait.deadline) {
      wait = op.step(Ready::timed_out);
      continue;
    }
    if (n <= 0) continue;
    const bool readable = (p.revents & (POLLIN | POLLERR | POLLHUP | POLLNVAL)) != 0;
    wait = op.step(readable || !(p.revents & POLLOUT) ? Ready::readable : Ready::writable);
  }
  return true;
}

// An awaited operation's failure as a value: raced against a timer, the race then ends at
// whichever finishes first, failed or not.
boost::asio::awaitable<std::exception_ptr> outcome(std::shared_ptr<driver::Operation> op) {
  std::exception_ptr error;
  try {
    co_await driver::arun(op);
  } catch (...) {
    error = std::current_exception();
  }
  co_return error;
}

// Runs `op` on the awaiting coroutine's loop until `deadline`: nullopt when the deadline
// comes first, else the operation's outcome (null when it succeeded).
boost::asio::awaitable<std::optional<std::exception_ptr>> within(
    std::shared_ptr<driver::Operation> op, Clock::time_point deadline) {
  const auto executor = co_await boost::asio::this_coro::executor;
  boost::asio::steady_timer timer(executor, deadline);
  // Named first: g++ 12 destroys temporaries made inside a co_await expression twice.
  auto run = outcome(std::move(op));
  auto expiry = timer.async_wait(boost::asio::use_awaitable);
  auto race = std::move(run) || std::move(expiry);
  const auto first = co_await std::move(race);
  if (first.index() == 1) co_return std::nullopt;
  co_return std::get<0>(first);
}

// Closes a connection too old or dead to hand out: its place is the caller's to fill.
void drop_connection(auto& taken) {
  taken.connection.reset();
  taken.slot = true;
}

}  // namespace

Pool::Taken::Taken(Taken&& other) noexcept
    : connection(std::move(other.connection)), slot(other.slot), pool_(other.pool_) {
  other.slot = false;
}

Pool::Taken& Pool::Taken::operator=(Taken&& other) noexcept {
  if (this != &other) {
    give_back();
    connection = std::move(other.connection);
    slot = other.slot;
    pool_ = other.pool_;
    other.slot = false;
  }
  return *this;
}

void Pool::Taken::give_back() noexcept {
  if (connection) {
    try {
      pool_->hand_over(std::move(connection));
    } catch (...) {
      connection.reset();
      pool_->release_slot();
    }
  } else if (slot) {
    pool_->release_slot();
  }
  slot = false;
}

// A coroutine's place in the queue, left when it is served, times out or goes away.
class Pool::Queued {
 public:
  Queued(Pool& pool, Waiter& waiter) noexcept : pool_(pool), waiter_(waiter) {}
  ~Queued() {
    std::unique_lock lock(pool_.mutex_);
    Taken kept = leave_locked();
    lock.unlock();  // what it was given goes back (kept's destructor) without the lock
  }
  Queued(const Queued&) = delete;
  Queued& operator=(const Queued&) = delete;
  /// What the waiter was given, if anything; it is no longer queued.
  Taken leave() {
    std::lock_guard lock(pool_.mutex_);
    return leave_locked();
  }

 private:
  Taken leave_locked() {
    if (left_) return Taken(pool_);
    left_ = true;
    if (!waiter_.served) {
      pool_.waiters_.remove(&waiter_);
      return Taken(pool_);
    }
    return pool_.taken_from(waiter_);
  }
  Pool& pool_;
  Waiter& waiter_;
  bool left_ = false;
};

Pool::Pool(Settings settings) : settings_(std::move(settings)) {}

std::shared_ptr<Pool> Pool::open(Settings settings) {
  auto pool = std::make_shared<Pool>(std::move(settings));
  std::vector<driver::Lease> opened;
  const std::size_t n = std::max<std::size_t>(1, pool->settings_.pool_min);
  for (std::size_t i = 0; i < n; ++i) opened.push_back(pool->acquire());
  return pool;  // the leases end here: the connections wait idle
}

Pool::Stats Pool::stats() const {
  std::lock_guard lock(mutex_);
  return {open_, idle_.size(), waiters_.size()};
}

Pool::Taken Pool::take_locked() {
  Taken t(*this);
  if (!waiters_.empty()) return t;  // first come, first served
  if (!idle_.empty()) {
    t.connection = std::move(idle_.back());
    idle_.pop_back();
  } else if (open_ < settings_.pool_max) {
    ++open_;
    t.slot = true;
  }
  return t;
}

Pool::Taken Pool::taken_from(Waiter& w) {
  Taken t(*this);
  t.connection = std::move(w.connection);
  t.slot = w.slot;
  w.slot = false;
  return t;
}

bool Pool::expired(const Connection& c) const noexcept {
  return Clock::now() - c.opened_at >= settings_.max_lifetime;
}

bool Pool::needs_check(const Connection& c) const noexcept {
  return Clock::now() - c.last_used > settings_.idle_check;
}

void Pool::hand_over(std::unique_ptr<Connection> c) {
  std::lock_guard lock(mutex_);
  if (!waiters_.empty()) {
    Waiter* w = waiters_.front();
    waiters_.pop_front();
    w->connection = std::move(c);
    w->served = true;
    w->wake();
    return;
  }
  idle_.push_back(std::move(c));
}

void Pool::release_slot() noexcept {
  std::lock_guard lock(mutex_);
  if (!waiters_.empty()) {
    Waiter* w = waiters_.front();
    waiters_.pop_front();
    w->slot = true;
    w->served = true;
    try {
      w->wake();
    } catch (...) {
    }
    return;
  }
  --open_;
}

driver::Lease Pool::lease_of(std::unique_ptr<Connection> c) {
  Connection& conn = *c;
  {
    std::lock_guard lock(mutex_);
    leased_.emplace(&conn, std::move(c));
  }
  std::shared_ptr<Pool> self = shared_from_this();
  return driver::Lease(conn, self, [self](driver::Connection& back) {
    self->give_back(static_cast<Connection&>(back));
  });
}

void Pool::give_back(Connection& c) noexcept {
  std::unique_ptr<Connection> owned;
  {
    std::lock_guard lock(mutex_);
    auto it = leased_.find(&c);
    if (it == leased_.end()) return;
    owned = std::move(it->second);
    leased_.erase(it);
  }
  // Closed rather than kept: broken, in a state it cannot account for, or too old.
  if (owned->recycle() && !expired(*owned)) {
    owned->last_used = Clock::now();
    try {
      hand_over(std::move(owned));
      return;
    } catch (...) {
    }
  }
  owned.reset();
  release_slot();
}

void Pool::timed_out(Clock::time_point since) const {
  const auto waited =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
  throw DatabaseError(message_prefix(settings_) + "no connection came free within " +
                          std::to_string(settings_.acquire_timeout.count()) + " ms: all " +
                          std::to_string(settings_.pool_max) +
                          " connections of the pool are in use (waited " + std::to_string(waited) +
                          " ms)",
                      settings_.alias, "", "", true, DatabaseErrorCategory::busy);
}

void Pool::connect_timed_out() const {
  throw DatabaseError(message_prefix(settings_) + "cannot connect within " +
                          std::to_string(settings_.acquire_timeout.count()) + " ms",
                      settings_.alias, "", "08001", false, DatabaseErrorCategory::connection_lost,
                      0, "08001");
}

driver::Lease Pool::acquire() {
  const auto since = Clock::now();
  const auto deadline = since + settings_.acquire_timeout;
  for (;;) {
    std::optional<Taken> t;
    {
      std::unique_lock lock(mutex_);
      t.emplace(take_locked());
      if (!t->any()) {
        std::condition_variable cv;
        Waiter w;
        w.wake = [&cv] { cv.notify_one(); };
        waiters_.push_back(&w);
        if (!cv.wait_until(lock, deadline, [&] { return w.served; })) {
          waiters_.remove(&w);
          lock.unlock();
          timed_out(since);
        }
        *t = taken_from(w);
      }
    }
    if (t->connection && (expired(*t->connection) || t->connection->closed_by_server()))
      drop_connection(*t);
    if (t->connection && needs_check(*t->connection)) {
      bool alive = false;
      try {
        std::unique_ptr<driver::Operation> ping = t->connection->start_ping();
        alive = run_until(*ping, deadline);
      } catch (const DatabaseError&) {
      }
      if (!alive) drop_connection(*t);
    }
    if (t->connection) {
      t->connection->last_used = Clock::now();
      return lease_of(std::move(t->connection));
    }
    auto c = std::make_unique<Connection>(settings_);
    std::unique_ptr<driver::Operation> connect = c->start_connect();
    if (!run_until(*connect, deadline)) connect_timed_out();
    connect.reset();
    t->slot = false;  // filled
    return lease_of(std::move(c));
  }
}

boost::asio::awaitable<driver::Lease> Pool::aacquire() {
  const std::shared_ptr<Pool> self = shared_from_this();
  const auto since = Clock::now();
  const auto deadline = since + settings_.acquire_timeout;
  const auto executor = co_await boost::asio::this_coro::executor;
  std::optional<Taken> t;
  {
    WakeChannel channel = wake_channel(executor);
    Waiter w;
    w.wake = [&channel] { wake(channel); };
    std::optional<Queued> queued;
    {
      std::lock_guard lock(mutex_);
      t.emplace(take_locked());
      if (!t->any()) {
        waiters_.push_back(&w);
        queued.emplace(*this, w);
      }
    }
    if (queued) {
      boost::asio::steady_timer timer(executor, deadline);
      auto served = woken(channel);
      auto expiry = timer.async_wait(boost::asio::use_awaitable);
      auto race = std::move(served) || std::move(expiry);
      co_await std::move(race);
      *t = queued->leave();
      if (!t->any()) timed_out(since);
    }
  }
  if (t->connection && (expired(*t->connection) || t->connection->closed_by_server()))
    drop_connection(*t);
  if (t->connection && needs_check(*t->connection)) {
    const std::shared_ptr<driver::Operation> ping = t->connection->start_ping();
    const std::optional<std::exception_ptr> checked = co_await within(ping, deadline);
    if (!checked || *checked) drop_connection(*t);
  }
  if (t->connection) {
    t->connection->last_used = Clock::now();
    co_return lease_of(std::move(t->connection));
  }
  auto c = std::make_unique<Connection>(settings_);
  const std::shared_ptr<driver::Operation> connect = c->start_connect();
  const std::optional<std::exception_ptr> connected = co_await within(connect, deadline);
  if (!connected) connect_timed_out();
  if (*connected) std::rethrow_exception(*connected);
  t->slot = false;
  co_return lease_of(std::move(c));
}

}  // namespace velmor_models::backends::postgres
