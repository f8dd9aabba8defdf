#pragma once
// A loopback TCP proxy in front of a Unix socket (a PostgreSQL server's), running on a
// thread of its own. A test connects through it and then breaks the network on command:
// replies that never arrive while the connections stay open, or connections closed at once.
// It can also make the link slow: every chunk is held for a while before it is forwarded.

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

namespace velmor_test {

class TcpProxy {
 public:
  /// Listens on 127.0.0.1, on a port the system picks, and forwards each accepted
  /// connection to the Unix socket at `unix_socket` in both directions.
  explicit TcpProxy(std::string unix_socket);
  /// Closes every connection and stops the thread.
  ~TcpProxy();
  TcpProxy(const TcpProxy&) = delete;
  TcpProxy& operator=(const TcpProxy&) = delete;

  std::uint16_t port() const { return port_; }
  /// "host=127.0.0.1 port=<port>": appended to a libpq connection string, whose later
  /// keywords win, it sends that connection through the proxy.
  std::string libpq_address() const;

  /// From now on everything the server sends is read and dropped, on every connection,
  /// and the connections stay open: a request gets no answer, ever.
  void blackhole_replies();
  /// Closes every open connection abruptly (a reset towards the client, the server's end
  /// closed); connections made afterwards are forwarded as before.
  void cut();
  /// From now on every chunk read from either end is forwarded `delay` after it arrived,
  /// in order (a link with that much latency each way, its bandwidth intact: chunks keep
  /// arriving meanwhile). Zero, the default, forwards at once.
  void set_delay(std::chrono::microseconds delay);

 private:
  struct State;
  std::unique_ptr<State> state_;
  std::uint16_t port_ = 0;
};

}  // namespace velmor_test
