#pragma once
// The rows of one statement, one at a time: the statement runs in single-row mode, so
// memory holds a row whatever the size of the result (a server-side cursor would need a
// transaction and a round trip per batch). Leaving early drops the rest of the rows as
// they arrive, before the connection's next statement; outside a transaction a read is
// also cancelled on the server, so that it stops producing them.

#include <memory>
#include <string>
#include <vector>

#include "backends/postgres/connection.hpp"
#include "backends/postgres/operations.hpp"

namespace velmor_models::backends::postgres {

/// A statement's rows as they arrive, for driver cursors and record cursors alike.
class RowStream {
 public:
  RowStream(Connection& conn, std::string sql, std::vector<driver::Value> params);
  ~RowStream();
  RowStream(const RowStream&) = delete;
  RowStream& operator=(const RowStream&) = delete;

  /// The steps that send the statement and wait for its first row (or its end).
  driver::Operation& start() { return start_; }
  /// The steps that wait for the next row (or the end), once the current one is read.
  std::shared_ptr<driver::Operation> more();
  /// Moves to the next row already here; false when none is (`more()` brings one, or the
  /// rows are over: `finished()`). Throws the statement's failure once its rows are read.
  bool next_here();
  bool finished() const noexcept;
  /// The result holding the current row and its index there.
  const pg_result* current() const noexcept { return current_.get(); }
  int row() const noexcept { return row_; }
  /// The result that describes the columns (the first to arrive).
  const pg_result* description() const noexcept;

 private:
  class Start final : public driver::Operation {
   public:
    explicit Start(StatementSteps& steps) : steps_(steps) {}
    driver::Wait step(driver::Ready ready) override { return steps_.step(ready); }
    void cancel() noexcept override { steps_.cancel(); }

   private:
    StatementSteps& steps_;
  };

  StatementSteps steps_;
  Start start_{steps_};
  bool read_only_;  // a plain read: safe to cancel on the server when left early
  Result current_;
  Result description_;
  int row_ = -1;
};

/// A driver cursor over `sql`, read with poll on the calling thread.
std::unique_ptr<driver::Cursor> open_cursor(Connection& conn, std::string sql,
                                            std::vector<driver::Value> params);

}  // namespace velmor_models::backends::postgres
