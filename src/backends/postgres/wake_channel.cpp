#include "backends/postgres/wake_channel.hpp"

#include <boost/asio/experimental/channel_error.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/use_awaitable.hpp>

namespace velmor_models::backends::postgres {

void wake(WakeChannel& channel) noexcept {
  (void)channel.try_send(boost::system::error_code{});  // full: a signal waits already
}

boost::asio::awaitable<void> woken(WakeChannel& channel) {
  boost::system::error_code ec;
  auto received =
      channel.async_receive(boost::asio::redirect_error(boost::asio::use_awaitable, ec));
  co_await std::move(received);
  if (ec == boost::asio::experimental::error::channel_cancelled ||
      ec == boost::asio::error::operation_aborted)
    throw boost::system::system_error(boost::asio::error::operation_aborted);
  if (ec) throw boost::system::system_error(ec);
}

}  // namespace velmor_models::backends::postgres
