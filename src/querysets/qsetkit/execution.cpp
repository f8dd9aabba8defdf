// Running a query set and materialising its records: the synchronous forms, and the
// steps that the asynchronous forms share with them.

#include <boost/json/parser.hpp>

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
    throw AttributeError("'" + std::string(kind_name(metadata)) + "' object has no attribute 'get'");
  const json::value* ref = metadata.get_object().if_contains("class_schema_reference");
  return ref ? ref->if_object() : nullptr;
}

// A factory that yields no executor cannot run anything; say so instead of crashing.
template <class Executor>
std::unique_ptr<Executor> made(std::unique_ptr<Executor> executor) {
  if (!executor) throw TypeError("The executor factory of the query set made no executor");
  return executor;
}

// Decodes JSON text. One parser per thread is kept between calls: its working buffers
// are then allocated once rather than for every record.
json::value decode_json(std::string_view text, json::error_code& ec) {
  thread_local json::parser parser;
  parser.reset();
  parser.write(text.data(), text.size(), ec);
  if (ec) return nullptr;
  return parser.release();
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
        if (v == version) return true;
      return false;
    case json::kind::object:
      return version.is_string() && collection.get_object().contains(version.get_string());
    case json::kind::string:
      if (!version.is_string())
        throw TypeError("'in <string>' requires string as left operand, not " +
                        std::string(kind_name(version)));
      return collection.get_string().subview().find(version.get_string()) !=
             std::string_view::npos;
    default:
      throw TypeError("argument of type '" + std::string(kind_name(collection)) +
                      "' is not iterable");
  }
}

}  // namespace

QuerySetCore::Records QuerySetCore::_execute_query() const {
  velmor_utils::utils::decorators::sync_mode_only("QuerySetBase._execute_query");
  if (_is_none) return std::vector<velmor_glue::Data>{};
  return made(_executor(*this))->query();
}

std::int64_t QuerySetCore::_execute_count() const {
  velmor_utils::utils::decorators::sync_mode_only("QuerySetBase._execute_count");
  if (_is_none) return 0;
  return made(_executor(*this))->count();
}

std::vector<velmor_glue::Data>& QuerySetCore::records_of(Records& records) {
  if (!records) throw TypeError("object of type 'NoneType' has no len()");
  return *records;
}

velmor_glue::Data* QuerySetCore::single_record(Records& records, bool raise_on_multiple) {
  std::vector<velmor_glue::Data>& all = records_of(records);
  if (all.size() > 1 && raise_on_multiple)
    throw errors::MultipleObjectsReturnedError("Multiple items found");
  return all.empty() ? nullptr : &all.front();
}

QuerySetCore::PendingInstance QuerySetCore::begin_instance(velmor_glue::Data record) const {
  if (!record.data) throw TypeError("'NoneType' object is not iterable: the record has no data");
  // The record is ours once the executor has handed it over: its data is moved, not
  // copied, into the mapping the instance is built from.
  PendingInstance pending{std::move(*record.data), std::move(record.metadata), false};
  json::value* metadata = pending.data.if_contains("_metadata");
  if (!metadata) return pending;

  if (metadata->is_string()) {
    json::error_code ec;
    json::value decoded = decode_json(metadata->get_string(), ec);
    if (ec) throw ValueError("_metadata is not valid JSON: " + ec.message());
    *metadata = std::move(decoded);
  }
  // object_id is stored as JSON text; a value that is not text, or text that is not
  // JSON, stays as it is.
  if (json::object* meta = metadata->if_object()) {
    json::value* object_id = meta->if_contains("object_id");
    if (!object_id) throw KeyError("object_id");
    if (object_id->is_string()) {
      json::error_code ec;
      json::value decoded = decode_json(object_id->get_string(), ec);
      if (!ec) *object_id = std::move(decoded);
    }
  }
  if (const json::object* ref = class_schema_reference(*metadata))
    pending.needs_latest_version = !is_latest_marker(stored_class_version(*ref));
  return pending;
}

bool QuerySetCore::is_legacy(const PendingInstance& pending, const json::value& latest_version,
                             bool consult_strict_flag) const {
  const json::value& stored =
      stored_class_version(*class_schema_reference(pending.data.at("_metadata")));
  if (consult_strict_flag && _strict_class_version) return false;
  if (!pending.record_metadata || pending.record_metadata->empty()) return false;
  const json::value* compatible = pending.record_metadata->if_contains(
      velmor_data::services::historical_table_schema::COMPATIBLE_CLASS_VERSIONS);
  if (!compatible) return false;
  if (is_member(latest_version, *compatible) && is_member(stored, *compatible)) return false;
  return stored != latest_version;
}

Instance<Model> QuerySetCore::finish_instance(PendingInstance pending, bool is_partial,
                                              bool legacy) const {
  if (legacy) {
    if (pending.data.contains("original_class"))
      throw TypeError("LegacyModel() got multiple values for keyword argument 'original_class'");
    return {std::make_unique<LegacyModel>(_entity, std::move(pending.data)), InstanceKind::legacy};
  }
  if (is_partial)
    return {pydantic_partial::create_partial_model(_entity)->construct(std::move(pending.data)),
            InstanceKind::partial};

  // The constructor takes the values; the annotated ones are kept aside to be set on the
  // instance afterwards.
  const json::object& annotations = _annotations.get();
  std::vector<std::pair<std::string_view, json::value>> annotated;
  for (const auto& kv : annotations)
    if (const json::value* v = pending.data.if_contains(kv.key())) annotated.emplace_back(kv.key(), *v);
  std::unique_ptr<Model> obj = _entity->construct(std::move(pending.data));
  for (auto& [name, value] : annotated) obj->set_attribute(name, std::move(value));
  return {std::move(obj), InstanceKind::current};
}

Instance<Model> QuerySetCore::_create_instance(bool is_partial, velmor_glue::Data data) const {
  PendingInstance pending = begin_instance(std::move(data));
  bool legacy = false;
  if (pending.needs_latest_version) {
    using velmor_data::connections::historical::schema_version_manager::
        HistoricalSchemaVersionManager;
    json::value latest = HistoricalSchemaVersionManager().get_latest_schema_version(entity_name());
    legacy = is_legacy(pending, latest, true);
  }
  return finish_instance(std::move(pending), is_partial, legacy);
}

}  // namespace velmor_models::querysets::qsetkit
