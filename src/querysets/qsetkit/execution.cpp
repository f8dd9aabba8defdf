// Running a query set and materialising its records: the synchronous forms, and the
// steps that the asynchronous forms share with them.

#include <boost/json/basic_parser_impl.hpp>
#include <boost/json/value_stack.hpp>
#include <cmath>
#include <optional>

#include "pydantic_partial/partial.hpp"
#include "velmor_data/connections/historical/schema_version_manager.hpp"
#include "velmor_data/services/historical_table_schema.hpp"
#include "velmor_glue/glue.hpp"
#include "velmor_models/querysets/errors.hpp"
#include "velmor_models/querysets/qsetkit/query_set_core.hpp"
#include "velmor_utils/errors.hpp"
#include "velmor_utils/models/enums.hpp"
#include "velmor_utils/utils/decorators.hpp"
#include "velmor_utils/values.hpp"

namespace velmor_models::querysets::qsetkit {
namespace {

namespace json = boost::json;
using velmor_utils::errors::AttributeError;
using velmor_utils::errors::KeyError;
using velmor_utils::errors::TypeError;
using velmor_utils::errors::ValueError;
using velmor_utils::values::kind_name;

// The stored class version: _metadata / class_schema_reference / ref / object_version.
const json::value& stored_class_version(const json::object& class_schema_reference) {
  const json::value* ref = class_schema_reference.if_contains("ref");
  if (!ref) throw KeyError("ref");
  if (!ref->is_object())
    throw TypeError("class_schema_reference 'ref' must be a mapping, not " +
                    std::string(kind_name(*ref)));
  const json::value* version = ref->get_object().if_contains("object_version");
  if (!version) throw KeyError("object_version");
  return *version;
}

// The class schema reference of decoded metadata, when it is a mapping.
const json::object* class_schema_reference(const json::value& metadata) {
  if (!metadata.is_object())
    throw AttributeError("_metadata must be a mapping to look up its class schema reference, not " +
                         std::string(kind_name(metadata)));
  const json::value* ref = metadata.get_object().if_contains("class_schema_reference");
  return ref ? ref->if_object() : nullptr;
}

// A factory that yields no executor cannot run anything; say so instead of crashing.
template <class Executor>
std::unique_ptr<Executor> made(std::unique_ptr<Executor> executor) {
  if (!executor) throw TypeError("The executor factory of the query set made no executor");
  return executor;
}

// The deepest nesting of arrays and mappings accepted in `_metadata` (and in an
// `object_id` text). Generous for metadata, and shallow enough that building, comparing
// and destroying such a value, all of which recurse, stay far from the stack's end.
constexpr std::size_t max_json_depth = 1000;

// Texts up to this size are decoded by a parser kept per thread, whose buffers are then
// allocated once rather than for every record; larger ones get a parser of their own, so
// that no large buffer outlives the call.
constexpr std::size_t reused_parser_limit = 16 * 1024;

// Builds the decoded value as json::parser does, but an integer literal that does not fit
// in 64 bits is kept as its text instead of becoming an inexact double: identifiers must
// never change.
struct ExactIntegersHandler {
  static constexpr std::size_t max_object_size = json::object::max_size();
  static constexpr std::size_t max_array_size = json::array::max_size();
  static constexpr std::size_t max_key_size = json::string::max_size();
  static constexpr std::size_t max_string_size = json::string::max_size();

  json::value_stack st;
  std::string number;  // the literal so far, when it arrives in parts

