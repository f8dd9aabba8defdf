// PostgreSQL: `$n` placeholders, JSON-valued columns as jsonb read through a bound
// strict jsonpath, text ordered by bytes (COLLATE "C"), NULLs placed explicitly, and
// LIMIT NULL for "no limit".

#include <boost/json/array.hpp>
#include <boost/json/serialize.hpp>
#include <charconv>

#include "velmor_models/backends/sql/dialect.hpp"
#include "velmor_models/backends/sql/unsupported_query_error.hpp"
#include "velmor_utils/errors.hpp"

namespace velmor_models::backends::sql {
namespace {

using velmor_utils::query::Lookup;

// PostgreSQL silently cuts longer names to this many bytes.
constexpr std::size_t max_identifier_bytes = 63;
// Lists up to this length bind one value per element (the protocol allows 65535 in all).
constexpr std::size_t max_inline_list = 64;

std::int64_t utf8_characters(std::string_view s) {
  std::int64_t n = 0;
  for (char c : s) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return n;
}

class PostgresDialect final : public Dialect {
 public:
  std::string_view name() const noexcept override { return "postgresql"; }

  void check_identifier(std::string_view name) const override {
    Dialect::check_identifier(name);
    if (name.size() > max_identifier_bytes)
      throw velmor_utils::errors::ValueError("The name '" + std::string(name.substr(0, 64)) +
                                             "...' is longer than PostgreSQL's 63 bytes");
    // pg_ names resolve to the system catalogs, which come first on the search path.
    if (name.starts_with("pg_"))
      throw velmor_utils::errors::ValueError("The name '" + std::string(name) +
                                             "' is reserved by PostgreSQL");
  }

  void placeholder(std::string& out, std::size_t n) const override {
    char buf[24];
    buf[0] = '$';
    auto end = std::to_chars(buf + 1, buf + sizeof buf, n).ptr;
    out.append(buf, end);
  }

  std::string json_path(std::span<const std::string_view> keys) const override {
    // strict: a key looked up in an array is missing rather than unwrapped.
    std::string path = "strict $";
    for (std::string_view key : keys) {
      path += ".\"";
      for (char c : key) {
        auto u = static_cast<unsigned char>(c);
        if (u == 0)
          throw UnsupportedQueryError(
              "A JSON key holding a NUL character cannot be looked up "
              "in PostgreSQL");
        if (u < 0x20) {
          static constexpr char hex[] = "0123456789abcdef";
          ((path += "\\u00") += hex[u >> 4]) += hex[u & 15];
          continue;
        }
        if (c == '"' || c == '\\') path += '\\';
        path += c;
      }
      path += '"';
    }
    return path;
  }

  void value_of(StatementWriter& w, const Operand& op) const override {
    if (op.json()) {
      w << "jsonb_path_query_first(";
      quote_identifier(w.text, op.column);
      w << ", CAST(";
      w.bind(boost::json::string(op.path));
      w << " AS jsonpath), '{}', true)";
      return;
    }
    quote_identifier(w.text, op.column);
    if (op.text) w << " COLLATE \"C\"";
  }

  void text_of(StatementWriter& w, const Operand& op, bool fold) const override {
    if (fold) w << "velmor_casefold(";
    if (op.json()) {
      w << "(";
      value_of(w, op);
      w << " #>> '{}')";
    } else {
      quote_identifier(w.text, op.column);
    }
    if (fold) w << ")";
  }

  void json_is(StatementWriter& w, const Operand& op, JsonKind kind) const override {
    w << "jsonb_typeof(";
    value_of(w, op);
    w << (kind == JsonKind::text ? ") = 'string'" : ") NOT IN ('array', 'object')");
  }

  void bind_value(StatementWriter& w, const Operand& op,
                  const boost::json::value& value) const override {
    if (op.json()) {
      w << "CAST(";
      w.bind(boost::json::string(boost::json::serialize(value)));
      w << " AS jsonb)";
    } else if (value.is_bool()) {
      w.bind(std::int64_t{value.get_bool()});
    } else {
      w.bind(value);
    }
  }

