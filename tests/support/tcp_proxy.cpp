#include "support/tcp_proxy.hpp"

#include <array>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/use_future.hpp>
#include <boost/asio/write.hpp>
#include <deque>
#include <functional>
#include <thread>
#include <vector>

namespace velmor_test {
namespace {

namespace asio = boost::asio;
using asio::ip::tcp;
using unix_socket = asio::local::stream_protocol::socket;

using Clock = std::chrono::steady_clock;

// What one end sent, on its way to the other: each chunk is written once it is due.
struct Direction {
  explicit Direction(const asio::any_io_executor& executor) : wake(executor) {}
  struct Chunk {
    Clock::time_point due;
    std::vector<char> bytes;
  };
  std::deque<Chunk> chunks;
  // The writer sleeps on it: until the first chunk is due, or until woken (cancelled) by
  // a new chunk or by the end of the reading.
  asio::steady_timer wake;
  bool ended = false;
};

// One forwarded connection: the client's TCP end and the server's Unix end.
struct Link {
  Link(tcp::socket c, asio::io_context& io)
      : client(std::move(c)),
        server(io),
        to_server(io.get_executor()),
        to_client(io.get_executor()) {}

  tcp::socket client;
  unix_socket server;
  Direction to_server;
  Direction to_client;

  void close() {
    boost::system::error_code ignored;
    client.close(ignored);
    server.close(ignored);
  }
};

// Reads what one end sends into `way`; `drop` (when given and set) discards it instead.
// Each chunk is due `*delay` after it arrived. `link`, which owns `from` and `way`, is held
// for as long as the reading lasts.
template <class From>
asio::awaitable<void> receive([[maybe_unused]] std::shared_ptr<Link> link, From& from,
                              Direction& way, const bool* drop,
                              const std::chrono::microseconds* delay) {
  std::array<char, 16 * 1024> buffer;
  try {
    for (;;) {
      const auto into = asio::buffer(buffer);
      const std::size_t n = co_await from.async_read_some(into, asio::use_awaitable);
      if (drop != nullptr && *drop) continue;
      way.chunks.push_back(
          {Clock::now() + *delay, std::vector<char>(buffer.data(), buffer.data() + n)});
      way.wake.cancel();
    }
  } catch (const boost::system::system_error&) {
  }
  way.ended = true;
  way.wake.cancel();
}

// Writes the chunks of `way` to the other end in order, each once it is due. Either end
// failing or closing closes both, once what was read before is written.
template <class To>
asio::awaitable<void> deliver(std::shared_ptr<Link> link, To& to, Direction& way) {
  try {
    for (;;) {
      if (way.chunks.empty() && way.ended) break;
      if (way.chunks.empty() || way.chunks.front().due > Clock::now()) {
        way.wake.expires_at(way.chunks.empty() ? Clock::time_point::max() : way.chunks.front().due);
        boost::system::error_code woken;  // cancelled: something changed
        co_await way.wake.async_wait(asio::redirect_error(asio::use_awaitable, woken));
        continue;
      }
      const auto out = asio::buffer(way.chunks.front().bytes);
      co_await asio::async_write(to, out, asio::use_awaitable);
      way.chunks.pop_front();
    }
  } catch (const boost::system::system_error&) {
  }
  link->close();
}

}  // namespace

// Everything but the constructor's setup runs on the proxy's thread; the public calls post
// their work there and wait for it.
struct TcpProxy::State {
  explicit State(std::string path) : target(std::move(path)) {}

  asio::io_context io;
  tcp::acceptor acceptor{io};
  std::string target;
  bool blackhole = false;
  std::chrono::microseconds delay{0};
  std::vector<std::weak_ptr<Link>> links;
  std::thread thread;

  void on_thread(std::function<void()> work) {
    asio::post(io, asio::use_future(std::move(work))).get();
  }

  asio::awaitable<void> accept_all() {
    try {
      for (;;) {
        tcp::socket client = co_await acceptor.async_accept(asio::use_awaitable);
        asio::co_spawn(io, forward(std::move(client)), asio::detached);
      }
    } catch (const boost::system::system_error&) {
    }
  }

  asio::awaitable<void> forward(tcp::socket client) {
    boost::system::error_code ignored;  // small writes go out at once, as libpq's do
    client.set_option(tcp::no_delay(true), ignored);
    auto link = std::make_shared<Link>(std::move(client), io);
    std::erase_if(links, [](const std::weak_ptr<Link>& l) { return l.expired(); });
    links.push_back(link);
    const asio::local::stream_protocol::endpoint endpoint(target);
    try {
      co_await link->server.async_connect(endpoint, asio::use_awaitable);
    } catch (const boost::system::system_error&) {
      link->close();
      co_return;
    }
    asio::co_spawn(io, receive(link, link->client, link->to_server, nullptr, &delay),
                   asio::detached);
    asio::co_spawn(io, deliver(link, link->server, link->to_server), asio::detached);
    asio::co_spawn(io, receive(link, link->server, link->to_client, &blackhole, &delay),
                   asio::detached);
    asio::co_spawn(io, deliver(link, link->client, link->to_client), asio::detached);
  }

  void cut() {
    for (const auto& weak : links) {
      if (const auto link = weak.lock()) {
        // A zero linger time makes close send a reset rather than an orderly end.
        boost::system::error_code ignored;
        link->client.set_option(tcp::socket::linger(true, 0), ignored);
        link->close();
      }
    }
    links.clear();
  }
};

TcpProxy::TcpProxy(std::string path) : state_(std::make_unique<State>(std::move(path))) {
  const tcp::endpoint loopback(asio::ip::address_v4::loopback(), 0);
  state_->acceptor.open(loopback.protocol());
  state_->acceptor.bind(loopback);
  state_->acceptor.listen();
  port_ = state_->acceptor.local_endpoint().port();
  asio::co_spawn(state_->io, state_->accept_all(), asio::detached);
  state_->thread = std::thread([state = state_.get()] { state->io.run(); });
}

TcpProxy::~TcpProxy() {
  // Stopped, the loop runs nothing more; destroying it destroys the suspended coroutines,
  // and with them the links and their sockets.
  state_->io.stop();
  state_->thread.join();
}

std::string TcpProxy::libpq_address() const {
  return "host=127.0.0.1 port=" + std::to_string(port_);
}

void TcpProxy::blackhole_replies() {
  state_->on_thread([state = state_.get()] { state->blackhole = true; });
}

void TcpProxy::set_delay(std::chrono::microseconds delay) {
  state_->on_thread([state = state_.get(), delay] { state->delay = delay; });
}

void TcpProxy::cut() {
  state_->on_thread([state = state_.get()] { state->cut(); });
}

}  // namespace velmor_test
