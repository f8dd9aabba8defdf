#include "velmor_models/querysets/qsetkit/object_address.hpp"

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <limits>

namespace velmor_models::querysets::qsetkit {

namespace json = boost::json;

std::optional<ObjectAddress> address_of(const classes::model::Model& obj) {
  const json::value* stored = obj.find("_metadata");
  if (!stored) return std::nullopt;
  json::value parsed;
  if (stored->is_string()) {
    json::error_code ec;
    parsed = json::parse(stored->get_string(), ec);
    if (ec) return std::nullopt;
    stored = &parsed;
  }
  const json::object* meta = stored->if_object();
  if (!meta) return std::nullopt;
  auto integer = [](const json::object* o, std::string_view key) -> std::optional<std::int64_t> {
    const json::value* v = o ? o->if_contains(key) : nullptr;
    if (v && v->is_int64()) return v->get_int64();
    if (v && v->is_uint64() &&
        v->get_uint64() <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
      return static_cast<std::int64_t>(v->get_uint64());
    return std::nullopt;
  };
  const json::value* reference = meta->if_contains("class_schema_reference");
  const json::value* ref =
      reference && reference->is_object() ? reference->get_object().if_contains("ref") : nullptr;
  const json::object* address = ref ? ref->if_object() : nullptr;
  const std::optional<std::int64_t> class_version = integer(address, "object_version");
  const std::optional<std::int64_t> object_version = integer(meta, "object_version");
  const json::value* id = meta->if_contains("object_id");
  const json::value* name = address ? address->if_contains("class_name") : nullptr;
  if (!class_version || !object_version || !id || !name || !name->is_string()) return std::nullopt;
  ObjectAddress out{std::string(name->get_string()), *class_version, {}, *object_version};
  if (const std::optional<std::int64_t> saved_at = integer(meta, "saved_at"))
    out.saved_at =
        std::chrono::sys_time<std::chrono::microseconds>(std::chrono::microseconds(*saved_at));
  if (id->is_string()) {
    // As stored: the id's JSON text; as materialised: the decoded id.
    json::error_code ec;
    json::value decoded = json::parse(id->get_string(), ec);
    out.object_id = !ec && decoded.is_string() && stored == &parsed
                        ? std::string(decoded.get_string())
                        : std::string(id->get_string());
  } else if (id->is_number()) {
    out.object_id = json::serialize(*id);
  } else {
    return std::nullopt;
  }
  return out;
}

}  // namespace velmor_models::querysets::qsetkit
