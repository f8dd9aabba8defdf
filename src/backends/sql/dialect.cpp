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
