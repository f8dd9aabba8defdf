#include "velmor_models/classes/model.hpp"

#include <algorithm>

#include "pydantic_partial/partial.hpp"
#include "velmor_utils/errors.hpp"
#include "velmor_utils/schemas/schema.hpp"
#include "velmor_utils/values.hpp"

namespace velmor_models::classes::model {
namespace {

using boost::json::kind;
using boost::json::object;
using boost::json::value;
using velmor_utils::errors::ValidationError;

bool has_core_type(const value& v, const CoreTypes& type) {
  if (type == CoreTypes::INTEGER) return v.is_int64() || v.is_uint64();
  if (type == CoreTypes::NUMBER) return v.is_number();
  if (type == CoreTypes::BOOLEAN) return v.is_bool();
  if (type == CoreTypes::ARRAY) return v.is_array();
  if (type == CoreTypes::DICTIONARY) return v.is_object();
  return v.is_string();  // STRING, BINARY (base64 text), DATE, DATETIME (ISO 8601 text)
}

bool equals_nocase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           auto low = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
           return low(x) == low(y);
         });
}

// SQL stores name their own columns and row ids so; SQL names ignore ASCII case.
void check_field_name(const std::string& cls, const std::string& name, bool plain_table) {
  bool reserved =
      name == "_address" || name == "_object_id" || name == "_object_version" ||
      name == "_class_version" || name == "_saved_at" ||
      (name.size() >= 8 && equals_nocase(std::string_view(name).substr(0, 8), "_velmor_"));
  if (!plain_table)
    for (std::string_view row_id : {"rowid", "oid", "_rowid_"})
      reserved = reserved || equals_nocase(name, row_id);
  if (reserved)
    throw velmor_utils::errors::ValueError(
        "model " + cls + ": the field name '" + name +
        "' is reserved by the stores (address columns, row ids and names beginning with "
        "_velmor_)");
}

}  // namespace

ModelClassPtr ModelClass::create(std::string name, value table_name, std::vector<FieldDecl> fields,
                                 Options options) {
  auto cls = std::shared_ptr<ModelClass>(new ModelClass());
  cls->name_ = std::move(name);
  cls->table_name_ = std::move(table_name);
  if (options.parent) {
    cls->fields_ = options.parent->fields_;
    // A redeclared field replaces the inherited declaration in place.
    for (FieldDecl& f : fields) {
      auto it = std::find_if(cls->fields_.begin(), cls->fields_.end(),
                             [&](const FieldDecl& d) { return d.name == f.name; });
      if (it != cls->fields_.end())
        *it = std::move(f);
      else
        cls->fields_.push_back(std::move(f));
    }
  } else {
    cls->fields_ = std::move(fields);
  }
  cls->parent_ = std::move(options.parent);
  cls->factory_ = std::move(options.factory);
  cls->partial_ = options.partial;
  cls->plain_table_ = options.plain_table || (cls->parent_ && cls->parent_->plain_table_);
  for (const FieldDecl& f : cls->fields_) check_field_name(cls->name_, f.name, cls->plain_table_);
  cls->self_ = cls;
  return cls;
}

ModelClassPtr ModelClass::from_schema(const velmor_utils::schemas::schema::ObjectSchema& schema) {
  return from_schema(schema, Options{});
}

ModelClassPtr ModelClass::from_schema(const velmor_utils::schemas::schema::ObjectSchema& schema,
                                      Options options) {
  std::vector<FieldDecl> fields;
  for (const auto& [name, desc] : schema.properties()) {
    const object& d = desc.get_object();
    FieldDecl f;
    f.name = std::string(name);
    f.type = CoreTypes::from_value(d.at("type").get_string());
    f.required = std::find(schema.required().begin(), schema.required().end(), f.name) !=
                 schema.required().end();
    if (const value* dv = d.if_contains("default")) f.default_value = *dv;
    fields.push_back(std::move(f));
  }
  return create(schema.title(), value(schema.table_name()), std::move(fields), std::move(options));
}

