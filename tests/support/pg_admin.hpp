#pragma once
// What a test does to the servers of scripts/pg_cluster.sh from outside: stop one, start it
// again, kill one of its processes. The server programs run as the user that owns the data
// folder (through runuser when the test runs as root: pg_ctl refuses root). Failures throw
// std::runtime_error with the command's output and the end of the server's log.

#include <string>

namespace velmor_test {

/// Stops the server of a data folder (`pg_ctl stop -m fast`) and returns once it has ended.
void pg_stop_fast(const std::string& data_folder);

/// Starts the server of a data folder (`pg_ctl start`, its log appended to
/// `<data_folder>.log`) and returns once it accepts connections.
void pg_start(const std::string& data_folder);

/// Kills one server process (SIGKILL) and returns once the postmaster has reaped it. The
/// postmaster then ends every other session and restarts; pg_wait_until_accepting waits
/// for that.
void pg_kill_backend(int pid);

/// Returns once the server of a data folder accepts connections (`pg_isready`).
void pg_wait_until_accepting(const std::string& data_folder);

}  // namespace velmor_test
