#include "support/tcp_proxy.hpp"

#include <array>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/use_future.hpp>
#include <boost/asio/write.hpp>
#include <functional>
#include <thread>
#include <vector>

namespace velmor_test {
namespace {

namespace asio = boost::asio;
using asio::ip::tcp;
using unix_socket = asio::local::stream_protocol::socket;

// One forwarded connection: the client's TCP end and the server's Unix end.
struct Link {
  tcp::socket client;
  unix_socket server;

  void close() {
    boost::system::error_code ignored;
    client.close(ignored);
    server.close(ignored);
  }
};

// Copies what one end sends to the other; `drop` (when given and set) discards it instead.
// Either end failing or closing closes both.
template <class From, class To>
asio::awaitable<void> pump(std::shared_ptr<Link> link, From& from, To& to, const bool* drop) {
  std::array<char, 16 * 1024> buffer;
  try {
    for (;;) {
      const auto into = asio::buffer(buffer);
      const std::size_t n = co_await from.async_read_some(into, asio::use_awaitable);
      if (drop != nullptr && *drop) continue;
      const auto out = asio::buffer(buffer.data(), n);
      co_await asio::async_write(to, out, asio::use_awaitable);
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
    auto link = std::make_shared<Link>(Link{std::move(client), unix_socket(io)});
    std::erase_if(links, [](const std::weak_ptr<Link>& l) { return l.expired(); });
    links.push_back(link);
    const asio::local::stream_protocol::endpoint endpoint(target);
    try {
      co_await link->server.async_connect(endpoint, asio::use_awaitable);
    } catch (const boost::system::system_error&) {
      link->close();
      co_return;
    }
    asio::co_spawn(io, pump(link, link->client, link->server, nullptr), asio::detached);
    asio::co_spawn(io, pump(link, link->server, link->client, &blackhole), asio::detached);
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

void TcpProxy::cut() {
  state_->on_thread([state = state_.get()] { state->cut(); });
}

}  // namespace velmor_test
