#pragma once
// The threads that run blocking database calls for coroutines, so that no caller's event
// loop waits on a database.

#include <boost/asio/thread_pool.hpp>

namespace velmor_models::backends {

/// The process's worker pool, started on first use.
boost::asio::thread_pool& worker_pool();

}  // namespace velmor_models::backends
