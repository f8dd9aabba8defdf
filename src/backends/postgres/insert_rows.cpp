#include "backends/postgres/insert_rows.hpp"

#include <algorithm>
#include <bit>
#include <boost/json/serialize.hpp>
#include <map>
#include <optional>

#include "backends/postgres/params.hpp"
#include "backends/postgres/type_oids.hpp"
#include "backends/sql/decimal_text.hpp"
#include "backends/statement_log.hpp"
#include "backends/stored_value.hpp"
#include "backends/table_layout.hpp"
#include "velmor_models/backends/sql/dialect.hpp"
#include "velmor_utils/errors.hpp"

namespace velmor_models::backends::postgres {
namespace {

using boost::json::value;
using classes::model::CoreTypes;
using classes::model::FieldDecl;
using driver::Ready;
using driver::Wait;
using querysets::errors::DatabaseError;
using querysets::errors::DatabaseErrorCategory;

constexpr std::string_view kMetadata = "_metadata";
// Rows per statement at most: larger statements gain little and take long to plan.
constexpr std::size_t kMaxRows = 512;

std::uint32_t type_of(const CoreTypes& t) {
  if (t == CoreTypes::INTEGER) return type_oid::int8;
  if (t == CoreTypes::NUMBER) return type_oid::numeric;
  if (t == CoreTypes::BOOLEAN) return type_oid::boolean;
  if (t == CoreTypes::BINARY) return type_oid::bytea;
  if (t == CoreTypes::ARRAY || t == CoreTypes::DICTIONARY) return type_oid::jsonb;
  return type_oid::text;  // STRING, DATE, DATETIME
}

// Binds one field value, already checked by check_record.
void bind_field(Params& p, const CoreTypes& t, const value& v, std::string& scratch) {
  if (v.is_null()) return p.add_null(type_of(t));
  if (t == CoreTypes::INTEGER)
    return p.add_int8(v.is_int64() ? v.get_int64() : static_cast<std::int64_t>(v.get_uint64()));
  if (t == CoreTypes::NUMBER) {
    if (v.is_double()) return p.add_numeric(v.get_double());
    return p.add_int8(v.is_int64() ? v.get_int64() : static_cast<std::int64_t>(v.get_uint64()));
  }
  if (t == CoreTypes::BOOLEAN)
    return p.add_bool(v.is_bool() ? v.get_bool() : v.to_number<std::int64_t>() != 0);
  if (t == CoreTypes::BINARY) {
    (void)base64_decode(v.get_string(), scratch);
    return p.add_bytea(scratch);
  }
  if (t == CoreTypes::ARRAY || t == CoreTypes::DICTIONARY)
    return p.add_text(sql::json_text(v), type_oid::jsonb);
  return p.add_text(v.get_string(), type_oid::text);
}

// PostgreSQL text cannot hold a NUL character: refused before anything is sent, naming the
// field, rather than when its batch is bound.
void refuse_nul(const classes::model::ModelClass& cls, const boost::json::object& record) {
  for (const auto& [name, v] : record) {
    const auto* text = v.if_string();
    if (!text || std::string_view(*text).find('\0') == std::string_view::npos) continue;
    const FieldDecl* f = nullptr;
    for (const auto& d : cls.fields())
      if (d.name == name) f = &d;
    if (f && (f->type == CoreTypes::BINARY || f->type == CoreTypes::ARRAY ||
              f->type == CoreTypes::DICTIONARY))
      continue;  // bound as bytes, or refused by check_record
    throw velmor_utils::errors::ValueError("field '" + std::string(name) + "' of model '" +
                                           cls.name() +
                                           "' holds text with a NUL character, which "
                                           "PostgreSQL text cannot hold");
  }
}

class InsertRowsOp final : public driver::Operation {
 public:
  InsertRowsOp(Connection& conn, const classes::model::ModelClass& cls,
               std::span<const boost::json::object> records)
      : conn_(conn), cls_(cls), records_(records) {}

  Wait step(Ready ready) override {
    if (records_.empty()) return {};
    if (!request_) {
      if (!prepared_) prepare();
      const Wait w = conn_.settle(ready);
      if (w.kind != Wait::Kind::done) return w;
      request_ = conn_.open_request(head_);
      if (!request_->in_transaction) {
        // A transaction of its own: no batch stays if a later one fails.
        conn_.add_statement(*request_, begin_sql(), Params{});
        began_ = true;
      }
      timer_.emplace(conn_.alias(), head_);
      ready = Ready::none;
    }
    while (!request_->sealed) {
      // Results are read as batches go out: a full socket buffer on both sides would
      // otherwise stop both.
      const bool unsent = conn_.pump(ready);
      ready = Ready::none;
      if (conn_.broken()) break;
      if (unsent) return conn_.io_wait();
      if (next_ < records_.size() && !request_->error) {
        send_batch();
        continue;
      }
      if (began_) conn_.add_statement(*request_, commit_sql(), Params{});
      conn_.seal(*request_);
    }
    const Wait w = conn_.advance(ready, *request_);
    if (w.kind != Wait::Kind::done) return w;
    timer_.reset();
    if (request_->error) fail();
    return {};
  }

