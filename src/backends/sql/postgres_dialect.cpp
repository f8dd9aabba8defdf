// PostgreSQL: `$n` placeholders, JSON-valued columns as jsonb read through a bound
// strict jsonpath, text ordered by bytes (COLLATE "C"), NULLs placed explicitly, and
// LIMIT NULL for "no limit". Values inside JSON compare by the one total order of every
// store (jsonb's own order differs), BOOLEAN columns as 0 and 1, numbers as numeric so
// integers and reals compare exactly, and rows keep their insertion order in a column of
// their own.

#include <boost/json/array.hpp>
#include <boost/json/serialize.hpp>
#include <charconv>

#include "backends/sql/decimal_text.hpp"
#include "velmor_models/backends/sql/dialect.hpp"
#include "velmor_models/backends/sql/unsupported_query_error.hpp"
#include "velmor_utils/errors.hpp"

namespace velmor_models::backends::sql {
namespace {

using velmor_utils::query::Lookup;

// PostgreSQL silently cuts longer names to this many bytes.
constexpr std::size_t max_name_bytes = 63;
// Lists up to this length bind one value per element (the protocol allows 65535 in all).
constexpr std::size_t max_inline_list = 64;

std::int64_t utf8_characters(std::string_view s) {
  std::int64_t n = 0;
  for (char c : s) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return n;
}

class PostgresDialect final : public Dialect {
 private:
  // The jsonb at the path of a JSON operand, its path bound once: the text may be written
  // several times into one expression.
  std::string json_at(StatementWriter& w, const Operand& op) const {
    std::string out = "jsonb_path_query_first(";
    quote_identifier(out, op.column);
    out += ", CAST(";
    w.params.emplace_back(boost::json::string(op.path));
    placeholder(out, w.params.size());
    out += " AS jsonpath), '{}', true)";
    return out;
  }

