// Model type and module name enumerations.

#include <gtest/gtest.h>

#include <boost/json.hpp>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "velmor_models/classes/enums.hpp"
#include "velmor_utils/errors.hpp"
#include "velmor_utils/models/data_models/enums.hpp"

namespace {

using velmor_models::classes::enums::CoreModules;
using velmor_models::classes::enums::ModelType;
using velmor_models::classes::enums::SystemModules;
using velmor_utils::errors::ValueError;
using velmor_utils::models::data_models::enums::MetaClasses;
using ObjectSchema = velmor_utils::schemas::schema::ObjectSchema;

template <class E>
std::vector<std::string> values_of() {
  std::vector<std::string> out;
  for (const E& m : E::members()) out.push_back(m.str());
  return out;
}

template <class E>
std::vector<std::string> names_of() {
  std::vector<std::string> out;
  for (const E& m : E::members()) out.emplace_back(m.name());
  return out;
}

TEST(ModelType, MembersInDeclarationOrder) {
  EXPECT_EQ(names_of<ModelType>(), (std::vector<std::string>{"TYPE", "MODEL"}));
  EXPECT_EQ(values_of<ModelType>(), (std::vector<std::string>{"type", "model"}));
}

TEST(ModelType, LookupByValue) {
  EXPECT_EQ(ModelType::from_value("model").name(), "MODEL");
  EXPECT_EQ(ModelType::from_value("type").name(), "TYPE");
  // Values are matched exactly: neither the name nor another case is a value.
  EXPECT_THROW(ModelType::from_value("MODEL"), ValueError);
  EXPECT_THROW(ModelType::from_value("Type"), ValueError);
  EXPECT_THROW(ModelType::from_value(""), ValueError);
}

TEST(ModelType, EqualToItsText) {
  EXPECT_TRUE(ModelType::TYPE == "type");
  EXPECT_TRUE(ModelType::MODEL == std::string("model"));
  EXPECT_TRUE(ModelType::MODEL == std::string_view("model"));
  EXPECT_FALSE(ModelType::TYPE == "TYPE");
  EXPECT_FALSE(ModelType::TYPE == ModelType::MODEL);
  EXPECT_EQ(std::string_view(ModelType::TYPE), "type");
  EXPECT_EQ(boost::json::value_from(ModelType::MODEL), "model");
}

TEST(ModelType, MemberDocumentation) {
  EXPECT_EQ(ModelType::TYPE.doc(), "Represents the 'type' model type.");
  EXPECT_EQ(ModelType::MODEL.doc(), "Represents the 'model' model type.");
}

TEST(ModelType, FromSchema) {
  const ObjectSchema type_schema(boost::json::parse(R"({
    "title": "Color", "__table_name__": "colors", "properties": {}, "meta_class": "type"
  })")
                                     .as_object());
  const ObjectSchema model_schema(boost::json::parse(R"({
    "title": "User", "__table_name__": "users", "properties": {}, "meta_class": "model"
  })")
                                      .as_object());
  const ObjectSchema default_schema(boost::json::parse(R"({
    "title": "User", "__table_name__": "users", "properties": {}
  })")
                                        .as_object());
  EXPECT_EQ(ModelType::from_schema(type_schema), ModelType::TYPE);
  EXPECT_EQ(ModelType::from_schema(model_schema), ModelType::MODEL);
  EXPECT_EQ(ModelType::from_schema(default_schema), ModelType::MODEL);
  EXPECT_EQ(ModelType::from_schema(type_schema).doc(), ModelType::TYPE.doc());
}

TEST(CoreModules, SingleCapitalisedMember) {
  EXPECT_EQ(names_of<CoreModules>(), std::vector<std::string>{"REFERENCE"});
  EXPECT_TRUE(CoreModules::REFERENCE == "Reference");
  EXPECT_FALSE(CoreModules::REFERENCE == "reference");
  EXPECT_EQ(CoreModules::from_value("Reference").name(), "REFERENCE");
  EXPECT_THROW(CoreModules::from_value("reference"), ValueError);
  EXPECT_EQ(CoreModules::REFERENCE.doc(), "Represents the 'Reference' core module.");
}

