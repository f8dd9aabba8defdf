// What every dialect shares: checked, quoted identifiers and the statement writer.

#include "velmor_models/backends/sql/dialect.hpp"

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

}  // namespace velmor_models::backends::sql