  // The key of the jsonb `raw` in the one total order: NULL for SQL or JSON null, else a
  // record (kind, number, bytes) that compares as the order says: booleans and numbers
  // (kind 1) by value, then text (kind 2) by its UTF-8 bytes, an array or object as its
  // compact JSON text (jsonb writes ", " and ": ", taken out here outside strings).
  static void json_key(StatementWriter& w, std::string_view raw) {
    // E'' strings: the backslashes mean the same whatever standard_conforming_strings says.
    static constexpr std::string_view compact =
        R"sql( AS text), E'("(?:[^"\\\\]|\\\\.)*")|(,) |(:) ', E'\\1\\2\\3', 'g'), 'UTF8')))sql";
    w << "CASE coalesce(jsonb_typeof(" << raw << "), 'null') WHEN 'null' THEN NULL"
      << " WHEN 'number' THEN ROW(1, CAST(" << raw << " AS numeric), CAST('' AS bytea))"
      << " WHEN 'boolean' THEN ROW(1, CAST(CAST(CAST(" << raw
      << " AS boolean) AS integer) AS numeric), CAST('' AS bytea))"
      << " WHEN 'string' THEN ROW(2, CAST(0 AS numeric), convert_to(" << raw
      << " #>> '{}', 'UTF8'))"
      << " ELSE ROW(2, CAST(0 AS numeric), convert_to(regexp_replace(CAST(" << raw << compact
      << " END";
  }

 public:
  std::string_view name() const noexcept override { return "postgresql"; }

  void check_identifier(std::string_view name) const override {
    Dialect::check_identifier(name);
    if (name.size() > max_name_bytes)
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

  // A JSON operand's value is the jsonb at its path (NULL when missing), compared through
  // json_key; a plain column compares as it is, text by its bytes, a boolean as 0 or 1.
  void value_of(StatementWriter& w, const Operand& op) const override {
    if (op.json()) return json_key(w, json_at(w, op));
    if (op.earliest_null) return column_or_earliest(w, op);
    if (op.boolean) w << "CAST(";
    quote_identifier(w.text, op.column);
    if (op.text) w << " COLLATE \"C\"";
    if (op.boolean) w << " AS integer)";
  }

  void text_of(StatementWriter& w, const Operand& op, bool fold) const override {
    if (fold) w << "velmor_casefold(";
    if (op.json()) {
      ((w << "(") << json_at(w, op)) << " #>> '{}')";
    } else {
      quote_identifier(w.text, op.column);
    }
    if (fold) w << ")";
  }

  void json_is(StatementWriter& w, const Operand& op, JsonKind kind) const override {
    ((w << "jsonb_typeof(") << json_at(w, op))
        << (kind == JsonKind::text ? ") = 'string'" : ") NOT IN ('array', 'object')");
  }

  void bind_value(StatementWriter& w, const Operand& op,
                  const boost::json::value& value) const override {
    if (op.json()) {
      // The key json_key gives a JSON value of the same kind and value.
      if (value.is_string()) {
        w << "ROW(2, CAST(0 AS numeric), convert_to(";
        w.bind(value);
        w << ", 'UTF8'))";
      } else {
        w << "ROW(1, CAST(";
        w.bind(value.is_bool() ? boost::json::value(std::int64_t{value.get_bool()}) : value);
        w << " AS numeric), CAST('' AS bytea))";
      }
    } else if (value.is_bool()) {
      w.bind(std::int64_t{value.get_bool()});
    } else {
      w.bind(value);  // a real is bound as numeric (the store's driver), so exactly
    }
  }

  void text_match(StatementWriter& w, Lookup lookup, const Operand& op, std::string_view needle,
                  bool fold) const override {
    if (lookup == Lookup::endswith) {
      w << "right(";
      text_of(w, op, fold);
      w << ", CAST(";
      w.bind(utf8_characters(needle));
      w << " AS integer)) = ";
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
    if (values.size() <= max_inline_list) {
      value_of(w, op);
      bound_in_list(w, op, values);
      return;
    }
    // One bound JSON array: its numbers in the decimals of stored values, booleans as 0
    // and 1.
    boost::json::array list;
    list.reserve(values.size());
    for (const auto& v : values)
      list.push_back(v.is_bool() ? boost::json::value(std::int64_t{v.get_bool()}) : v);
    value_of(w, op);
    if (op.json()) {
      w << " IN (SELECT ";
      json_key(w, "\"_velmor_e\".\"value\"");
      w << " FROM jsonb_array_elements(CAST(";
      w.bind(boost::json::string(json_text(list)));
      w << " AS jsonb)) AS \"_velmor_e\")";
      return;
    }
    w << (op.text ? " IN (SELECT jsonb_array_elements_text(CAST("
                  : " IN (SELECT CAST(jsonb_array_elements_text(CAST(");
    w.bind(boost::json::string(json_text(list)));
    w << (op.text ? " AS jsonb)))" : " AS jsonb)) AS numeric))");
  }

  void order_term(StatementWriter& w, const Operand& op, bool descending) const override {
    value_of(w, op);
    w << (descending ? " DESC NULLS LAST" : " ASC NULLS FIRST");
  }

  std::string_view insertion_order() const noexcept override { return "\"_velmor_seq\""; }
  // No rowid: an identity column numbers the rows as they are inserted.
  ColumnDef insertion_column() const noexcept override {
    return {"_velmor_seq", "bigint GENERATED ALWAYS AS IDENTITY"};
  }
  std::size_t max_identifier_bytes() const noexcept override { return max_name_bytes; }
  bool text_holds_nul() const noexcept override { return false; }

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
    // numeric keeps integers exact beside reals (decimal_text spells both).
    if (t == CoreTypes::NUMBER) return "numeric";
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

  // EXTRACT gives numeric since PostgreSQL 14: exact to the microsecond.
  std::string clock_microseconds() const override {
    return "SELECT CAST(EXTRACT(EPOCH FROM clock_timestamp()) * 1000000 AS bigint)";
  }

  std::string database_identity() const override {
    return "SELECT CAST(pg_postmaster_start_time() AS text) || ' ' || current_setting('port') || "
           "' ' || current_database(), current_schema(), current_setting('search_path')";
  }

  std::string set_search_path() const override {
    return "SELECT set_config('search_path', $1, true)";
  }

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
