#include "backends/postgres/cursor.hpp"

#include <libpq-fe.h>

#include <cctype>

#include "backends/postgres/results.hpp"

namespace velmor_models::backends::postgres {
namespace {

// A statement that only reads: SELECT, VALUES or TABLE first. (A WITH may hold writes.)
bool plain_read(std::string_view sql) {
  std::size_t i = 0;
  while (i < sql.size() && std::isspace(static_cast<unsigned char>(sql[i]))) ++i;
  std::string word;
  while (i < sql.size() && std::isalpha(static_cast<unsigned char>(sql[i])))
    word += static_cast<char>(std::toupper(static_cast<unsigned char>(sql[i++])));
  return word == "SELECT" || word == "VALUES" || word == "TABLE";
}

}  // namespace

RowStream::RowStream(Connection& conn, std::string sql, std::vector<driver::Value> params)
    : steps_(conn, std::move(sql), std::move(params), true), read_only_(plain_read(steps_.sql())) {}

RowStream::~RowStream() {
  const std::shared_ptr<Request>& r = steps_.request();
  if (r && !r->done) steps_.connection().abandon(*r, read_only_ && !r->in_transaction);
}

std::shared_ptr<driver::Operation> RowStream::more() {
  const std::shared_ptr<Request>& r = steps_.request();
  return std::make_shared<StreamOp>(steps_.connection(), r, read_only_ && !r->in_transaction);
}

bool RowStream::finished() const noexcept {
  const std::shared_ptr<Request>& r = steps_.request();
  return !r || (r->done && r->rows.empty() && (!current_ || row_ + 1 >= PQntuples(current_.get())));
}

bool RowStream::next_here() {
  if (current_ && row_ + 1 < PQntuples(current_.get())) {
    ++row_;
    return true;
  }
  Request& r = *steps_.request();
  while (!r.rows.empty()) {
    Result next = std::move(r.rows.front());
    r.rows.pop_front();
    if (!description_) description_.reset(PQcopyResult(next.get(), PG_COPYRES_ATTRS));
    current_ = std::move(next);
    row_ = 0;
    if (PQntuples(current_.get()) > 0) return true;
  }
  current_.reset();
  if (r.done && r.error) std::rethrow_exception(r.error);
  return false;
}

const pg_result* RowStream::description() const noexcept {
  if (description_) return description_.get();
  const std::shared_ptr<Request>& r = steps_.request();
  if (r && !r->rows.empty()) return r->rows.front().get();
  return nullptr;
}

namespace {

class Cursor final : public driver::Cursor {
 public:
  Cursor(Connection& conn, std::string sql, std::vector<driver::Value> params)
      : stream_(conn, std::move(sql), std::move(params)) {
    driver::run(stream_.start());
  }
  bool next() override {
    for (;;) {
      if (stream_.next_here()) return true;
      if (stream_.finished()) return false;
      driver::run(*stream_.more());
    }
  }
  std::size_t column_count() const override {
    const pg_result* d = stream_.description();
    return d ? static_cast<std::size_t>(PQnfields(d)) : 0;
  }
  std::string column_name(std::size_t i) const override {
    return PQfname(stream_.description(), static_cast<int>(i));
  }
  driver::Value value(std::size_t i) const override {
    return value_at(stream_.current(), stream_.row(), static_cast<int>(i));
  }

 private:
  RowStream stream_;
};

}  // namespace

std::unique_ptr<driver::Cursor> open_cursor(Connection& conn, std::string sql,
                                            std::vector<driver::Value> params) {
  return std::make_unique<Cursor>(conn, std::move(sql), std::move(params));
}

}  // namespace velmor_models::backends::postgres
