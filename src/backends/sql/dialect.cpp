// What every dialect shares: checked, quoted identifiers and the statement writer.

#include "velmor_models/backends/sql/dialect.hpp"

#include "backends/history_layout.hpp"

#include "velmor_utils/errors.hpp"

namespace velmor_models::backends::sql {

void StatementWriter::bind(boost::json::value value) {
  params.push_back(std::move(value));
  dialect_.placeholder(text, params.size());
}

void Dialect::check_identifier(std::string_view name) const {
  if (name.empty()) throw velmor_utils::errors::ValueError("An SQL name must not be empty");
  for (char c : name) {
    auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f)
      throw velmor_utils::errors::ValueError(
          "The name '" + std::string(name.substr(0, 64)) +
          "' holds a control character and cannot be used as an SQL name");
  }
}

void Dialect::bound_in_list(StatementWriter& w, const Operand& op,
                            std::span<const boost::json::value> values) const {
  w << " IN (";
  bool first = true;
  for (const auto& v : values) {
    if (!first) w << ", ";
    first = false;
    bind_value(w, op, v);
  }
  w << ")";
}

void Dialect::column_or_earliest(StatementWriter& w, const Operand& op) const {
  w << "COALESCE(";
  quote_identifier(w.text, op.column);
  w << ", ";
  w.bind(earliest_saved_at);
  w << ")";
}

void Dialect::quote_identifier(std::string& out, std::string_view name) const {
  check_identifier(name);
  // Standard quoting in both dialects: double quotes, an inner quote doubled.
  out.push_back('"');
  for (char c : name) {
    if (c == '"') out.push_back('"');
    out.push_back(c);
  }
  out.push_back('"');
}

std::string Dialect::create_table(std::string_view table, std::span<const ColumnDef> columns,
                                  std::string_view constraints) const {
  std::string out = "CREATE TABLE IF NOT EXISTS ";
  quote_identifier(out, table);
  out += " (";
  for (std::size_t i = 0; i < columns.size(); ++i) {
    if (i) out += ", ";
    quote_identifier(out, columns[i].name);
    (out += ' ') += columns[i].type;
  }
  if (!constraints.empty()) (out += ", ") += constraints;
  out += ')';
  return out;
}

std::string Dialect::index_name(std::string_view table, std::string_view suffix) const {
  std::string name;
  name.reserve(table.size() + suffix.size());
  (name += table) += suffix;
  const std::size_t limit = max_identifier_bytes();
  if (name.size() <= limit) return name;
  // FNV-1a: stable across builds, so the same table always gets the same index names.
  std::uint64_t h = 0xcbf29ce484222325ULL;
  for (char c : name) h = (h ^ static_cast<unsigned char>(c)) * 0x100000001b3ULL;
  static constexpr char hex[] = "0123456789abcdef";
  std::string tag = "_";
  for (int i = 7; i >= 0; --i) tag += hex[(h >> (4 * i)) & 0xF];
  std::size_t keep = limit - tag.size();
  while (keep > 0 && (static_cast<unsigned char>(name[keep]) & 0xC0) == 0x80) --keep;
  name.resize(keep);
  return name + tag;
}

std::string Dialect::create_index(std::string_view name, std::string_view table,
                                  std::span<const std::string_view> columns, bool unique) const {
  std::string out = unique ? "CREATE UNIQUE INDEX IF NOT EXISTS " : "CREATE INDEX IF NOT EXISTS ";
  quote_identifier(out, name);
  out += " ON ";
  quote_identifier(out, table);
  out += " (";
  for (std::size_t i = 0; i < columns.size(); ++i) {
    if (i) out += ", ";
    quote_identifier(out, columns[i]);
  }
  out += ')';
  return out;
}

std::string Dialect::add_column(std::string_view table, std::string_view column,
                                std::string_view type) const {
  std::string out = "ALTER TABLE ";
  quote_identifier(out, table);
  out += " ADD COLUMN ";
  quote_identifier(out, column);
  (out += ' ') += type;
  return out;
}

std::string Dialect::insert(std::string_view table, std::span<const std::string> columns,
                            bool ignore_duplicates) const {
  std::string out = "INSERT INTO ";
  quote_identifier(out, table);
  out += " (";
  for (std::size_t i = 0; i < columns.size(); ++i) {
    if (i) out += ", ";
    quote_identifier(out, columns[i]);
  }
  out += ") VALUES (";
  for (std::size_t i = 0; i < columns.size(); ++i) {
    if (i) out += ", ";
    placeholder(out, i + 1);
  }
  out += ')';
  if (ignore_duplicates) out += " ON CONFLICT DO NOTHING";
  return out;
}

std::string Dialect::with_placeholders(std::string_view text) const {
  std::string out;
  out.reserve(text.size() + 16);
  std::size_t n = 0;
  for (char c : text) {
    if (c == '?')
      placeholder(out, ++n);
    else
      out.push_back(c);
  }
  return out;
}

}  // namespace velmor_models::backends::sql
