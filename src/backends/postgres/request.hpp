#pragma once
// What a connection has sent and not yet read to its end: a group of commands closed by a
// sync (one round trip), and what their results have become. Results come back in the
// order the requests went out, so a connection reads them into its queue of requests.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <string>
#include <vector>

struct pg_result;

namespace velmor_models::backends::postgres {

struct ResultDeleter {
  void operator()(pg_result* r) const noexcept;
};
/// A libpq result, cleared when dropped.
using Result = std::unique_ptr<pg_result, ResultDeleter>;

struct Request {
  enum class Kind {
    prepare,       ///< creates a cached statement
    statement,     ///< runs one
    housekeeping,  ///< ROLLBACK, DEALLOCATE: its outcome matters to nobody
  };
  struct Command {
    Kind kind = Kind::statement;
    std::string key;      ///< the cache entry it creates or runs; empty for an unnamed statement
    std::string name;     ///< that entry's name
    bool stream = false;  ///< rows one at a time (single-row mode)
  };

  std::string sql;  ///< for messages
  std::vector<Command> commands;
  std::size_t current = 0;      ///< the command whose results come next
  bool armed = false;           ///< single-row mode is set for the current command
  bool streamed = false;        ///< a row came on its own
  bool sealed = false;          ///< its sync is sent: no command follows
  bool abandoned = false;       ///< nobody reads it any more: results are dropped on arrival
  bool done = false;            ///< its sync arrived, or the connection is gone
  bool in_transaction = false;  ///< sent inside a transaction

  Result result;              ///< the last whole result of a statement
  std::deque<Result> rows;    ///< streamed results not yet read (the first may hold none)
  std::int64_t changed = 0;   ///< rows changed by its statements
  std::vector<std::int64_t> changed_each;  ///< the same, statement by statement
  std::exception_ptr error;   ///< its first failure
  std::string sqlstate;       ///< that failure's SQLSTATE
  bool plan_invalid = false;  ///< the failure is a cached statement that no longer fits

  /// True when its reader has something: the end, or a streamed row.
  bool ready() const noexcept { return done || (!rows.empty() && !abandoned); }
};

}  // namespace velmor_models::backends::postgres
