#include "backends/postgres/params.hpp"

#include <bit>
#include <cstring>
#include <limits>
#include <string>
#include <type_traits>
#include <variant>

#include "backends/postgres/type_oids.hpp"
#include "backends/sql/decimal_text.hpp"
#include "velmor_utils/errors.hpp"

namespace velmor_models::backends::postgres {
namespace {

constexpr std::size_t null_offset = std::numeric_limits<std::size_t>::max();

template <class T>
std::string_view big_endian(T v, char (&out)[sizeof(T)]) {
  using U = std::conditional_t<sizeof(T) == 8, std::uint64_t, std::uint32_t>;
  auto u = std::bit_cast<U>(v);
  for (std::size_t i = sizeof(T); i-- > 0; u >>= 8) out[i] = static_cast<char>(u & 0xff);
  return {out, sizeof(T)};
}

}  // namespace

void Params::add_payload(std::uint32_t type, std::string_view bytes, int format) {
  if (bytes.size() > static_cast<std::size_t>(std::numeric_limits<int>::max()))
    throw velmor_utils::errors::ValueError("a bound value of " + std::to_string(bytes.size()) +
                                           " bytes exceeds what PostgreSQL takes");
  types_.push_back(type);
  offsets_.push_back(buffer_.size());
  lengths_.push_back(static_cast<int>(bytes.size()));
  formats_.push_back(format);
  buffer_.append(bytes);
  buffer_.push_back('\0');  // text-format values are read up to their NUL
}

void Params::add_null(std::uint32_t type) {
  types_.push_back(type);
  offsets_.push_back(null_offset);
  lengths_.push_back(0);
  formats_.push_back(0);
}

void Params::add_int8(std::int64_t v) {
  char b[8];
  add_payload(type_oid::int8, big_endian(v, b), 1);
}

void Params::add_float8(double v) {
  char b[8];
  add_payload(type_oid::float8, big_endian(v, b), 1);
}

void Params::add_numeric(double v) {
  add_payload(type_oid::numeric, sql::decimal_text(v), 0);
}

void Params::add_bool(bool v) {
  const char b = v ? 1 : 0;
  add_payload(type_oid::boolean, std::string_view(&b, 1), 1);
}

void Params::add_bytea(std::string_view bytes) {
  add_payload(type_oid::bytea, bytes, 1);
}

void Params::add_text(std::string_view text, std::uint32_t type) {
  // libpq reads a text-format value up to its first NUL: it would be cut short silently.
  if (text.find('\0') != std::string_view::npos)
    throw velmor_utils::errors::ValueError(
        "text holding a NUL character cannot be stored in PostgreSQL");
  add_payload(type, text, 0);
}

void Params::add(const driver::Value& v) {
  std::visit(
      [&](const auto& x) {
        using T = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<T, std::monostate>)
          add_null();
        else if constexpr (std::is_same_v<T, std::int64_t>)
          add_int8(x);
        else if constexpr (std::is_same_v<T, double>)
          add_numeric(x);
        else if constexpr (std::is_same_v<T, std::string>)
          add_text(x);
        else
          add_bytea(x.bytes);
      },
      v);
}

const char* const* Params::values() const {
  values_.resize(offsets_.size());
  for (std::size_t i = 0; i < offsets_.size(); ++i)
    values_[i] = offsets_[i] == null_offset ? nullptr : buffer_.data() + offsets_[i];
  return values_.data();
}

void Params::append_signature(std::string& key) const {
  for (std::uint32_t t : types_) (key += ',') += std::to_string(t);
}

Params bind_values(const std::vector<driver::Value>& values) {
  Params p;
  for (const driver::Value& v : values) p.add(v);
  return p;
}

}  // namespace velmor_models::backends::postgres
