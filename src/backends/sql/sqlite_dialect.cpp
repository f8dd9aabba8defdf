// SQLite: `?` placeholders, JSON through json_extract/json_type/json_each with the path
// bound, byte-exact text matching (LIKE would ignore case), NULLs first ascending by
// nature, and `LIMIT -1` for "no limit".

#include <boost/json/array.hpp>
#include <boost/json/serialize.hpp>
#include <vector>

#include "velmor_models/backends/sql/dialect.hpp"
#include "velmor_models/backends/sql/unsupported_query_error.hpp"
#include "velmor_utils/errors.hpp"

namespace velmor_models::backends::sql {
namespace {

using velmor_utils::query::Lookup;

// Lists up to this length bind one value per element; longer ones one JSON array, so
// no list reaches the database's limit on bound values and the statement text (and its
// prepared form) is the same for every long list.
constexpr std::size_t max_inline_list = 64;

bool starts_with_nocase(std::string_view s, std::string_view prefix) {
  if (s.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    char c = s[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != prefix[i]) return false;
  }
  return true;
}

class SqliteDialect final : public Dialect {
 public:
  std::string_view name() const noexcept override { return "sqlite"; }

  void check_identifier(std::string_view name) const override {
    Dialect::check_identifier(name);
    // The sqlite_ names belong to SQLite's own tables (sqlite_schema and others).
    if (starts_with_nocase(name, "sqlite_"))
      throw velmor_utils::errors::ValueError("The name '" + std::string(name) +
                                             "' is reserved by SQLite");
  }

  void placeholder(std::string& out, std::size_t) const override { out.push_back('?'); }

  std::string json_path(std::span<const std::string_view> keys) const override {
    std::string path = "$";
    for (std::string_view key : keys) {
      // SQLite matches a quoted path label against the key as it is written in the
      // stored JSON text (escapes and all), up to the next double quote. The stored text
      // is Boost.JSON's, so the label is the key as Boost.JSON writes it; only a key with
      // a double quote cannot be named.
      if (key.find('"') != key.npos)
        throw UnsupportedQueryError("The JSON key '" + std::string(key.substr(0, 64)) +
                                    "' holds a double quote, which this store cannot look up");
      std::string quoted = boost::json::serialize(boost::json::string(key));
      path += '.';
      path += quoted;
    }
    return path;
  }

  void value_of(StatementWriter& w, const Operand& op) const override {
    if (op.earliest_null) return column_or_earliest(w, op);
    if (!op.json()) {
      quote_identifier(w.text, op.column);
      return;
    }
    w << "json_extract(";
    quote_identifier(w.text, op.column);
    w << ", ";
    w.bind(boost::json::string(op.path));
    w << ")";
  }

  void text_of(StatementWriter& w, const Operand& op, bool fold) const override {
    if (fold) w << "velmor_casefold(";
    value_of(w, op);
    if (fold) w << ")";
  }

  void json_is(StatementWriter& w, const Operand& op, JsonKind kind) const override {
    w << "json_type(";
    quote_identifier(w.text, op.column);
    w << ", ";
    w.bind(boost::json::string(op.path));
    w << (kind == JsonKind::text ? ") = 'text'" : ") NOT IN ('array', 'object')");
  }

  void bind_value(StatementWriter& w, const Operand&,
                  const boost::json::value& value) const override {
    // Booleans are the integers 0 and 1, which is how columns and json_extract hold them.
    if (value.is_bool())
      w.bind(std::int64_t{value.get_bool()});
    else
      w.bind(value);
  }

  void text_match(StatementWriter& w, Lookup lookup, const Operand& op, std::string_view needle,
                  bool fold) const override {
    if (lookup == Lookup::endswith && !needle.empty()) {
      // The last bytes of the text, compared as bytes (character counting would stop at
      // a NUL inside the text).
      w << "substr(CAST(";
      text_of(w, op, fold);
      w << " AS BLOB), ";
      w.bind(-static_cast<std::int64_t>(needle.size()));
      w << ") = CAST(";
      w.bind(boost::json::string(needle));
      w << " AS BLOB)";
      return;
    }
    // instr compares bytes, unlike LIKE; position 1 is a prefix (and every text ends
    // with the empty text).
    w << "instr(";
    text_of(w, op, fold);
    w << ", ";
    w.bind(boost::json::string(needle));
    w << (lookup == Lookup::contains ? ") > 0" : ") = 1");
  }

  void in_list(StatementWriter& w, const Operand& op,
               std::span<const boost::json::value> values) const override {
    if (values.size() <= max_inline_list) {
      value_of(w, op);
      bound_in_list(w, op, values);
      return;
    }
    // json_each hands a text out only up to its first NUL character: such texts are bound
    // one by one beside the list.
    boost::json::array listed;
    std::vector<boost::json::value> apart;
    for (const auto& v : values) {
      const auto* text = v.if_string();
      if (text && std::string_view(*text).find('\0') != std::string_view::npos)
        apart.push_back(v);
      else
        listed.push_back(v);
    }
    if (!apart.empty()) w << "(";
    if (!listed.empty()) {
      value_of(w, op);
      w << " IN (SELECT value FROM json_each(";
      w.bind(boost::json::string(boost::json::serialize(listed)));
      w << "))";
      if (!apart.empty()) w << " OR ";
    }
    if (!apart.empty()) {
      value_of(w, op);
      bound_in_list(w, op, apart);
      w << ")";
    }
  }

  void order_term(StatementWriter& w, const Operand& op, bool descending) const override {
    // SQLite orders NULL before every other value.
    value_of(w, op);
    if (descending) w << " DESC";
  }

  std::string_view insertion_order() const noexcept override { return "rowid"; }

  void window(StatementWriter& w, std::optional<std::int64_t> limit,
              std::int64_t offset) const override {
    // One text for every window, so the prepared statement is shared; -1 is no limit.
    w << " LIMIT ";
    w.bind(limit.value_or(-1));
    w << " OFFSET ";
    w.bind(offset);
  }

  std::string_view begin_write() const noexcept override { return "BEGIN IMMEDIATE"; }

  std::string_view column_type(const classes::model::CoreTypes& t) const noexcept override {
    using classes::model::CoreTypes;
    if (t == CoreTypes::INTEGER || t == CoreTypes::BOOLEAN) return "INTEGER";
    // NUMERIC affinity keeps an integer an integer (REAL would round it to a double).
    if (t == CoreTypes::NUMBER) return "NUMERIC";
    if (t == CoreTypes::BINARY) return "BLOB";
    return "TEXT";  // STRING, DATE, DATETIME, and JSON text for ARRAY and DICTIONARY
  }

  std::string table_columns() const override {
    return "SELECT name, type FROM pragma_table_info(?)";
  }

  std::string table_exists() const override {
    return "SELECT 1 FROM sqlite_schema WHERE type = 'table' AND name = ?";
  }
};

}  // namespace

const Dialect& sqlite_dialect() noexcept {
  static const SqliteDialect dialect;
  return dialect;
}

}  // namespace velmor_models::backends::sql
