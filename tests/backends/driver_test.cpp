// The driver's operations: the synchronous and the coroutine form run the same steps and
// differ only in how they wait; a socket operation needs no thread besides the caller's.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <string>
#include <thread>
#include <vector>

#include "backends/awaited.hpp"
#include "velmor_models/backends/driver/connection.hpp"
#include "velmor_models/backends/registry.hpp"

namespace {

namespace asio = boost::asio;
namespace driver = velmor_models::backends::driver;
using driver::Ready;
using driver::Wait;

// A request and its answer over a non-blocking socket, as a client library's exchange
// runs: write when writable, then wait for either readiness while "flushing", then read.
class PingPong final : public driver::Operation {
 public:
  explicit PingPong(int fd) : fd_(fd) {}
  Wait step(Ready ready) override {
    threads.push_back(std::this_thread::get_id());
    switch (state_++) {
      case 0:
        trace.push_back("start");
        return {Wait::Kind::writable, fd_};
      case 1:
        EXPECT_EQ(ready, Ready::writable);
        EXPECT_EQ(::write(fd_, "ping", 4), 4);
        trace.push_back("sent");
        return {Wait::Kind::either, fd_};
      default: {
        if (ready == Ready::writable) {  // nothing to flush: wait for the answer alone
          state_ = 2;
          return {Wait::Kind::readable, fd_};
        }
        std::array<char, 4> got{};
        EXPECT_EQ(::read(fd_, got.data(), got.size()), 4);
        trace.push_back(std::string(got.data(), got.size()));
        return {};
      }
    }
  }
  void cancel() noexcept override { cancelled = true; }
  std::vector<std::string> trace;
  std::vector<std::thread::id> threads;
  bool cancelled = false;

 private:
  int fd_;
  int state_ = 0;
};

struct SocketPair {
  SocketPair() {
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fd), 0);
  }
  ~SocketPair() {
    ::close(fd[0]);
    ::close(fd[1]);
  }
  int fd[2];
};

const std::vector<std::string> exchanged = {"start", "sent", "pong"};

TEST(DriverOperations, BothFormsRunTheSameStepsOnlyTheWaitsDiffer) {
  {
    SocketPair pair;
    std::thread server([&] {
      std::array<char, 4> got{};
      while (::read(pair.fd[1], got.data(), got.size()) != 4) std::this_thread::yield();
      EXPECT_EQ(::write(pair.fd[1], "pong", 4), 4);
    });
    PingPong op(pair.fd[0]);
    driver::run(op);
    server.join();
    EXPECT_EQ(op.trace, exchanged);
  }
  // The coroutine form, with the server a coroutine on the same loop: every step runs on
  // the loop's thread, and the socket stays open (it is the operation's).
  SocketPair pair;
  asio::io_context loop;
  auto op = std::make_shared<PingPong>(pair.fd[0]);
  asio::co_spawn(
      loop,
      [&]() -> asio::awaitable<void> {
        asio::posix::stream_descriptor peer(loop, ::dup(pair.fd[1]));
        std::array<char, 4> got{};
        co_await asio::async_read(peer, asio::buffer(got), asio::use_awaitable);
        co_await asio::async_write(peer, asio::buffer("pong", 4), asio::use_awaitable);
      },
      asio::detached);
  asio::co_spawn(loop, driver::arun(op), asio::detached);
  loop.run();
  EXPECT_EQ(op->trace, exchanged);
  for (auto id : op->threads) EXPECT_EQ(id, std::this_thread::get_id());
  EXPECT_NE(::fcntl(pair.fd[0], F_GETFD), -1);
}

TEST(DriverOperations, ACancelledSocketWaitCancelsTheOperationAndKeepsItsSocket) {
  SocketPair pair;  // nobody answers
  asio::io_context loop;
  asio::cancellation_signal cancel;
  auto op = std::make_shared<PingPong>(pair.fd[0]);
  std::exception_ptr error;
  asio::co_spawn(loop, driver::arun(op),
                 asio::bind_cancellation_slot(cancel.slot(),
                                              [&](std::exception_ptr e) { error = e; }));
  loop.run_for(std::chrono::milliseconds(50));
  cancel.emit(asio::cancellation_type::terminal);
  loop.run();
  ASSERT_TRUE(error);
  EXPECT_TRUE(op->cancelled);
  EXPECT_EQ(op->trace, (std::vector<std::string>{"start", "sent"}));
  EXPECT_NE(::fcntl(pair.fd[0], F_GETFD), -1);
}

// A store whose calls block runs them as one blocking step, on the worker pool.
TEST(DriverOperations, ABlockingStoreRunsItsStatementsOnTheWorkerPool) {
  velmor_models::backends::reset();
  velmor_models::backends::configure("driver", "sqlite::memory:");
  driver::Lease lease = velmor_models::backends::backend_for("driver")->lease();
  // (The statements are made outside the coroutine: g++ 12 cannot take a string literal
  // into an argument of a co_await.)
  const std::string create = "CREATE TABLE t(x)", insert = "INSERT INTO t VALUES (?), (?)";
  const std::vector<driver::Value> values = {std::int64_t{1}, std::string("two")};
  const auto changed = velmor_test::awaited(
      [](driver::Connection& conn, std::string create, std::string insert,
         std::vector<driver::Value> values) -> asio::awaitable<std::int64_t> {
        co_await conn.aexecute(std::move(create));
        co_return co_await conn.aexecute(std::move(insert), std::move(values));
      }(*lease, create, insert, values));
  EXPECT_EQ(changed, 2);
  EXPECT_EQ(driver::integer_of(*lease->scalar("SELECT count(*) FROM t"), "count"), 2);
  velmor_models::backends::reset();
}

}  // namespace
