#include "velmor_utils/schemas/schema.hpp"

#include <string_view>

#include "velmor_utils/errors.hpp"
#include "velmor_utils/values.hpp"

namespace velmor_utils::schemas::schema {
namespace {

using boost::json::array;
using boost::json::object;
using boost::json::value;
using errors::TypeError;
using errors::ValidationError;
using models::data_models::enums::CoreTypes;

[[noreturn]] void invalid(std::string_view field, std::string_view why) {
  throw ValidationError("ObjectSchema: " + std::string(field) + ": " + std::string(why));
}

std::string text_field(const object& fields, std::string_view name, bool required) {
  const value* v = fields.if_contains(name);
  if (!v) {
    if (required) invalid(name, "field required");
    return {};
  }
  if (!v->is_string()) invalid(name, "must be text, not " + std::string(values::kind_name(*v)));
  if (v->get_string().empty()) invalid(name, "must not be empty");
  return std::string(v->get_string());
}

std::vector<std::string> name_list(const value& v, std::string_view field, const object& props) {
  if (!v.is_array()) invalid(field, "must be a list of property names");
  std::vector<std::string> out;
  for (const value& e : v.get_array()) {
    if (!e.is_string()) invalid(field, "must be a list of property names");
    if (!props.contains(e.get_string()))
      invalid(field, "names no property: " + std::string(e.get_string()));
    out.emplace_back(e.get_string());
  }
  return out;
}

void check_property(std::string_view name, const value& desc) {
  std::string where = "properties." + std::string(name);
  if (name.empty()) invalid("properties", "property names must not be empty");
  if (!desc.is_object()) invalid(where, "must be a mapping");
  for (const auto& [key, v] : desc.get_object()) {
    if (key == "type") {
      if (!v.is_string()) invalid(where, "type must be a core type name");
      bool known = false;
      for (const CoreTypes& t : CoreTypes::members()) known = known || t == v.get_string();
      if (!known) invalid(where, "unknown core type " + std::string(v.get_string()));
    } else if (key == "title") {
      if (!v.is_string()) invalid(where, "title must be text");
    } else if (key != "default") {
      invalid(where, "unknown key " + std::string(key));
    }
  }
  if (!desc.get_object().contains("type")) invalid(where, "type: field required");
}

}  // namespace

ObjectSchema::ObjectSchema(const object& fields) : meta_class_(&MetaClasses::MODEL) {
  static constexpr std::string_view known[] = {"title",           "__table_name__",
                                                "properties",      "required",
                                                "__primary_key__", "__connection__",
                                                "meta_class"};
  for (const auto& [key, v] : fields) {
    bool ok = false;
    for (std::string_view k : known) ok = ok || k == key;
    if (!ok)
      throw TypeError("ObjectSchema has no field '" + std::string(key) + "'");
  }
  title_ = text_field(fields, "title", true);
  table_name_ = text_field(fields, "__table_name__", true);
  const value* props = fields.if_contains("properties");
  if (!props) invalid("properties", "field required");
  if (!props->is_object()) invalid("properties", "must be a mapping");
  for (const auto& [name, desc] : props->get_object()) check_property(name, desc);
  properties_ = props->get_object();
  if (const value* r = fields.if_contains("required"))
    required_ = name_list(*r, "required", properties_);
  if (const value* pk = fields.if_contains("__primary_key__"))
    primary_key_ = name_list(*pk, "__primary_key__", properties_);
  if (fields.contains("__connection__"))
    connection_ = text_field(fields, "__connection__", false);
  if (const value* mc = fields.if_contains("meta_class")) {
    if (!mc->is_string()) invalid("meta_class", "must be a meta class name");
    try {
      meta_class_ = &MetaClasses::from_value(mc->get_string());
    } catch (const errors::ValueError& e) {
      invalid("meta_class", e.what());
    }
  }
}

object ObjectSchema::to_fields() const {
  object out;
  out["title"] = title_;
  out["__table_name__"] = table_name_;
  out["properties"] = properties_;
  array req(required_.begin(), required_.end());
  out["required"] = std::move(req);
  if (primary_key_) out["__primary_key__"] = array(primary_key_->begin(), primary_key_->end());
  if (connection_) out["__connection__"] = *connection_;
  out["meta_class"] = meta_class_->str();
  return out;
}

}  // namespace velmor_utils::schemas::schema