bool ModelClass::is_subclass_of(const ModelClass& base) const noexcept {
  for (const ModelClass* c = this; c; c = c->parent_.get())
    if (c == &base) return true;
  return false;
}

namespace {

// The value of field `f`. Records usually hold their fields in declaration order, so the
// entry at `next` is tried before the hashed lookup, which saves hashing every name.
value* field_value(object& values, std::size_t& next, const FieldDecl& f) {
  if (next < values.size()) {
    auto& entry = values.begin()[next];
    if (entry.key() == f.name) {
      ++next;
      return &entry.value();
    }
  }
  return values.if_contains(f.name);
}

// A version in an address: "LATEST" or a whole number.
bool is_version(const value& v) {
  if (const auto* s = v.if_string()) return *s == "LATEST";
  return v.is_int64() || v.is_uint64();
}

void check_reference(const std::string& cls, const FieldDecl& f, const object& address) {
  const std::string where = cls + ": reference field '" + f.name + "' ";
  const value* class_name = address.if_contains("class_name");
  if (!class_name || !class_name->is_string() || *class_name->if_string() != f.references)
    throw ValidationError(where + "must name class '" + f.references + "' in 'class_name'");
  const value* id = address.if_contains("object_id");
  if (!id || !(id->is_string() || id->is_int64() || id->is_uint64()))
    throw ValidationError(where + "needs an 'object_id' (text or an integer)");
  for (const char* key : {"class_version", "object_version"}) {
    const value* v = address.if_contains(key);
    if (!v || !is_version(*v))
      throw ValidationError(where + "needs '" + key + "': \"LATEST\" or a whole number");
  }
}

}  // namespace

std::unique_ptr<Model> ModelClass::construct(object values) const {
  return build(std::move(values), true);
}

std::unique_ptr<Model> ModelClass::construct_stored(object values) const {
  return build(std::move(values), false);
}

std::unique_ptr<Model> ModelClass::build(object values, bool check) const {
  std::size_t next = 0;
  for (const FieldDecl& f : fields_) {
    value* v = field_value(values, next, f);
    if (!v) {
      if (f.default_value) {
        values.emplace(f.name, *f.default_value);
        continue;
      }
      if (f.required && check)
        throw ValidationError(name_ + ": field '" + f.name + "' is required");
      continue;
    }
    if (!check || (v->is_null() && !f.required)) continue;
    if (!has_core_type(*v, f.type))
      throw ValidationError(name_ + ": field '" + f.name + "' must be of type " + f.type.str() +
                            ", not " + std::string(velmor_utils::values::kind_name(*v)));
    if (f.is_reference()) check_reference(name_, f, v->get_object());
  }
  ModelClassPtr self = self_.lock();
  if (factory_) return factory_(std::move(self), std::move(values));
  return std::make_unique<Model>(std::move(self), std::move(values));
}

const value& Model::get(std::string_view name) const {
  if (const value* v = values_.if_contains(name)) return *v;
  throw velmor_utils::errors::AttributeError(class_->name() + " has no field '" +
                                             std::string(name) + "'");
}

void Model::set_attribute(std::string_view name, value v) {
  values_[name] = std::move(v);
}

LegacyModel::LegacyModel(ModelClassPtr original_class, object values)
    : Model(legacy_class(), std::move(values)), original_class_(std::move(original_class)) {}

const ModelClassPtr& LegacyModel::legacy_class() {
  static const ModelClassPtr cls = ModelClass::create("LegacyModel", value(nullptr), {});
  return cls;
}

}  // namespace velmor_models::classes::model

namespace pydantic_partial {

using velmor_models::classes::model::FieldDecl;
using velmor_models::classes::model::ModelClass;
using velmor_models::classes::model::ModelClassPtr;

ModelClassPtr create_partial_model(const ModelClassPtr& cls) {
  std::vector<FieldDecl> fields = cls->fields();
  for (FieldDecl& f : fields) f.required = false;
  return ModelClass::create(cls->name() + "Partial", cls->table_name(), std::move(fields),
                            {cls, {}, true});
}

}  // namespace pydantic_partial
