#pragma once
// Short reads of many coroutines sharing one connection of a pool. Each statement goes out
// as soon as it is asked for, behind those already on their way (several in one flush when
// they come together), and the results come back in order to their owners. One waiting
// coroutine at a time drives the socket, on its own loop, and hands the results it reads to
// their owners; once its own result is in, another waiting one takes over. A coroutine
// cancelled while it waits drops its result when it arrives: a cancel request would stop
// whichever statement the server runs then, a neighbour's perhaps, so a statement left
// behind ends by itself or by the server's statement_timeout. Transactions, writes and bulk
// loads lease connections of their own. The connection is leased from the pool while
// readers use it, and given back when the last one leaves.

#include <boost/asio/awaitable.hpp>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "backends/postgres/connection.hpp"
#include "backends/postgres/pool.hpp"

namespace velmor_models::backends::postgres {

class Params;

class Pipeline : public std::enable_shared_from_this<Pipeline> {
 public:
  explicit Pipeline(std::shared_ptr<Pool> pool) : pool_(std::move(pool)) {}
  Pipeline(const Pipeline&) = delete;
  Pipeline& operator=(const Pipeline&) = delete;

  /// The whole result of `sql` with `params` bound, read on the shared connection (outside
  /// any transaction). A cached statement whose plan no longer fits is run once more.
  boost::asio::awaitable<Result> run(std::string sql, std::vector<driver::Value> params);

  /// Coroutines reading now.
  std::size_t readers() const;

 private:
  struct Reader;
  class Use;
  class Drive;

  boost::asio::awaitable<void> connect();
  boost::asio::awaitable<void> open(Reader& me);
  boost::asio::awaitable<void> finish(Reader& me);
  /// Sends the reader's statement; false when the shared connection had broken and was
  /// given back (the reader opens another).
  bool send(Reader& me, const std::string& sql, const Params& params);
  void wait_locked(Reader& r);
  void wake_all_locked();
  void wake_done_locked();
  void hand_over_locked();

  const std::shared_ptr<Pool> pool_;
  mutable std::mutex mutex_;
  enum class State { closed, opening, open } state_ = State::closed;
  std::optional<driver::Lease> lease_;
  Connection* conn_ = nullptr;
  bool driving_ = false;
  std::size_t users_ = 0;
  std::list<Reader*> waiting_;
};

}  // namespace velmor_models::backends::postgres
