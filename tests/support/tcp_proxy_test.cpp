// The proxy in front of an echo server on a Unix socket: bytes go both ways on each
// connection; after blackhole_replies() nothing comes back although the server answers and
// the connection stays open; cut() resets every connection and the proxy keeps accepting;
// set_delay() holds every chunk that long each way, in order.

#include "support/tcp_proxy.hpp"

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

namespace {

namespace asio = boost::asio;
using asio::ip::tcp;
using namespace std::chrono_literals;
using velmor_test::TcpProxy;

// Bounded waits: a broken proxy fails the test instead of hanging it.
constexpr auto patience = 10s;

template <class Condition>
bool eventually(Condition condition) {
  const auto deadline = std::chrono::steady_clock::now() + patience;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

// Sends back whatever it receives; counts the bytes it sent back and the connections that
// ended.
class UnixEcho {
 public:
  UnixEcho() {
    static std::atomic<int> serial{0};
    path_ = (std::filesystem::temp_directory_path() /
             ("velmor-echo-" + std::to_string(::getpid()) + "-" + std::to_string(serial++)))
                .string();
    std::filesystem::remove(path_);
    const asio::local::stream_protocol::endpoint endpoint(path_);
    acceptor_.open(endpoint.protocol());
    acceptor_.bind(endpoint);
    acceptor_.listen();
    asio::co_spawn(io_, accept_all(), asio::detached);
    thread_ = std::thread([this] { io_.run(); });
  }
  ~UnixEcho() {
    io_.stop();
    thread_.join();
    std::filesystem::remove(path_);
  }

  const std::string& path() const { return path_; }
  std::size_t echoed() const { return echoed_; }
  int ended() const { return ended_; }

 private:
  asio::awaitable<void> accept_all() {
    for (;;) {
      auto peer = co_await acceptor_.async_accept(asio::use_awaitable);
      asio::co_spawn(io_, echo(std::move(peer)), asio::detached);
    }
  }
  asio::awaitable<void> echo(asio::local::stream_protocol::socket peer) {
    std::array<char, 4096> buffer;
    try {
      for (;;) {
        const auto into = asio::buffer(buffer);
        const std::size_t n = co_await peer.async_read_some(into, asio::use_awaitable);
        const auto out = asio::buffer(buffer.data(), n);
        co_await asio::async_write(peer, out, asio::use_awaitable);
        echoed_ += n;
      }
    } catch (const boost::system::system_error&) {
    }
    ++ended_;
  }

  std::string path_;
  asio::io_context io_;
  asio::local::stream_protocol::acceptor acceptor_{io_};
  std::atomic<std::size_t> echoed_{0};
  std::atomic<int> ended_{0};
  std::thread thread_;
};

class TcpProxyTest : public ::testing::Test {
 protected:
  tcp::socket connect() {
    tcp::socket s(io_);
    s.connect(tcp::endpoint(asio::ip::address_v4::loopback(), proxy_.port()));
    return s;
  }
  // What poll reports for the socket within `wait`: 0 when nothing happened.
  static short events_within(tcp::socket& s, std::chrono::milliseconds wait) {
    pollfd p{s.native_handle(), POLLIN, 0};
    return ::poll(&p, 1, static_cast<int>(wait.count())) > 0 ? p.revents : 0;
  }
  // Reads exactly `size` bytes, each wait bounded.
  static std::string receive(tcp::socket& s, std::size_t size) {
    std::string got;
    std::array<char, 4096> buffer;
    while (got.size() < size && events_within(s, patience) != 0) {
      const auto into = asio::buffer(buffer.data(), std::min(buffer.size(), size - got.size()));
      const std::size_t n = s.read_some(into);
      got.append(buffer.data(), n);
    }
    return got;
  }
  static void send(tcp::socket& s, const std::string& text) { asio::write(s, asio::buffer(text)); }

  asio::io_context io_;
  UnixEcho echo_;
  TcpProxy proxy_{echo_.path()};
};

TEST_F(TcpProxyTest, ForwardsBothWaysOnEachConnection) {
  auto a = connect();
  auto b = connect();
  const std::string large(100 * 1024, 'x');  // several reads and writes of the proxy
  send(a, "from a");
  send(b, large);
  EXPECT_EQ(receive(a, 6), "from a");
  EXPECT_EQ(receive(b, large.size()), large);
  EXPECT_EQ(proxy_.libpq_address(), "host=127.0.0.1 port=" + std::to_string(proxy_.port()));
}

TEST_F(TcpProxyTest, BlackholeDropsRepliesAndKeepsConnectionsOpen) {
  auto s = connect();
  send(s, "before");
  ASSERT_EQ(receive(s, 6), "before");
  proxy_.blackhole_replies();
  send(s, "after");
  // The request reaches the server, which answers; the answer never reaches the client.
  ASSERT_TRUE(eventually([&] { return echo_.echoed() == 11; }));
  EXPECT_EQ(events_within(s, 200ms), 0) << "a reply came through, or the connection closed";
  EXPECT_EQ(echo_.ended(), 0);
  send(s, "still open");
  ASSERT_TRUE(eventually([&] { return echo_.echoed() == 21; }));
}

TEST_F(TcpProxyTest, CutResetsEveryConnectionAndKeepsAccepting) {
  auto a = connect();
  auto b = connect();
  send(a, "a");
  send(b, "b");
  ASSERT_EQ(receive(a, 1), "a");
  ASSERT_EQ(receive(b, 1), "b");
  proxy_.cut();
  for (tcp::socket* s : {&a, &b}) {
    ASSERT_NE(events_within(*s, patience), 0);
    boost::system::error_code error;
    std::array<char, 1> buffer;
    s->read_some(asio::buffer(buffer), error);
    EXPECT_EQ(error, asio::error::connection_reset);
  }
  EXPECT_TRUE(eventually([&] { return echo_.ended() == 2; }));
  auto c = connect();
  send(c, "again");
  EXPECT_EQ(receive(c, 5), "again");
}

TEST_F(TcpProxyTest, DelayHoldsEveryChunkEachWayInOrder) {
  auto s = connect();
  constexpr auto delay = 100ms;
  proxy_.set_delay(delay);
  const std::string large(100 * 1024, 'y');  // several chunks, each held as long
  const auto sent = std::chrono::steady_clock::now();
  send(s, "first ");
  send(s, large);
  send(s, " last");
  // Bounds that only a missing delay breaks, however slow the machine: nothing comes back
  // within one delay of sending, and all of it only after two (there and back).
  const auto quiet = std::chrono::duration_cast<std::chrono::milliseconds>(
      sent + delay - std::chrono::steady_clock::now());
  if (quiet > 0ms) {
    EXPECT_EQ(events_within(s, quiet), 0) << "a reply came back before the delay";
  }
  EXPECT_EQ(receive(s, 11 + large.size()), "first " + large + " last");
  EXPECT_GE(std::chrono::steady_clock::now() - sent, 2 * delay);
  proxy_.set_delay(0us);
  send(s, "again");
  EXPECT_EQ(receive(s, 5), "again");
}

}  // namespace
