#pragma once
// Runs one awaitable to its end on a loop of the calling thread.

#include <boost/asio/awaitable.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_future.hpp>

namespace velmor_test {

template <class T>
T awaited(boost::asio::awaitable<T> op) {
  boost::asio::io_context loop;
  auto result = boost::asio::co_spawn(loop, std::move(op), boost::asio::use_future);
  loop.run();
  return result.get();
}

}  // namespace velmor_test