  void cancel() noexcept override {
    if (request_) conn_.abandon(*request_, true);
  }

 private:
  static const std::string& begin_sql() {
    static const std::string sql = "BEGIN";
    return sql;
  }
  static const std::string& commit_sql() {
    static const std::string sql = "COMMIT";
    return sql;
  }

  void prepare() {
    for (const auto& record : records_) {
      check_record(cls_, record);
      refuse_nul(cls_, record);
    }
    for (const auto& f : cls_.fields())
      if (f.name != kMetadata) fields_.push_back(&f);
    {
      WidenedColumns& widened = *conn_.settings().widened;
      std::lock_guard lock(widened.mutex);
      if (auto it = widened.by_table.find(table_of(cls_)); it != widened.by_table.end())
        widened_ = it->second;
    }
    for (const FieldDecl* f : fields_) columns_.push_back(f->name);
    columns_.emplace_back(kMetadata);
    for (const FieldDecl* a : address_columns()) columns_.push_back(a->name);
    const sql::Dialect& d = conn_.dialect();
    head_ = "INSERT INTO ";
    d.quote_identifier(head_, table_of(cls_));
    head_ += " (";
    for (std::size_t i = 0; i < columns_.size(); ++i) {
      if (i) head_ += ", ";
      d.quote_identifier(head_, columns_[i]);
    }
    head_ += ") VALUES ";
    batch_ = std::bit_floor(std::min(kMaxRows, std::max<std::size_t>(1, 65535 / columns_.size())));
    prepared_ = true;
  }

  // The text of a statement of `rows` rows.
  const std::string& text(std::size_t rows) {
    std::string& sql = texts_[rows];
    if (!sql.empty()) return sql;
    sql = head_;
    std::size_t n = 0;
    for (std::size_t r = 0; r < rows; ++r) {
      sql += r ? ", (" : "(";
      for (std::size_t c = 0; c < columns_.size(); ++c) {
        if (c) sql += ", ";
        conn_.dialect().placeholder(sql, ++n);
      }
      sql += ')';
    }
    return sql;
  }

  void send_batch() {
    // Whole batches, then the rest in powers of two: a few statement texts per table.
    const std::size_t left = records_.size() - next_;
    const std::size_t rows = left >= batch_ ? batch_ : std::bit_floor(left);
    Params p;
    std::string scratch;
    static const value null_value;
    for (std::size_t r = next_; r < next_ + rows; ++r) {
      const boost::json::object& record = records_[r];
      for (const FieldDecl* f : fields_) {
        const value* v = record.if_contains(f->name);
        if (std::find(widened_.begin(), widened_.end(), f->name) != widened_.end()) {
          // A widened column: the value as JSON (bytes as their base64 text).
          if (!v || v->is_null())
            p.add_null(type_oid::jsonb);
          else
            p.add_text(boost::json::serialize(*v), type_oid::jsonb);
          continue;
        }
        bind_field(p, f->type, v ? *v : null_value, scratch);
      }
      const value* meta = record.if_contains(kMetadata);
      if (!meta || meta->is_null())
        p.add_null(type_oid::text);
      else if (meta->is_string())
        p.add_text(meta->get_string(), type_oid::text);
      else
        p.add_text(boost::json::serialize(*meta), type_oid::text);
      for (const FieldDecl* a : address_columns()) {
        const value* v = record.if_contains(a->name);
        bind_field(p, a->type, v ? *v : null_value, scratch);
      }
    }
    conn_.add_statement(*request_, text(rows), p);
    next_ += rows;
  }

  [[noreturn]] void fail() {
    // A transaction of its own that failed stays failed until rolled back.
    if (began_) conn_.rollback();
    try {
      std::rethrow_exception(request_->error);
    } catch (const DatabaseError& e) {
      if (!began_ || !request_->sealed || e.category() != DatabaseErrorCategory::connection_lost)
        throw;
      throw DatabaseError(message_prefix(conn_.settings()) +
                              "the connection was lost after the rows and their COMMIT were "
                              "sent, so they may or may not have been added (" +
                              e.what() + ")",
                          conn_.alias(), head_, e.code(), false,
                          DatabaseErrorCategory::outcome_unknown, 0, e.sqlstate());
    }
  }

  Connection& conn_;
  const classes::model::ModelClass& cls_;
  std::span<const boost::json::object> records_;
  bool prepared_ = false;
  std::vector<const FieldDecl*> fields_;
  std::vector<std::string> widened_;  // columns that hold JSON (a field whose type changed)
  std::vector<std::string> columns_;
  std::string head_;
  std::size_t batch_ = 1;
  std::map<std::size_t, std::string> texts_;
  std::size_t next_ = 0;
  bool began_ = false;
  std::shared_ptr<Request> request_;
  std::optional<StatementTimer> timer_;
};

}  // namespace

std::unique_ptr<driver::Operation> insert_rows_op(Connection& conn,
                                                  const classes::model::ModelClass& cls,
                                                  std::span<const boost::json::object> records) {
  return std::make_unique<InsertRowsOp>(conn, cls, records);
}

}  // namespace velmor_models::backends::postgres