  bool on_document_begin(json::error_code&) { return true; }
  bool on_document_end(json::error_code&) { return true; }
  bool on_object_begin(json::error_code&) { return true; }
  bool on_object_end(std::size_t n, json::error_code&) {
    st.push_object(n);
    return true;
  }
  bool on_array_begin(json::error_code&) { return true; }
  bool on_array_end(std::size_t n, json::error_code&) {
    st.push_array(n);
    return true;
  }
  bool on_key_part(json::string_view s, std::size_t, json::error_code&) {
    st.push_chars(s);
    return true;
  }
  bool on_key(json::string_view s, std::size_t, json::error_code&) {
    st.push_key(s);
    return true;
  }
  bool on_string_part(json::string_view s, std::size_t, json::error_code&) {
    st.push_chars(s);
    return true;
  }
  bool on_string(json::string_view s, std::size_t, json::error_code&) {
    st.push_string(s);
    return true;
  }
  bool on_number_part(json::string_view s, json::error_code&) {
    number.append(s.data(), s.size());
    return true;
  }
  bool on_int64(std::int64_t i, json::string_view, json::error_code&) {
    number.clear();
    st.push_int64(i);
    return true;
  }
  bool on_uint64(std::uint64_t u, json::string_view, json::error_code&) {
    number.clear();
    st.push_uint64(u);
    return true;
  }
  bool on_double(double d, json::string_view s, json::error_code&) {
    number.append(s.data(), s.size());
    if (number.find_first_of(".eE") == std::string::npos)
      st.push_string(number);  // an integer beyond 64 bits
    else
      st.push_double(d);
    number.clear();
    return true;
  }
  bool on_bool(bool b, json::error_code&) {
    st.push_bool(b);
    return true;
  }
  bool on_null(json::error_code&) {
    st.push_null();
    return true;
  }
  bool on_comment_part(json::string_view, json::error_code&) { return true; }
  bool on_comment(json::string_view, json::error_code&) { return true; }
};

using ExactParser = json::basic_parser<ExactIntegersHandler>;

json::parse_options decode_options() {
  json::parse_options options;
  options.max_depth = max_json_depth;
  return options;
}

json::value decode_with(ExactParser& parser, std::string_view text, json::error_code& ec) {
  parser.reset();
  parser.handler().st.reset();
  parser.handler().number.clear();
  const std::size_t n = parser.write_some(false, text.data(), text.size(), ec);
  if (!ec && n < text.size()) ec = json::error::extra_data;
  if (ec) return nullptr;
  return parser.handler().st.release();
}

// Decodes JSON text as a standard decoder does, up to max_json_depth levels.
json::value decode_json(std::string_view text, json::error_code& ec) {
  if (text.size() <= reused_parser_limit) {
    thread_local ExactParser parser(decode_options());
    return decode_with(parser, text, ec);
  }
  ExactParser parser(decode_options());
  return decode_with(parser, text, ec);
}

// A text that is a plain non-negative integer literal of at most 18 digits (as stored
// object ids are) decodes to what decode_json yields for it, without running the parser.
std::optional<std::int64_t> plain_integer(std::string_view text) {
  if (text.empty() || text.size() > 18 || (text[0] == '0' && text.size() > 1)) return std::nullopt;
  std::int64_t n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    n = n * 10 + (c - '0');
  }
  return n;
}

// Equality as the host runtime has it: numbers (and booleans, as 0 and 1) compare by
// value whatever their representation, so a stored version 2.0 equals a version 2.
bool same_value(const json::value& a, const json::value& b);

struct Number {
  enum { signed_, unsigned_, floating } kind;
  std::int64_t i = 0;
  std::uint64_t u = 0;
  double d = 0;
};

std::optional<Number> number_of(const json::value& v) {
  switch (v.kind()) {
    case json::kind::bool_:
      return Number{Number::signed_, v.get_bool() ? 1 : 0};
    case json::kind::int64:
      return Number{Number::signed_, v.get_int64()};
    case json::kind::uint64:
      return Number{Number::unsigned_, 0, v.get_uint64()};
    case json::kind::double_:
      return Number{Number::floating, 0, 0, v.get_double()};
    default:
      return std::nullopt;
  }
}

// Exact comparison of a double with an integer: no rounding of either side.
bool double_equals(double d, const Number& n) {
  if (!std::isfinite(d) || d != std::trunc(d)) return false;
  if (n.kind == Number::signed_)
    return d >= -0x1p63 && d < 0x1p63 && static_cast<std::int64_t>(d) == n.i;
  return d >= 0 && d < 0x1p64 && static_cast<std::uint64_t>(d) == n.u;
}

bool numbers_equal(const Number& a, const Number& b) {
  if (a.kind == Number::floating)
    return b.kind == Number::floating ? a.d == b.d : double_equals(a.d, b);
  if (b.kind == Number::floating) return double_equals(b.d, a);
  if (a.kind == b.kind) return a.kind == Number::signed_ ? a.i == b.i : a.u == b.u;
  const Number& s = a.kind == Number::signed_ ? a : b;
  const Number& u = a.kind == Number::signed_ ? b : a;
  return s.i >= 0 && static_cast<std::uint64_t>(s.i) == u.u;
}

bool same_value(const json::value& a, const json::value& b) {
  const std::optional<Number> na = number_of(a), nb = number_of(b);
  if (na || nb) return na && nb && numbers_equal(*na, *nb);
  if (a.is_array() && b.is_array()) {
    const json::array &x = a.get_array(), &y = b.get_array();
    if (x.size() != y.size()) return false;
    for (std::size_t i = 0; i < x.size(); ++i)
      if (!same_value(x[i], y[i])) return false;
    return true;
  }
  if (a.is_object() && b.is_object()) {
    const json::object &x = a.get_object(), &y = b.get_object();
    if (x.size() != y.size()) return false;
    for (const auto& kv : x) {
      const json::value* other = y.if_contains(kv.key());
      if (!other || !same_value(kv.value(), *other)) return false;
    }
    return true;
  }
  return a == b;
}

bool is_latest_marker(const json::value& version) {
  if (!version.is_string()) return false;
  std::string_view v = version.get_string();
  return v == velmor_glue::Version::LATEST || v == velmor_utils::models::enums::Versions::LATEST ||
         v.empty();
}

// Membership in the collection of compatible versions, as the runtime's `in` decides it.
bool is_member(const json::value& version, const json::value& collection) {
  switch (collection.kind()) {
    case json::kind::array:
      for (const json::value& v : collection.get_array())
        if (same_value(v, version)) return true;
      return false;
    case json::kind::object:
      return version.is_string() && collection.get_object().contains(version.get_string());
    case json::kind::string:
      if (!version.is_string())
        throw TypeError("A version looked up in a text of compatible versions must be text, not " +
                        std::string(kind_name(version)));
      return collection.get_string().subview().find(version.get_string()) != std::string_view::npos;
    default:
      throw TypeError("Compatible class versions must be a list, a mapping or text, not " +
                      std::string(kind_name(collection)));
  }
}

}  // namespace

