// Materialisation of records with arbitrary `_metadata`, against a plain re-implementation
// of the decision rules: the record becomes a current, partial or legacy instance whose
// decoded `_metadata` is the expected one, or fails with the expected error kind.
//
// Input: a flags byte, then three parts separated by NUL bytes: the `_metadata` text, the
// record's storage metadata (JSON) and the latest class version (JSON, else text).
// Flags: 1 strict, 2 partial, 4 `_metadata` given decoded rather than as text, 8 a data
// entry named original_class, 16 no storage metadata, 32 no `_metadata` at all, 64 also
// run the coroutine twin.

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <cmath>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz_check.hpp"
#include "velmor_data/connections/historical/schema_version_manager.hpp"
#include "velmor_models/querysets/qsetkit.hpp"
#include "velmor_utils/errors.hpp"
#include "velmor_utils/utils/decorators.hpp"

namespace {

namespace json = boost::json;
using namespace velmor_models::querysets::qsetkit;
using velmor_models::classes::model::CoreTypes;
using velmor_models::classes::model::declare_model;
using velmor_models::classes::model::Model;
using velmor_models::classes::model::ModelClassPtr;

constexpr std::size_t kMaxDepth = 1000;

enum class Outcome {
  current,
  partial,
  legacy,
  key_error,
  type_error,
  value_error,
  attribute_error,
  other_error
};
constexpr const char* kOutcomeNames[] = {"current",   "partial",    "legacy",         "KeyError",
                                         "TypeError", "ValueError", "AttributeError", "other"};

struct Refused {
  Outcome kind;
};

const ModelClassPtr& customer() {
  static const ModelClassPtr cls = declare_model<Model>(
      "Customer", "customers",
      {{"name", CoreTypes::STRING, true, {}}, {"age", CoreTypes::INTEGER, false, {}}});
  return cls;
}

// Deepest nesting of arrays and objects outside strings.
std::size_t nesting(std::string_view text) {
  std::size_t depth = 0, deepest = 0;
  bool in_string = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (in_string) {
      if (c == '\\')
        ++i;
      else if (c == '"')
        in_string = false;
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      deepest = std::max(deepest, ++depth);
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return deepest;
}

// Integer literals beyond 64 bits become quoted text, so that parsing keeps them exact.
std::string quote_big_integers(std::string_view text) {
  std::string out;
  bool in_string = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (in_string) {
      out += c;
      if (c == '\\' && i + 1 < text.size())
        out += text[++i];
      else if (c == '"')
        in_string = false;
      continue;
    }
    if (c == '"') in_string = true;
    const bool starts_number =
        (c == '-' || (c >= '0' && c <= '9')) &&
        (i == 0 ||
         !((text[i - 1] >= '0' && text[i - 1] <= '9') || text[i - 1] == '.' || text[i - 1] == 'e' ||
           text[i - 1] == 'E' || text[i - 1] == '+' || text[i - 1] == '-'));
    if (!starts_number) {
      out += c;
      continue;
    }
    std::size_t j = i + (c == '-');
    const std::size_t digits_at = j;
    while (j < text.size() && text[j] >= '0' && text[j] <= '9') ++j;
    const std::string_view digits = text.substr(digits_at, j - digits_at);
    const bool integer = !digits.empty() && (digits.size() == 1 || digits[0] != '0') &&
                         (j == text.size() || (text[j] != '.' && text[j] != 'e' && text[j] != 'E'));
    const std::string_view limit = c == '-' ? "9223372036854775808" : "18446744073709551615";
    const bool big = integer && (digits.size() > limit.size() ||
                                 (digits.size() == limit.size() && digits > limit));
    if (big) {
      (out += '"') += std::string(text.substr(i, j - i)) += '"';
    } else {
      out += text.substr(i, j - i);
    }
    i = j - 1;
  }
  return out;
}

std::optional<json::value> decode(std::string_view text) {
  if (nesting(text) > kMaxDepth) return std::nullopt;
  json::parse_options options;
  options.max_depth = 2 * kMaxDepth;
  json::error_code ec;
  json::value v = json::parse(quote_big_integers(text), ec, {}, options);
  if (ec) return std::nullopt;
  return v;
}

// Numbers (booleans as 0 and 1) by value; long double holds every int64, uint64 and double.
std::optional<long double> number(const json::value& v) {
  if (v.is_bool()) return v.get_bool() ? 1.0L : 0.0L;
  if (v.is_int64()) return static_cast<long double>(v.get_int64());
  if (v.is_uint64()) return static_cast<long double>(v.get_uint64());
  if (v.is_double()) return static_cast<long double>(v.get_double());
  return std::nullopt;
}

bool same(const json::value& a, const json::value& b) {
  const auto na = number(a), nb = number(b);
  if (na || nb) return na && nb && *na == *nb;
  if (a.is_array() && b.is_array()) {
    if (a.get_array().size() != b.get_array().size()) return false;
    for (std::size_t i = 0; i < a.get_array().size(); ++i)
      if (!same(a.get_array()[i], b.get_array()[i])) return false;
    return true;
  }
  if (a.is_object() && b.is_object()) {
    if (a.get_object().size() != b.get_object().size()) return false;
    for (const auto& kv : a.get_object()) {
      const json::value* o = b.get_object().if_contains(kv.key());
      if (!o || !same(kv.value(), *o)) return false;
    }
    return true;
  }
  return a == b;
}

bool member(const json::value& version, const json::value& collection) {
  if (collection.is_array()) {
    for (const auto& v : collection.get_array())
      if (same(v, version)) return true;
    return false;
  }
  if (collection.is_object())
    return version.is_string() && collection.get_object().contains(version.get_string());
  if (collection.is_string()) {
    if (!version.is_string()) throw Refused{Outcome::type_error};
    return collection.get_string().subview().find(version.get_string()) != std::string_view::npos;
  }
  throw Refused{Outcome::type_error};
}

struct Case {
  json::object data;
  std::optional<json::object> record_metadata;
  json::value latest;
  bool strict = false;
  bool partial = false;
};

// The outcome, and the `_metadata` the instance must hold.
Outcome reference(const Case& c, bool strict, json::value& metadata_out) {
  json::object data = c.data;
  json::value* metadata = data.if_contains("_metadata");
  if (!metadata) return c.partial ? Outcome::partial : Outcome::current;
  if (metadata->is_string()) {
    auto decoded = decode(metadata->get_string());
    if (!decoded) throw Refused{Outcome::value_error};
    *metadata = std::move(*decoded);
  }
  if (metadata->is_object()) {
    json::object& meta = metadata->get_object();
    if (!meta.contains("object_id")) throw Refused{Outcome::key_error};
    if (meta.at("object_id").is_string()) {
      if (auto decoded = decode(meta.at("object_id").get_string()))
        meta["object_id"] = std::move(*decoded);
    }
  } else {
    throw Refused{Outcome::attribute_error};
  }
  metadata_out = *metadata;
  bool legacy = false;
  const json::value* csr = metadata->get_object().if_contains("class_schema_reference");
  if (csr && csr->is_object()) {
    const json::value* ref = csr->get_object().if_contains("ref");
    if (!ref) throw Refused{Outcome::key_error};
    if (!ref->is_object()) throw Refused{Outcome::type_error};
    const json::value* stored = ref->get_object().if_contains("object_version");
    if (!stored) throw Refused{Outcome::key_error};
    const bool marker =
        stored->is_string() && (stored->get_string() == "LATEST" ||
                                stored->get_string() == "latest" || stored->get_string().empty());
    if (!marker && !strict && c.record_metadata && !c.record_metadata->empty()) {
      if (const json::value* compatible =
              c.record_metadata->if_contains("compatible_class_versions")) {
        const bool both = member(c.latest, *compatible) && member(*stored, *compatible);
        legacy = !both && !same(*stored, c.latest);
      }
    }
  }
  if (legacy) {
    if (data.contains("original_class")) throw Refused{Outcome::type_error};
    return Outcome::legacy;
  }
  return c.partial ? Outcome::partial : Outcome::current;
}

template <class Run>
Outcome outcome_of(Run&& run, json::value& metadata_out) {
  try {
    Instance<Model> instance = run();
    if (const json::value* m = instance.model().values().if_contains("_metadata"))
      metadata_out = *m;
    return instance.is_legacy()    ? Outcome::legacy
           : instance.is_partial() ? Outcome::partial
                                   : Outcome::current;
  } catch (const velmor_utils::errors::KeyError&) {
    return Outcome::key_error;
  } catch (const velmor_utils::errors::TypeError&) {
    return Outcome::type_error;
  } catch (const velmor_utils::errors::ValueError&) {
    return Outcome::value_error;
  } catch (const velmor_utils::errors::AttributeError&) {
    return Outcome::attribute_error;
  } catch (const velmor_utils::errors::Error&) {
    return Outcome::other_error;
  }
}

Instance<Model> run_async(const QuerySet<Model>& qs, bool partial, velmor_glue::Data record) {
  velmor_utils::utils::decorators::ModeScope mode(velmor_utils::utils::decorators::Mode::async);
  boost::asio::io_context loop;
  std::optional<Instance<Model>> out;
  std::exception_ptr error;
  boost::asio::co_spawn(
      loop,
      [&]() -> boost::asio::awaitable<void> {
        out.emplace(co_await qs._acreate_instance(partial, std::move(record)));
      },
      [&](std::exception_ptr e) { error = e; });
  loop.run();
  if (error) std::rethrow_exception(error);
  return std::move(*out);
}

std::string shown(const Case& c) {
  return json::serialize(c.data).substr(0, 400) + " record metadata " +
         (c.record_metadata ? json::serialize(*c.record_metadata).substr(0, 200) : "none") +
         " latest " + json::serialize(c.latest).substr(0, 100);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  using velmor_data::connections::historical::schema_version_manager::set_latest_version_source;
  velmor_fuzz::Bytes in(bytes, size);
  const unsigned flags = in.byte();
  const std::string metadata_text = in.until(0);
  const std::string record_metadata_text = in.until(0);
  const std::string latest_text = in.rest();

  Case c;
  c.strict = flags & 1;
  c.partial = flags & 2;
  c.data["name"] = "Ann";
  if (flags & 8) c.data["original_class"] = 1;
  if (!(flags & 32)) {
    json::error_code ec;
    json::value parsed = (flags & 4) ? json::parse(metadata_text, ec) : json::value();
    c.data["_metadata"] = (flags & 4) && !ec ? parsed : json::value(metadata_text);
  }
  if (!(flags & 16)) {
    json::error_code ec;
    json::value parsed = json::parse(record_metadata_text, ec);
    if (!ec && parsed.is_object())
      c.record_metadata = parsed.get_object();
    else
      c.record_metadata = json::object{{"compatible_class_versions", record_metadata_text}};
  }
  {
    json::error_code ec;
    c.latest = json::parse(latest_text, ec);
    if (ec) c.latest = json::value(latest_text);
  }
  set_latest_version_source([&](std::string_view) { return c.latest; });

  const QuerySet<Model> qs(customer(), {}, {}, StrictClassVersion(c.strict));
  for (const bool coroutine : {false, true}) {
    if (coroutine && !(flags & 64)) break;
    json::value want_metadata, got_metadata;
    Outcome expected;
    try {
      expected = reference(c, coroutine ? false : c.strict, want_metadata);
    } catch (const Refused& r) {
      expected = r.kind;
    }
    const velmor_glue::Data record{c.data, c.record_metadata};
    const Outcome got = outcome_of(
        [&] {
          return coroutine ? run_async(qs, c.partial, record)
                           : qs._create_instance(c.partial, record);
        },
        got_metadata);
    FUZZ_CHECK(got == expected, std::string(coroutine ? "coroutine: " : "") + "got " +
                                    kOutcomeNames[static_cast<int>(got)] + ", expected " +
                                    kOutcomeNames[static_cast<int>(expected)] + " for " + shown(c));
    if (expected <= Outcome::legacy)
      FUZZ_CHECK(got_metadata == want_metadata,
                 "_metadata " + json::serialize(got_metadata).substr(0, 300) + ", expected " +
                     json::serialize(want_metadata).substr(0, 300));
  }
  set_latest_version_source({});
  return 0;
}
