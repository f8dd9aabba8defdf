#include "backends/postgres/pipeline.hpp"

#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <functional>

#include "backends/postgres/operations.hpp"
#include "backends/postgres/params.hpp"
#include "backends/postgres/wake_channel.hpp"
#include "backends/statement_log.hpp"

namespace velmor_models::backends::postgres {
// A coroutine reading on the pipeline: woken (on its own loop) when its result is in, when
// the connection is open, or when it is to drive the socket.
struct Pipeline::Reader {
  explicit Reader(const boost::asio::any_io_executor& executor) : channel(wake_channel(executor)) {}
  WakeChannel channel;
  std::shared_ptr<Request> request;
  bool waiting = false;
  bool opening = false;
  bool driving = false;
  void wake() noexcept { postgres::wake(channel); }
};

// A reader's presence: counted while it lasts; when it goes (done, failed, cancelled, or its
// loop destroyed), whatever it left is settled: its result is dropped when it arrives, its
// roles pass on, and the last reader gives the connection back to the pool.
class Pipeline::Use {
 public:
  Use(Pipeline& p, Reader& me) : p_(p), me_(me) {
    std::lock_guard lock(p_.mutex_);
    ++p_.users_;
  }
  ~Use() {
    std::optional<driver::Lease> released;
    {
      std::lock_guard lock(p_.mutex_);
      if (me_.waiting) p_.waiting_.remove(&me_);
      me_.waiting = false;
      if (me_.request && !me_.request->done && p_.conn_) p_.conn_->abandon(*me_.request, false);
      if (me_.opening) {
        p_.state_ = State::closed;
        p_.wake_all_locked();
      }
      if (me_.driving) p_.driving_ = false;
      p_.wake_done_locked();
      if (!p_.driving_) p_.hand_over_locked();
      if (--p_.users_ == 0 && p_.state_ == State::open) {
        released.emplace(std::move(*p_.lease_));
        p_.lease_.reset();
        p_.conn_ = nullptr;
        p_.state_ = State::closed;
      }
    }
    // (The lease ends here, outside the lock: the pool takes the connection back.)
  }
  Use(const Use&) = delete;
  Use& operator=(const Use&) = delete;

 private:
  Pipeline& p_;
  Reader& me_;
};

// Drives the socket until the driver's own result is in, handing every result it reads to
// its owner. Cancelled, it drops its own result (never a cancel request: the server may be
// running a neighbour's statement by then).
class Pipeline::Drive final : public driver::Operation {
 public:
  Drive(Pipeline& p, std::shared_ptr<Request> request) : p_(p), request_(std::move(request)) {}
  driver::Wait step(driver::Ready ready) override {
    std::lock_guard lock(p_.mutex_);
    const driver::Wait w = p_.conn_->advance(ready, *request_);
    p_.wake_done_locked();
    return w;
  }
  void cancel() noexcept override {
    std::lock_guard lock(p_.mutex_);
    p_.conn_->abandon(*request_, false);
    p_.wake_done_locked();
  }

 private:
  Pipeline& p_;
  std::shared_ptr<Request> request_;
};

std::size_t Pipeline::readers() const {
  std::lock_guard lock(mutex_);
  return users_;
}

void Pipeline::wait_locked(Reader& r) {
  if (r.waiting) return;
  r.waiting = true;
  waiting_.push_back(&r);
}

void Pipeline::wake_all_locked() {
  for (Reader* r : waiting_) {
    r->waiting = false;
    r->wake();
  }
  waiting_.clear();
}

void Pipeline::wake_done_locked() {
  for (auto it = waiting_.begin(); it != waiting_.end();) {
    Reader* r = *it;
    if (r->request && r->request->done) {
      r->waiting = false;
      r->wake();
      it = waiting_.erase(it);
    } else {
      ++it;
    }
  }
}

void Pipeline::hand_over_locked() {
  for (auto it = waiting_.begin(); it != waiting_.end(); ++it) {
    Reader* r = *it;
    if (r->request && !r->request->done) {
      r->waiting = false;
      r->wake();
      waiting_.erase(it);
      return;
    }
  }
}

boost::asio::awaitable<void> Pipeline::connect() {
  driver::Lease lease = co_await pool_->aacquire();
  Connection& conn = static_cast<Connection&>(*lease);
  // What its last holder left (a cancelled statement, a ROLLBACK) is read first.
  const std::shared_ptr<driver::Operation> settle = settle_op(conn);
  co_await driver::arun(settle);
  std::lock_guard lock(mutex_);
  lease_.emplace(std::move(lease));
  conn_ = &conn;
}

boost::asio::awaitable<void> Pipeline::open(Reader& me) {
  for (;;) {
    std::unique_lock lock(mutex_);
    if (state_ == State::open) break;
    if (state_ == State::closed) {
      state_ = State::opening;
      me.opening = true;
      lock.unlock();
      std::exception_ptr failed;
      try {
        auto connecting = connect();
        co_await std::move(connecting);
      } catch (...) {
        failed = std::current_exception();
      }
      lock.lock();
      me.opening = false;
      state_ = failed ? State::closed : State::open;
      wake_all_locked();
      lock.unlock();
      if (failed) std::rethrow_exception(failed);
      break;
    }
    wait_locked(me);
    lock.unlock();
    co_await woken(me.channel);
  }
}

boost::asio::awaitable<void> Pipeline::finish(Reader& me) {
  for (;;) {
    std::unique_lock lock(mutex_);
    if (me.request->done) break;
    if (driving_) {
      wait_locked(me);
      lock.unlock();
      co_await woken(me.channel);
      continue;
    }
    driving_ = true;
    me.driving = true;
    lock.unlock();
    const std::shared_ptr<driver::Operation> drive = std::make_shared<Drive>(*this, me.request);
    std::exception_ptr failed;
    try {
      co_await driver::arun(drive);
    } catch (...) {
      failed = std::current_exception();
    }
    lock.lock();
    driving_ = false;
    me.driving = false;
    hand_over_locked();
    lock.unlock();
    if (failed) std::rethrow_exception(failed);
  }
}

bool Pipeline::send(Reader& me, const std::string& sql, const Params& params) {
  std::optional<driver::Lease> dropped;  // given back to the pool outside the lock
  std::lock_guard lock(mutex_);
  if (conn_->broken()) {
    // Its readers have their errors; once none drives it, the next reader opens anew.
    if (driving_) conn_->check_usable();
    dropped.emplace(std::move(*lease_));
    lease_.reset();
    conn_ = nullptr;
    state_ = State::closed;
    return false;
  }
  conn_->close_dropped();
  me.request = conn_->send_statement(sql, params, false);
  return true;
}

boost::asio::awaitable<Result> Pipeline::run(std::string sql, std::vector<driver::Value> values) {
  const std::shared_ptr<Pipeline> self = shared_from_this();
  const Params params = bind_values(values);
  const auto executor = co_await boost::asio::this_coro::executor;
  Reader me(executor);
  Use use(*this, me);
  std::optional<StatementTimer> timer;
  bool retried = false;
  for (;;) {
    auto opened = open(me);
    co_await std::move(opened);
    if (!send(me, sql, params)) continue;
    if (!timer) timer.emplace(pool_->settings().alias, sql);
    auto finished = finish(me);
    co_await std::move(finished);
    const Request& r = *me.request;
    // Nothing shared runs in a transaction: a stale cached plan is prepared and run again.
    if (r.error && r.plan_invalid && !retried) {
      retried = true;
      continue;
    }
    if (r.error) std::rethrow_exception(r.error);
    co_return std::move(me.request->result);
  }
}

}  // namespace velmor_models::backends::postgres