QuerySetCore::Records QuerySetCore::_execute_query() const {
  velmor_utils::utils::decorators::sync_mode_only("QuerySetBase._execute_query");
  if (_state.is_none) return std::vector<velmor_glue::Data>{};
  return made(_settings.executor(*this))->query();
}

std::int64_t QuerySetCore::_execute_count() const {
  velmor_utils::utils::decorators::sync_mode_only("QuerySetBase._execute_count");
  if (_state.is_none) return 0;
  return made(_settings.executor(*this))->count();
}

std::vector<velmor_glue::Data>& QuerySetCore::records_of(Records& records) {
  if (!records) throw TypeError("The executor returned no list of records");
  return *records;
}

velmor_glue::Data* QuerySetCore::single_record(Records& records, bool raise_on_multiple) {
  std::vector<velmor_glue::Data>& all = records_of(records);
  if (all.size() > 1 && raise_on_multiple)
    throw errors::MultipleObjectsReturnedError("Multiple items found");
  return all.empty() ? nullptr : &all.front();
}

QuerySetCore::PendingInstance QuerySetCore::begin_instance(velmor_glue::Data record) {
  if (!record.data) throw TypeError("A stored record without data cannot be materialised");
  // The record is ours once the executor has handed it over: its data is moved, not
  // copied, into the mapping the instance is built from.
  PendingInstance pending{std::move(*record.data), std::move(record.metadata), false,
                          std::move(record.related)};
  json::value* metadata = pending.data.if_contains("_metadata");
  if (!metadata) return pending;

  if (metadata->is_string()) {
    json::error_code ec;
    json::value decoded = decode_json(metadata->get_string(), ec);
    if (ec == json::error::too_deep)
      throw ValueError("_metadata is nested deeper than " + std::to_string(max_json_depth) +
                       " levels");
    if (ec) throw ValueError("_metadata is not valid JSON: " + ec.message());
    *metadata = std::move(decoded);
  }
  // object_id is stored as JSON text; a value that is not text, or text that is not
  // JSON (or too deep), stays as it is, and so does an integer beyond 64 bits.
  if (json::object* meta = metadata->if_object()) {
    json::value* object_id = meta->if_contains("object_id");
    if (!object_id) throw KeyError("object_id");
    if (object_id->is_string()) {
      if (std::optional<std::int64_t> n = plain_integer(object_id->get_string())) {
        *object_id = *n;
      } else {
        json::error_code ec;
        json::value decoded = decode_json(object_id->get_string(), ec);
        if (!ec) *object_id = std::move(decoded);
      }
    }
  }
  if (const json::object* ref = class_schema_reference(*metadata))
    pending.needs_latest_version = !is_latest_marker(stored_class_version(*ref));
  return pending;
}

