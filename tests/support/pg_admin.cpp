#include "support/pg_admin.hpp"

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <deque>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <vector>

#include "support/pg_env.hpp"

namespace velmor_test {
namespace {

using namespace std::chrono_literals;

constexpr auto wait_limit = 60s;
const std::string wait_seconds = "60";

struct Outcome {
  int status = -1;  // the exit status, or -1 when the program did not exit normally
  std::string output;
};

std::string program(const std::string& name) {
  const auto bin = pg_bin();
  if (!bin) throw std::runtime_error("VELMOR_PG_BIN is not set: cannot run " + name);
  return *bin + "/" + name;
}

std::string log_tail(const std::string& data_folder) {
  std::ifstream in(data_folder + ".log");
  std::deque<std::string> lines;
  for (std::string line; std::getline(in, line);) {
    lines.push_back(line);
    if (lines.size() > 20) lines.pop_front();
  }
  std::string tail;
  for (const auto& line : lines) tail += line + '\n';
  return tail;
}

// The server's own user, when the test runs as root and the folder is someone else's.
std::vector<std::string> as_owner_of(const std::string& path, std::vector<std::string> argv) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0)
    throw std::system_error(errno, std::generic_category(), "stat " + path);
  if (::geteuid() != 0 || st.st_uid == 0) return argv;
  std::array<char, 4096> buffer{};
  passwd pw{};
  passwd* found = nullptr;
  if (::getpwuid_r(st.st_uid, &pw, buffer.data(), buffer.size(), &found) != 0 || !found)
    throw std::runtime_error("no user name for the owner of " + path);
  std::string runuser = "/usr/sbin/runuser";
  if (::access(runuser.c_str(), X_OK) != 0) runuser = "/sbin/runuser";
  argv.insert(argv.begin(), {runuser, "-u", found->pw_name, "--"});
  return argv;
}

// Runs a program to its end, its output (stdout and stderr) captured. The child keeps no
// descriptor of the test but those three: a server it starts must not hold the test's
// sockets or pipes open.
Outcome run(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::array<int, 2> out{};
  if (::pipe2(out.data(), O_CLOEXEC) != 0)
    throw std::system_error(errno, std::generic_category(), "pipe2");
  const pid_t pid = ::fork();
  if (pid < 0) {
    const int error = errno;
    ::close(out[0]);
    ::close(out[1]);
    throw std::system_error(error, std::generic_category(), "fork");
  }
  if (pid == 0) {  // only async-signal-safe calls until exec
    const int null = ::open("/dev/null", O_RDONLY);
    if (null < 0 || ::dup2(null, 0) < 0 || ::dup2(out[1], 1) < 0 || ::dup2(out[1], 2) < 0)
      ::_exit(127);
    ::close_range(3, ~0U, 0);
    ::execv(args[0], args.data());
    constexpr char failed[] = "exec failed\n";
    [[maybe_unused]] auto n = ::write(2, failed, sizeof failed - 1);
    ::_exit(127);
  }
  ::close(out[1]);
  Outcome outcome;
  std::array<char, 4096> chunk{};
  for (;;) {
    const ssize_t n = ::read(out[0], chunk.data(), chunk.size());
    if (n > 0) {
      outcome.output.append(chunk.data(), static_cast<std::size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      break;
    }
  }
  ::close(out[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) outcome.status = WEXITSTATUS(status);
  return outcome;
}

std::string command_line(const std::vector<std::string>& argv) {
  std::string line;
  for (const auto& a : argv) line += (line.empty() ? "" : " ") + a;
  return line;
}

void run_pg_ctl(const std::string& data_folder, std::vector<std::string> args) {
  args.insert(args.begin(), {program("pg_ctl"), "-D", data_folder});
  const auto argv = as_owner_of(data_folder, std::move(args));
  const Outcome outcome = run(argv);
  if (outcome.status != 0)
    throw std::runtime_error(command_line(argv) + " failed:\n" + outcome.output + "--- end of " +
                             data_folder + ".log:\n" + log_tail(data_folder));
}

// Line `number` (from 1) of the server's postmaster.pid: 4 is the port, 5 the socket folder.
std::string pid_file_line(const std::string& data_folder, int number) {
  std::ifstream in(data_folder + "/postmaster.pid");
  std::string line;
  for (int i = 0; i < number; ++i)
    if (!std::getline(in, line))
      throw std::runtime_error("no server runs in " + data_folder + " (no postmaster.pid)");
  return line;
}

}  // namespace

void pg_stop_fast(const std::string& data_folder) {
  run_pg_ctl(data_folder, {"-m", "fast", "-w", "-t", wait_seconds, "stop"});
}

void pg_start(const std::string& data_folder) {
  run_pg_ctl(data_folder, {"-l", data_folder + ".log", "-w", "-t", wait_seconds, "start"});
}

void pg_kill_backend(int pid) {
  if (pid <= 0) throw std::invalid_argument("pg_kill_backend: no process id");
  if (::kill(pid, SIGKILL) != 0)
    throw std::system_error(errno, std::generic_category(), "kill -9 " + std::to_string(pid));
  // A killed process stays in /proc until its parent, the postmaster, reaps it; reaping it
  // is where the postmaster starts ending the other sessions.
  const std::string entry = "/proc/" + std::to_string(pid);
  const auto deadline = std::chrono::steady_clock::now() + wait_limit;
  while (std::filesystem::exists(entry)) {
    if (std::chrono::steady_clock::now() > deadline)
      throw std::runtime_error("process " + std::to_string(pid) + " was not reaped");
    std::this_thread::sleep_for(2ms);
  }
}

void pg_wait_until_accepting(const std::string& data_folder) {
  const std::string port = pid_file_line(data_folder, 4);
  const std::string host = pid_file_line(data_folder, 5);
  // As the cluster's superuser: another name would leave "role does not exist" in the log.
  const std::vector<std::string> argv = {
      program("pg_isready"), "-h", host, "-p", port, "-U", "velmor", "-d", "postgres", "-t", "5"};
  const auto deadline = std::chrono::steady_clock::now() + wait_limit;
  for (;;) {
    const Outcome outcome = run(argv);
    if (outcome.status == 0) return;
    if (std::chrono::steady_clock::now() > deadline)
      throw std::runtime_error(command_line(argv) + " still fails:\n" + outcome.output +
                               "--- end of " + data_folder + ".log:\n" + log_tail(data_folder));
    std::this_thread::sleep_for(50ms);
  }
}

}  // namespace velmor_test