  void text_match(StatementWriter& w, Lookup lookup, const Operand& op, std::string_view needle,
                  bool fold) const override {
    if (lookup == Lookup::endswith) {
      w << "right(";
      text_of(w, op, fold);
      w << ", ";
      w.bind(utf8_characters(needle));
      w << ") = ";
      w.bind(boost::json::string(needle));
      return;
    }
    w << (lookup == Lookup::contains ? "strpos(" : "starts_with(");
    text_of(w, op, fold);
    w << ", ";
    w.bind(boost::json::string(needle));
    w << (lookup == Lookup::contains ? ") > 0" : ")");
  }

  void in_list(StatementWriter& w, const Operand& op,
               std::span<const boost::json::value> values) const override {
    value_of(w, op);
    if (values.size() > max_inline_list) {
      boost::json::array list(values.begin(), values.end());
      if (op.json())
        w << " IN (SELECT jsonb_array_elements(CAST(";
      else if (op.text)
        w << " IN (SELECT jsonb_array_elements_text(CAST(";
      else
        w << " IN (SELECT CAST(jsonb_array_elements_text(CAST(";
      w.bind(boost::json::string(boost::json::serialize(list)));
      w << (op.json() || op.text ? " AS jsonb)))" : " AS jsonb)) AS numeric))");
      return;
    }
    bound_in_list(w, op, values);
  }

  void order_term(StatementWriter& w, const Operand& op, bool descending) const override {
    value_of(w, op);
    w << (descending ? " DESC NULLS LAST" : " ASC NULLS FIRST");
  }

  std::string_view insertion_order() const noexcept override { return {}; }

  void window(StatementWriter& w, std::optional<std::int64_t> limit,
              std::int64_t offset) const override {
    // LIMIT NULL is no limit.
    w << " LIMIT ";
    if (limit)
      w.bind(*limit);
    else
      w.bind(nullptr);
    w << " OFFSET ";
    w.bind(offset);
  }

  // No database-wide write lock to take: serializable isolation stands for it. What the
  // transaction read stays as read, or its commit fails as a conflict (40001, retryable).
  // Read committed: the object store's writers order themselves with row locks (the
  // object's row of the lakehouse, taken by the UPDATE that moves its version on) and
  // named locks (lock_name), so that a concurrent save waits instead of failing.
  std::string_view begin_write() const noexcept override { return "BEGIN"; }

  std::string_view column_type(const classes::model::CoreTypes& t) const noexcept override {
    using classes::model::CoreTypes;
    if (t == CoreTypes::INTEGER) return "bigint";
    if (t == CoreTypes::BOOLEAN) return "boolean";
    if (t == CoreTypes::NUMBER) return "double precision";
    if (t == CoreTypes::BINARY) return "bytea";
    if (t == CoreTypes::ARRAY || t == CoreTypes::DICTIONARY) return "jsonb";
    return "text";  // STRING, DATE, DATETIME
  }

  std::string table_columns() const override {
    return "SELECT column_name, data_type FROM information_schema.columns WHERE table_schema = "
           "current_schema() AND table_name = $1 ORDER BY ordinal_position";
  }

  // jsonb holds a value of any kind as it was: bytes as their base64 text, as every store
  // hands them back.
  std::string widen_column(std::string_view table, std::string_view column,
                           std::string_view type) const override {
    std::string out = "ALTER TABLE ";
    quote_identifier(out, table);
    out += " ALTER COLUMN ";
    quote_identifier(out, column);
    out += " TYPE jsonb USING to_jsonb(";
    if (type == "bytea") out += "translate(encode(";
    quote_identifier(out, column);
    if (type == "bytea") out += ", 'base64'), E'\\n', '')";
    out += ')';
    return out;
  }

  std::string lock_name() const override {
    return "SELECT pg_advisory_xact_lock(hashtextextended($1, 0))";
  }

  std::string_view lock_rows() const noexcept override { return " FOR UPDATE"; }

  std::string session_alive() const override {
    return "SELECT 1 FROM pg_stat_activity WHERE pid = $1";
  }

  std::string table_exists() const override {
    return "SELECT 1 FROM information_schema.tables WHERE table_schema = current_schema() AND "
           "table_name = $1";
  }
};

}  // namespace

const Dialect& postgres_dialect() noexcept {
  static const PostgresDialect dialect;
  return dialect;
}

}  // namespace velmor_models::backends::sql
