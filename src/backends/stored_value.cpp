#include "backends/stored_value.hpp"

#include <boost/json/serialize.hpp>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include <boost/json/parse.hpp>

#include "backends/history_layout.hpp"
#include "velmor_models/backends/query_check.hpp"
#include "velmor_models/detail/unicode.hpp"
#include "velmor_models/utils/files.hpp"
#include "velmor_utils/errors.hpp"

namespace velmor_models::backends {
namespace {

using boost::json::value;
using classes::model::CoreTypes;
using classes::model::FieldDecl;
using classes::model::ModelClass;
using velmor_utils::errors::TypeError;
using velmor_utils::errors::ValueError;

constexpr std::uint64_t kInt64Max = std::numeric_limits<std::int64_t>::max();

std::string where(const ModelClass& cls, const FieldDecl& f) {
  return "field '" + f.name + "' of " + cls.name();
}

[[noreturn]] void wrong_kind(const ModelClass& cls, const FieldDecl& f, const value& v) {
  std::string shown = boost::json::serialize(v);
  if (shown.size() > 80) shown = shown.substr(0, 80) + "...";
  throw TypeError(where(cls, f) + " is " + std::string(f.type.value()) + ", not " + shown);
}

void check_number(const ModelClass& cls, const FieldDecl& f, const value& v) {
  if (v.is_uint64() && v.get_uint64() > kInt64Max)
    throw ValueError(where(cls, f) + ": " + std::to_string(v.get_uint64()) +
                     " does not fit in a 64-bit signed integer");
  if (v.is_double() && !std::isfinite(v.get_double()))
    throw ValueError(where(cls, f) + ": a number must be finite, not " +
                     (std::isnan(v.get_double()) ? "NaN" : "infinity"));
}

// JSON text is Unicode, and SQLite's JSON functions stop at a NUL: inside a JSON value a
// text (a key or a string) must be UTF-8 without NUL characters.
void check_json_text(const ModelClass& cls, const FieldDecl& f, std::string_view s,
                     const char* what) {
  if (s.find('\0') != std::string_view::npos)
    throw ValueError(where(cls, f) + ": " + what +
                     " inside an ARRAY or DICTIONARY value cannot hold a NUL character");
  if (!detail::valid_utf8(s))
    throw ValueError(where(cls, f) + ": " + what +
                     " inside an ARRAY or DICTIONARY value must be UTF-8");
}

// Walks a JSON value without recursion: its depth is the caller's to choose.
void check_json(const ModelClass& cls, const FieldDecl& f, const value& root) {
  std::vector<const value*> pending{&root};
  while (!pending.empty()) {
    const value& v = *pending.back();
    pending.pop_back();
    switch (v.kind()) {
      case boost::json::kind::uint64:
      case boost::json::kind::double_:
        check_number(cls, f, v);
        break;
      case boost::json::kind::string:
        check_json_text(cls, f, v.get_string(), "text");
        break;
      case boost::json::kind::array:
        for (const value& e : v.get_array()) pending.push_back(&e);
        break;
      case boost::json::kind::object:
        for (const auto& kv : v.get_object()) {
          check_json_text(cls, f, kv.key(), "a key");
          pending.push_back(&kv.value());
        }
        break;
      default:
        break;
    }
  }
}

}  // namespace

void check_stored_value(const ModelClass& cls, const FieldDecl& f, const value& v) {
  if (v.is_null()) return;
  const CoreTypes& t = f.type;
  if (t == CoreTypes::INTEGER) {
    if (!v.is_int64() && !v.is_uint64()) wrong_kind(cls, f, v);
    check_number(cls, f, v);
  } else if (t == CoreTypes::NUMBER) {
    if (!v.is_number()) wrong_kind(cls, f, v);
    check_number(cls, f, v);
  } else if (t == CoreTypes::BOOLEAN) {
    // SQLite's own spelling of a boolean, 0 or 1, is accepted too.
    bool bit = (v.is_int64() && (v.get_int64() == 0 || v.get_int64() == 1)) ||
               (v.is_uint64() && v.get_uint64() <= 1);
    if (!v.is_bool() && !bit) wrong_kind(cls, f, v);
  } else if (t == CoreTypes::BINARY) {
    if (!v.is_string()) wrong_kind(cls, f, v);
    std::string bytes;
    if (!base64_decode(v.get_string(), bytes))
      throw ValueError(where(cls, f) + ": binary values are given as base64 text");
  } else if (t == CoreTypes::ARRAY || t == CoreTypes::DICTIONARY) {
    if ((t == CoreTypes::ARRAY) ? !v.is_array() : !v.is_object()) wrong_kind(cls, f, v);
    check_json(cls, f, v);
  } else if (!v.is_string()) {  // STRING, DATE, DATETIME
    wrong_kind(cls, f, v);
  }
}

void check_record(const ModelClass& cls, const boost::json::object& record) {
  for (const auto& [key, v] : record) {
    if (key == "_metadata") {
      if (!v.is_null() && !v.is_string() && !v.is_object())
        throw TypeError("_metadata is a mapping or its JSON text, not " +
                        boost::json::serialize(v));
      continue;
    }
    if (is_address_column(key)) {
      for (const FieldDecl* a : address_columns())
        if (a->name == key) check_stored_value(cls, *a, v);
      continue;
    }
    check_stored_value(cls, field_of(cls, key), v);
  }
}

boost::json::value number_value(std::int64_t n) noexcept {
  constexpr std::int64_t exact = std::int64_t(1) << 53;
  if (n >= -exact && n <= exact) return static_cast<double>(n);
  return n;
}

std::span<const FieldDecl* const> address_columns() noexcept {
  static const FieldDecl id{"_object_id", CoreTypes::STRING, false, {}};
  static const FieldDecl version{"_object_version", CoreTypes::INTEGER, false, {}};
  static const FieldDecl class_version{"_class_version", CoreTypes::INTEGER, false, {}};
  // When the version was saved: microseconds since the Unix epoch, UTC.
  static const FieldDecl saved_at{std::string(saved_at_column), CoreTypes::INTEGER, false, {}};
  static const FieldDecl* const all[] = {&id, &version, &class_version, &saved_at};
  return all;
}

bool is_address_column(std::string_view name) noexcept {
  return name == "_object_id" || name == "_object_version" || name == "_class_version" ||
         name == saved_at_column;
}

std::string base64_encode(std::string_view bytes) {
  namespace b64 = utils::files::base64;
  std::string out(b64::encoded_size(bytes.size()), '\0');
  b64::encode_into(utils::files::as_byte_span(bytes), reinterpret_cast<std::byte*>(out.data()),
                   b64::active_kernel());
  return out;
}

bool base64_decode(std::string_view text, std::string& out) {
  namespace b64 = utils::files::base64;
  out.resize(text.size() / 4 * 3);
  try {
    out.resize(b64::decode_into(utils::files::as_byte_span(text),
                                reinterpret_cast<std::byte*>(out.data()), b64::active_kernel()));
  } catch (const utils::files::Base64DecodeError&) {
    out.clear();
    return false;
  }
  return true;
}

boost::json::value stored_json(const driver::Value& v, const CoreTypes& type,
                               bool json_column) {
  if (const auto* t = std::get_if<std::string>(&v); t && json_column) {
    boost::system::error_code ec;
    value parsed = boost::json::parse(*t, ec);
    if (!ec) return parsed;
  }
  if (const auto* n = std::get_if<std::int64_t>(&v)) {
    if (type == CoreTypes::BOOLEAN) return value(*n != 0);
    if (type == CoreTypes::NUMBER) return number_value(*n);
    return value(*n);
  }
  if (const auto* d = std::get_if<double>(&v)) return value(*d);
  if (const auto* t = std::get_if<std::string>(&v)) {
    // A database's exact decimal (PostgreSQL's numeric) arrives as its text.
    if (type == CoreTypes::NUMBER) {
      boost::system::error_code ec;
      value parsed = boost::json::parse(*t, ec);
      if (!ec && parsed.is_int64()) return number_value(parsed.get_int64());
      if (!ec && parsed.is_number()) return value(parsed.to_number<double>());
    }
    if (type == CoreTypes::ARRAY || type == CoreTypes::DICTIONARY) {
      boost::system::error_code ec;
      value parsed = boost::json::parse(*t, ec);
      if (!ec) return parsed;
    }
    return value(*t);
  }
  if (const auto* b = std::get_if<driver::Blob>(&v)) return value(base64_encode(b->bytes));
  return value(nullptr);
}

}  // namespace velmor_models::backends
