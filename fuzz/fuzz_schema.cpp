// The schema converter with arbitrary column descriptions, against a plain re-implementation
// of its rules: either the documented error kind (KeyError for a missing key, TypeError for
// a column that is not a mapping, a name or type that is not text, a pk that cannot be
// ordered against 0), or a schema whose properties, required list, primary key and
// connection are exactly the expected ones.
//
// Input: one byte choosing the converter and the connection name, then JSON text for the
// column list (a JSON value that is not a list is taken as a list of that one column).

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz_check.hpp"
#include "velmor_models/utils/schemabridge.hpp"
#include "velmor_utils/errors.hpp"

namespace {

namespace json = boost::json;
using velmor_models::utils::schemabridge::ExternalSchemaConverter;
using velmor_utils::errors::Error;
using velmor_utils::errors::KeyError;
using velmor_utils::errors::TypeError;
using velmor_utils::errors::ValidationError;

enum class Outcome { schema, key_error, type_error, validation_error, other_error };

const char* outcome_name(Outcome o) {
  constexpr const char* names[] = {"a schema", "KeyError", "TypeError", "ValidationError",
                                   "another error"};
  return names[static_cast<int>(o)];
}

struct Refused {
  Outcome kind;
};

bool truth(const json::value& v) {
  switch (v.kind()) {
    case json::kind::null:
      return false;
    case json::kind::bool_:
      return v.get_bool();
    case json::kind::int64:
      return v.get_int64() != 0;
    case json::kind::uint64:
      return v.get_uint64() != 0;
    case json::kind::double_:
      return v.get_double() != 0.0;
    case json::kind::string:
      return !v.get_string().empty();
    case json::kind::array:
      return !v.get_array().empty();
    case json::kind::object:
      return !v.get_object().empty();
  }
  return true;
}

// A number (booleans as 0 and 1) or nothing.
std::optional<double> number(const json::value& v) {
  if (v.is_bool()) return v.get_bool() ? 1.0 : 0.0;
  if (v.is_int64()) return v.get_int64() > 0 ? 1.0 : v.get_int64() < 0 ? -1.0 : 0.0;
  if (v.is_uint64()) return v.get_uint64() > 0 ? 1.0 : 0.0;
  if (v.is_double()) return v.get_double();
  return std::nullopt;
}

const json::value& need(const json::object& column, std::string_view key) {
  if (!column.contains(key)) throw Refused{Outcome::key_error};
  return column.at(key);
}

std::string text(const json::value& v) {
  if (!v.is_string()) throw Refused{Outcome::type_error};
  return std::string(v.get_string());
}

struct Expected {
  json::object properties;
  json::array required;
  json::array primary_key;
};

void add(Expected& e, const std::string& name, std::string type, const json::value* dflt) {
  json::object p{{"type", std::move(type)}, {"title", name}};
  if (dflt && !dflt->is_null()) p["default"] = *dflt;
  e.properties[name] = std::move(p);
}

// kind 0: SQLite, 1: PostgreSQL, 2: generic with the default mapping, 3: generic with a
// converter of its own.
Expected reference(int kind, const json::array& columns) {
  Expected e;
  for (const json::value& c : columns) {
    if (!c.is_object()) throw Refused{Outcome::type_error};
    const json::object& col = c.get_object();
    if (kind == 0) {
      const json::value& name = need(col, "name");
      const json::value& type = need(col, "type");
      const std::optional<double> notnull = number(need(col, "notnull"));
      const std::optional<double> pk = number(need(col, "pk"));
      if (!pk) throw Refused{Outcome::type_error};
      const bool nullable = notnull && *notnull == 0;
      const bool key = *pk > 0;
      const std::string type_name = text(type);
      const std::string n = text(name);
      add(e, n, ExternalSchemaConverter::sqlite_type_to_core_type(type_name),
          col.if_contains("dflt_value"));
      if (!nullable && !key) e.required.push_back(json::value(n));
      if (key) e.primary_key.push_back(json::value(n));
    } else if (kind == 1) {
      const json::value& name = need(col, "column_name");
      const json::value& type = need(col, "data_type");
      const json::value* is_nullable = col.if_contains("is_nullable");
      const bool nullable =
          !is_nullable || (is_nullable->is_string() && is_nullable->get_string() == "YES");
      const std::string type_name = text(type);
      const std::string n = text(name);
      add(e, n, ExternalSchemaConverter::postgres_type_to_core_type(type_name),
          col.if_contains("column_default"));
      if (!nullable) e.required.push_back(json::value(n));
    } else {
      const json::value& name = need(col, "name");
      const json::value& type = need(col, "type");
      const json::value* nullable = col.if_contains("nullable");
      const json::value* required = col.if_contains("required");
      const json::value* key = col.if_contains("primary_key");
      const std::string type_name = text(type);
      const std::string n = text(name);
      add(e, n,
          kind == 2 ? ExternalSchemaConverter::sqlite_type_to_core_type(type_name)
                    : "custom:" + type_name,
          col.if_contains("default"));
      if ((nullable && !truth(*nullable)) || (required && truth(*required)))
        e.required.push_back(json::value(n));
      if (key && truth(*key)) e.primary_key.push_back(json::value(n));
    }
  }
  return e;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  velmor_fuzz::Bytes in(data, size);
  const unsigned choice = in.byte();
  const int kind = static_cast<int>(choice % 4);
  const std::optional<std::string_view> connection =
      (choice >> 2) % 3 == 0 ? std::nullopt
                             : std::optional<std::string_view>((choice >> 2) % 3 == 1 ? "" : "db");
  json::error_code ec;
  json::value parsed = json::parse(in.rest(), ec);
  if (ec) return 0;
  const json::array columns = parsed.is_array() ? parsed.get_array() : json::array{parsed};
  const std::string text = json::serialize(columns).substr(0, 300);

  Outcome expected = Outcome::schema;
  std::optional<Expected> want;
  try {
    want = reference(kind, columns);
  } catch (const Refused& r) {
    expected = r.kind;
  }
  // What the schema itself refuses is the schema's business: ask it with the expected data.
  if (want) {
    json::object fields{{"title", "User"},
                        {"__table_name__", "users"},
                        {"properties", want->properties},
                        {"required", want->required}};
    if (!want->primary_key.empty()) fields["__primary_key__"] = want->primary_key;
    try {
      ExternalSchemaConverter::ObjectSchema check(fields);
    } catch (const ValidationError&) {
      expected = Outcome::validation_error;
    }
  }

  const ExternalSchemaConverter converter;
  Outcome outcome = Outcome::schema;
  std::optional<ExternalSchemaConverter::ObjectSchema> got;
  try {
    switch (kind) {
      case 0:
        got = converter.sqlite_schema_to_object_schema("users", columns, connection);
        break;
      case 1:
        got = converter.postgres_schema_to_object_schema("users", columns, connection);
        break;
      case 2:
        got = converter.generic_schema_to_object_schema("users", columns, connection);
        break;
      default:
        got = converter.generic_schema_to_object_schema(
            "users", columns, connection,
            [](std::string_view t) { return "custom:" + std::string(t); });
    }
  } catch (const KeyError&) {
    outcome = Outcome::key_error;
  } catch (const TypeError&) {
    outcome = Outcome::type_error;
  } catch (const ValidationError&) {
    outcome = Outcome::validation_error;
  } catch (const Error&) {
    outcome = Outcome::other_error;
  }
  FUZZ_CHECK(outcome == expected, std::string("converter ") + std::to_string(kind) + " gave " +
                                      outcome_name(outcome) + ", expected " +
                                      outcome_name(expected) + " for " + text);
  if (!got) return 0;
  FUZZ_CHECK(got->title() == "User" && got->table_name() == "users", "title of " + text);
  FUZZ_CHECK(json::serialize(got->properties()) == json::serialize(want->properties),
             "properties " + json::serialize(got->properties()) + " for " + text);
  json::array required;
  for (const auto& r : got->required()) required.push_back(json::value(r));
  FUZZ_CHECK(required == want->required, "required list for " + text);
  if (kind == 1 || want->primary_key.empty()) {
    FUZZ_CHECK(!got->primary_key(), "no primary key expected for " + text);
  } else {
    json::array key;
    for (const auto& k : got->primary_key().value_or(std::vector<std::string>{}))
      key.push_back(json::value(k));
    FUZZ_CHECK(got->primary_key() && key == want->primary_key, "primary key for " + text);
  }
  const bool has_connection = connection && !connection->empty();
  FUZZ_CHECK(got->connection().has_value() == has_connection &&
                 (!has_connection || *got->connection() == *connection),
             "connection for " + text);
  return 0;
}
