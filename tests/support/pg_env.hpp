#pragma once
// Where the throwaway PostgreSQL servers of the tests are, as scripts/pg_cluster.sh exports
// it (scripts/test.sh starts them). Each getter is empty when its variable is not set: a
// test that needs a server then skips, e.g.
//   const auto url = velmor_test::pg_url();
//   if (!url) GTEST_SKIP() << velmor_test::pg_skip_reason;

#include <cstdlib>
#include <optional>
#include <string>

namespace velmor_test {

inline constexpr const char* pg_skip_reason =
    "needs a PostgreSQL server: VELMOR_PG_URL is not set (./scripts/test.sh starts one)";

inline std::optional<std::string> pg_variable(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') return std::nullopt;
  return std::string(value);
}

/// libpq key=value connection string of the primary's test database.
inline std::optional<std::string> pg_url() {
  return pg_variable("VELMOR_PG_URL");
}
/// The same database on a streaming standby of the primary (read only).
inline std::optional<std::string> pg_standby_url() {
  return pg_variable("VELMOR_PG_STANDBY_URL");
}
/// Data folders of the primary and of the standby (their logs: the same path + ".log").
inline std::optional<std::string> pg_data() {
  return pg_variable("VELMOR_PG_DATA");
}
inline std::optional<std::string> pg_standby_data() {
  return pg_variable("VELMOR_PG_STANDBY_DATA");
}
/// The folder with pg_ctl, pg_isready and psql.
inline std::optional<std::string> pg_bin() {
  return pg_variable("VELMOR_PG_BIN");
}
/// The folder of both servers' Unix sockets (they listen on no TCP port).
inline std::optional<std::string> pg_host() {
  return pg_variable("VELMOR_PG_HOST");
}
inline std::optional<std::string> pg_port() {
  return pg_variable("VELMOR_PG_PORT");
}
inline std::optional<std::string> pg_standby_port() {
  return pg_variable("VELMOR_PG_STANDBY_PORT");
}

/// The primary's socket file, <host>/.s.PGSQL.<port>: what a TcpProxy forwards to.
inline std::optional<std::string> pg_socket_path() {
  const auto host = pg_host();
  const auto port = pg_port();
  if (!host || !port) return std::nullopt;
  return *host + "/.s.PGSQL." + *port;
}

}  // namespace velmor_test
