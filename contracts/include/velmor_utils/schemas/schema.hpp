#pragma once
// The framework's object schema: the description from which a model class is made.

#include <boost/json/object.hpp>
#include <optional>
#include <string>
#include <vector>

#include "velmor_utils/models/data_models/enums.hpp"

namespace velmor_utils::schemas::schema {

/// An object schema, constructed from named fields:
///   "title" (text, required), "__table_name__" (text, required),
///   "properties" (mapping from property name to {"type": core type name, "title": text,
///   optional "default"}), "required" (list of property names, default empty),
///   "__primary_key__" (list of property names, optional), "__connection__" (text,
///   optional), "meta_class" (a MetaClasses value, default "model").
/// Construction validates every field and throws ValidationError naming the first
/// fault; a name that is not one of these fields is a TypeError.
class ObjectSchema {
 public:
  using MetaClasses = models::data_models::enums::MetaClasses;

  explicit ObjectSchema(const boost::json::object& fields);

  const std::string& title() const noexcept { return title_; }
  const std::string& table_name() const noexcept { return table_name_; }
  const boost::json::object& properties() const noexcept { return properties_; }
  const std::vector<std::string>& required() const noexcept { return required_; }
  const std::optional<std::vector<std::string>>& primary_key() const noexcept {
    return primary_key_;
  }
  const std::optional<std::string>& connection() const noexcept { return connection_; }
  const MetaClasses& meta_class() const noexcept { return *meta_class_; }

  /// The schema's named fields, in the order the constructor reads them; optional
  /// fields only when present.
  boost::json::object to_fields() const;

 private:
  std::string title_;
  std::string table_name_;
  boost::json::object properties_;
  std::vector<std::string> required_;
  std::optional<std::vector<std::string>> primary_key_;
  std::optional<std::string> connection_;
  const MetaClasses* meta_class_;
};

}  // namespace velmor_utils::schemas::schema