TEST(SystemModules, MembersInDeclarationOrder) {
  EXPECT_EQ(names_of<SystemModules>(),
            (std::vector<std::string>{"DICT", "LIST", "ANY", "TYPE", "OPTIONAL", "UNION",
                                      "CLASS_VAR", "FIELD_VALIDATOR", "FIELD_DICTIONARY_VALIDATOR",
                                      "FIELD_OPTIONS_VALIDATOR", "DATE", "DATETIME"}));
  EXPECT_EQ(values_of<SystemModules>(),
            (std::vector<std::string>{"dict", "list", "Any", "type", "Optional", "Union",
                                      "ClassVar", "field_validator", "validate_non_empty_keys",
                                      "validate_options", "date", "datetime"}));
}

TEST(SystemModules, LookupKeepsCase) {
  EXPECT_EQ(SystemModules::from_value("Any").name(), "ANY");
  EXPECT_EQ(SystemModules::from_value("Optional").name(), "OPTIONAL");
  EXPECT_EQ(SystemModules::from_value("dict").name(), "DICT");
  EXPECT_EQ(SystemModules::from_value("validate_non_empty_keys").name(),
            "FIELD_DICTIONARY_VALIDATOR");
  EXPECT_THROW(SystemModules::from_value("any"), ValueError);
  EXPECT_THROW(SystemModules::from_value("Dict"), ValueError);
  EXPECT_THROW(SystemModules::from_value("FIELD_VALIDATOR"), ValueError);
}

TEST(SystemModules, EveryMemberIsDocumentedWithItsValue) {
  for (const SystemModules& m : SystemModules::members())
    EXPECT_EQ(m.doc(), "Represents the '" + m.str() + "' system module.") << m.name();
}

TEST(Enumerations, ValuesAreDistinctWithinEach) {
  auto distinct = [](const std::vector<std::string>& v) {
    return std::unordered_set<std::string>(v.begin(), v.end()).size() == v.size();
  };
  EXPECT_TRUE(distinct(values_of<ModelType>()));
  EXPECT_TRUE(distinct(values_of<CoreModules>()));
  EXPECT_TRUE(distinct(values_of<SystemModules>()));
}

TEST(Enumerations, EqualAcrossEnumerationsBySameValue) {
  EXPECT_TRUE(SystemModules::TYPE == ModelType::TYPE);
  EXPECT_TRUE(ModelType::TYPE == MetaClasses::TYPE);
  EXPECT_TRUE(ModelType::MODEL == MetaClasses::MODEL);
  EXPECT_TRUE(SystemModules::DATE == velmor_utils::models::data_models::enums::CoreTypes::DATE);
  EXPECT_FALSE(SystemModules::DICT == ModelType::TYPE);
  EXPECT_FALSE(SystemModules::ANY == CoreModules::REFERENCE);
  // Equal members hash alike, so they find each other in hashed containers.
  std::hash<velmor_utils::TextEnumValue> hash;
  EXPECT_EQ(hash(SystemModules::TYPE), hash(ModelType::TYPE));
}

// The enumeration documentation lists every member with its own documentation line.
TEST(Enumerations, DocumentationTexts) {
  EXPECT_EQ(ModelType::enum_doc(),
            "Enumeration for model types.\n\nAttributes:\n"
            "    TYPE (str): Represents the 'type' model type.\n"
            "    MODEL (str): Represents the 'model' model type.\n");
  EXPECT_EQ(CoreModules::enum_doc(),
            "Enumeration for core modules.\n\nAttributes:\n"
            "    REFERENCE (str): Represents the 'Reference' core module.\n");
  EXPECT_NE(SystemModules::enum_doc().find(
                "\n    FIELD_DICTIONARY_VALIDATOR (str): Represents the 'validate_non_empty_keys' "
                "system module.\n"),
            std::string::npos);
}

}  // namespace