bool QuerySetCore::is_legacy(const PendingInstance& pending, const json::value& latest_version,
                             bool strict) {
  const json::value& stored =
      stored_class_version(*class_schema_reference(pending.data.at("_metadata")));
  if (strict) return false;
  if (!pending.record_metadata || pending.record_metadata->empty()) return false;
  const json::value* compatible = pending.record_metadata->if_contains(
      velmor_data::services::historical_table_schema::COMPATIBLE_CLASS_VERSIONS);
  if (!compatible) return false;
  if (is_member(latest_version, *compatible) && is_member(stored, *compatible)) return false;
  return !same_value(stored, latest_version);
}

Instance<Model> QuerySetCore::finish_instance(const ModelClassPtr& entity,
                                              const json::object& annotations,
                                              PendingInstance pending, bool is_partial,
                                              bool legacy) {
  if (legacy) {
    if (pending.data.contains("original_class"))
      throw TypeError(
          "A record that becomes a LegacyModel must not have a field named 'original_class'");
    return {std::make_unique<LegacyModel>(entity, std::move(pending.data)), InstanceKind::legacy,
            std::move(pending.related)};
  }
  // Rows of a plain table are read as stored: the framework did not write them, and
  // SQLite keeps any kind of value in a column whatever its declared type.
  const bool as_stored = entity->is_plain_table();
  if (is_partial) {
    const ModelClassPtr partial = pydantic_partial::create_partial_model(entity);
    return {as_stored ? partial->construct_stored(std::move(pending.data))
                      : partial->construct(std::move(pending.data)),
            InstanceKind::partial, std::move(pending.related)};
  }

  // The constructor takes the values; the annotated ones are kept aside to be set on the
  // instance afterwards.
  std::vector<std::pair<std::string_view, json::value>> annotated;
  for (const auto& kv : annotations)
    if (const json::value* v = pending.data.if_contains(kv.key()))
      annotated.emplace_back(kv.key(), *v);
  std::unique_ptr<Model> obj = as_stored ? entity->construct_stored(std::move(pending.data))
                                         : entity->construct(std::move(pending.data));
  for (auto& [name, value] : annotated) obj->set_attribute(name, std::move(value));
  return {std::move(obj), InstanceKind::current, std::move(pending.related)};
}

Instance<Model> QuerySetCore::_create_instance(bool is_partial, velmor_glue::Data data) const {
  PendingInstance pending = begin_instance(std::move(data));
  bool legacy = false;
  if (pending.needs_latest_version) {
    using velmor_data::connections::historical::schema_version_manager::
        HistoricalSchemaVersionManager;
    json::value latest = HistoricalSchemaVersionManager().get_latest_schema_version(entity_name());
    legacy = is_legacy(pending, latest, _settings.strict_class_version);
  }
  return finish_instance(_entity, _state.annotations.get(), std::move(pending), is_partial, legacy);
}

}  // namespace velmor_models::querysets::qsetkit
