#pragma once
// Model classes and their instances.
//
// A model class is a run-time class object: a name, a `__table_name__`, field
// declarations and a parent class. It is either declared as a C++ type (a class derived
// from Model with a static `declaration()` and typed accessors, see `declare_model`) or
// built at run time from an ObjectSchema; both kinds are used the same way. Classes are
// compared by identity: two class objects are the same class only if they are the same
// object.

#include <boost/json/object.hpp>
#include <boost/json/value.hpp>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "velmor_utils/models/data_models/enums.hpp"

namespace velmor_utils::schemas::schema {
class ObjectSchema;
}

namespace velmor_models::classes::model {

using CoreTypes = velmor_utils::models::data_models::enums::CoreTypes;

class Model;
class ModelClass;
using ModelClassPtr = std::shared_ptr<const ModelClass>;

/// One declared field.
struct FieldDecl {
  std::string name;
  CoreTypes type = CoreTypes::STRING;
  bool required = true;
  std::optional<boost::json::value> default_value;
  /// Non-empty: the field refers to a stored object of the model class of this name. Its
  /// type is DICTIONARY and its value the address record of a Reference: `class_name`
  /// (this name), `class_version`, `object_id`, `object_version` (a version is "LATEST"
  /// or a number).
  std::string references = {};
  bool is_reference() const noexcept { return !references.empty(); }
};

/// A reference field to objects of the model class `class_name`.
inline FieldDecl reference_field(std::string name, std::string class_name, bool required = true) {
  return FieldDecl{std::move(name), CoreTypes::DICTIONARY, required, std::nullopt,
                   std::move(class_name)};
}

class ModelClass {
 public:
  /// Makes the instance object for validated field values; lets a C++ model type build
  /// its own instances.
  using InstanceFactory = std::function<std::unique_ptr<Model>(ModelClassPtr, boost::json::object)>;

  struct Options {
    ModelClassPtr parent;     ///< fields of the parent come first
    InstanceFactory factory;  ///< empty: plain Model instances
    bool partial = false;     ///< made by create_partial_model
    /// Rows of its table carry no `_metadata` column (a table the framework did not
    /// write, e.g. one found by introspection): queries must not select it.
    bool plain_table = false;
  };

  /// `table_name` is the class's `__table_name__`: text, the empty text or null.
  /// Names the stores keep for themselves are refused as field names (ValueError): the
  /// address names `_address`, `_object_id`, `_object_version`, `_class_version` and
  /// `_saved_at`, any name beginning with `_velmor_` in any case, and, unless the class is
  /// a plain table, the row id names `rowid`, `oid` and `_rowid_` in any case.
  static ModelClassPtr create(std::string name, boost::json::value table_name,
                              std::vector<FieldDecl> fields, Options options);
  static ModelClassPtr create(std::string name, boost::json::value table_name,
                              std::vector<FieldDecl> fields) {
    return create(std::move(name), std::move(table_name), std::move(fields), Options{});
  }
  /// A class built from an object schema: its title is the class name, its properties
  /// the fields, required exactly as the schema lists them, defaults as given.
  static ModelClassPtr from_schema(const velmor_utils::schemas::schema::ObjectSchema& schema);
  static ModelClassPtr from_schema(const velmor_utils::schemas::schema::ObjectSchema& schema,
                                   Options options);

  const std::string& name() const noexcept { return name_; }
  /// The `__table_name__` attribute (always present; text, empty text or null).
  const boost::json::value& table_name() const noexcept { return table_name_; }
  /// Every field, the parent's first.
  const std::vector<FieldDecl>& fields() const noexcept { return fields_; }
  const ModelClassPtr& parent() const noexcept { return parent_; }
  bool is_partial() const noexcept { return partial_; }
  /// True when the class's rows carry no `_metadata` (inherited by derived classes).
  bool is_plain_table() const noexcept { return plain_table_; }
  /// True for this class and every class derived from it.
  bool is_subclass_of(const ModelClass& base) const noexcept;

  /// Construction from named field values (extra names are kept as attributes):
  /// applies defaults, checks that required fields are present and that every declared
  /// field's value has its core type; ValidationError names the class and the field.
  std::unique_ptr<Model> construct(boost::json::object values) const;
  /// Construction from values read back from a plain table (one the framework did not
  /// write): they are taken as stored, without the checks of `construct`, because SQLite
  /// keeps a value of any kind in a column whatever its declared type. Defaults still fill
  /// missing fields.
  std::unique_ptr<Model> construct_stored(boost::json::object values) const;

 private:
  ModelClass() = default;
  std::unique_ptr<Model> build(boost::json::object values, bool check) const;
  std::string name_;
  boost::json::value table_name_;
  std::vector<FieldDecl> fields_;
  ModelClassPtr parent_;
  InstanceFactory factory_;
  bool partial_ = false;
  bool plain_table_ = false;
  std::weak_ptr<const ModelClass> self_;
};

/// An instance: its class and its named values (fields and attributes).
class Model {
 public:
  Model(ModelClassPtr cls, boost::json::object values) noexcept
      : class_(std::move(cls)), values_(std::move(values)) {}
  virtual ~Model() = default;
  Model(const Model&) = default;
  Model(Model&&) noexcept = default;
  Model& operator=(const Model&) = default;
  Model& operator=(Model&&) noexcept = default;

  /// The instance's exact class.
  const ModelClassPtr& model_class() const noexcept { return class_; }
  const boost::json::object& values() const noexcept { return values_; }
  /// The value of a field or attribute; AttributeError when there is none.
  const boost::json::value& get(std::string_view name) const;
  const boost::json::value* find(std::string_view name) const noexcept {
    return values_.if_contains(name);
  }
  /// Attribute assignment.
  void set_attribute(std::string_view name, boost::json::value value);

 private:
  ModelClassPtr class_;
  boost::json::object values_;
};

/// An instance of a record stored under a class version that the current model class
/// no longer matches: the current class is kept as `original_class`, the values as they
/// were stored, without validation.
class LegacyModel : public Model {
 public:
  LegacyModel(ModelClassPtr original_class, boost::json::object values);
  const ModelClassPtr& original_class() const noexcept { return original_class_; }
  /// The class that every legacy instance belongs to.
  static const ModelClassPtr& legacy_class();

 private:
  ModelClassPtr original_class_;
};

/// Declares the class of the C++ model type `T` (derived from Model, constructible from
/// a class and values); its instances are built as `T`.
template <class T>
ModelClassPtr declare_model(std::string name, boost::json::value table_name,
                            std::vector<FieldDecl> fields, ModelClassPtr parent = nullptr) {
  return ModelClass::create(
      std::move(name), std::move(table_name), std::move(fields),
      {std::move(parent),
       [](ModelClassPtr cls, boost::json::object values) -> std::unique_ptr<Model> {
         return std::make_unique<T>(std::move(cls), std::move(values));
       },
       false});
}

}  // namespace velmor_models::classes::model
