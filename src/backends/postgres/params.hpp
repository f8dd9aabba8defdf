#pragma once
// Values bound to a statement as libpq takes them: per value a type, a payload, its length
// and its format. Numbers and bytes travel in binary (no text to format or parse), text in
// text format.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "velmor_models/backends/driver/value.hpp"

namespace velmor_models::backends::postgres {

class Params {
 public:
  void add_null(std::uint32_t type = 0);
  void add_int8(std::int64_t v);
  void add_float8(double v);
  /// A real as numeric, in decimal_text's spelling: compared with an integer or stored in
  /// a numeric column it keeps its value (float8 would round the integer, and numeric made
  /// from float8 keeps 15 digits).
  void add_numeric(double v);
  void add_bool(bool v);
  void add_bytea(std::string_view bytes);
  /// Text of `type` (0: typed by the server from its context, which lets the same text
  /// fill a text or a jsonb column). ValueError when it holds a NUL character, which
  /// PostgreSQL text cannot.
  void add_text(std::string_view text, std::uint32_t type = 0);
  /// A driver value: integers as int8, reals as numeric, bytes as bytea, NULL and text typed
  /// by the server.
  void add(const driver::Value& v);

  std::size_t size() const noexcept { return types_.size(); }
  /// What libpq reads, valid until the next add.
  const std::uint32_t* types() const noexcept { return types_.data(); }
  const char* const* values() const;
  const int* lengths() const noexcept { return lengths_.data(); }
  const int* formats() const noexcept { return formats_.data(); }
  /// Appends the types, which a prepared statement fixes, to `key`.
  void append_signature(std::string& key) const;

 private:
  void add_payload(std::uint32_t type, std::string_view bytes, int format);

  std::vector<std::uint32_t> types_;
  std::vector<std::size_t> offsets_;  // into buffer_; npos for NULL
  std::vector<int> lengths_;
  std::vector<int> formats_;
  std::string buffer_;
  mutable std::vector<const char*> values_;
};

/// The values of a driver call, bound.
Params bind_values(const std::vector<driver::Value>& values);

}  // namespace velmor_models::backends::postgres
