// Every error the library raises is caught as velmor_utils::errors::Error, while each
// kind stays catchable by itself.

#include <gtest/gtest.h>

#include <boost/json/parse.hpp>
#include <functional>
#include <string>
#include <typeinfo>

#include "velmor_models/classes/class_manager.hpp"
#include "velmor_models/classes/enums.hpp"
#include "velmor_models/classes/helpers/reffetch.hpp"
#include "velmor_models/querysets/errors.hpp"
#include "velmor_models/querysets/qsetkit.hpp"
#include "velmor_models/utils/files.hpp"
#include "velmor_models/utils/schemabridge.hpp"
#include "velmor_utils/errors.hpp"
#include "velmor_utils/utils/decorators.hpp"

namespace {

namespace json = boost::json;
namespace errors = velmor_utils::errors;
namespace qs_errors = velmor_models::querysets::errors;
using velmor_models::classes::model::ModelClass;
using velmor_models::querysets::qsetkit::QuerySet;
using velmor_models::querysets::qsetkit::Slice;
using velmor_utils::utils::decorators::Mode;
using velmor_utils::utils::decorators::ModeScope;
using Model = velmor_models::classes::model::Model;

struct Case {
  const char* kind;
  std::function<void()> raise;  // raises through the library's own operations
  std::function<bool(const errors::Error&)> is_kind;
};

template <class E>
std::function<bool(const errors::Error&)> is() {
  return [](const errors::Error& e) { return dynamic_cast<const E*>(&e) != nullptr; };
}

const velmor_models::classes::model::ModelClassPtr& widget() {
  static const auto cls = ModelClass::create("Widget", "widgets", {});
  return cls;
}

TEST(ErrorRoot, EveryKindIsAnError) {
  using velmor_models::utils::schemabridge::ExternalSchemaConverter;
  const Case cases[] = {
      {"TypeError", [] { QuerySet<Model>(nullptr); }, is<errors::TypeError>()},
      {"ValueError", [] { (void)QuerySet<Model>(widget())[Slice(0, 1, 2)]; },
       is<errors::ValueError>()},
      {"KeyError",
       [] {
         ExternalSchemaConverter().postgres_schema_to_object_schema("t",
                                                                    json::parse("[{}]").as_array());
       },
       is<errors::KeyError>()},
      {"ValidationError",
       [] {
         ExternalSchemaConverter().generic_schema_to_object_schema(
             "t", json::parse(R"([{"name": "a", "type": "TEXT"}])").as_array(), "",
             [](std::string_view) { return std::string("no such type"); });
       },
       is<errors::ValidationError>()},
      {"BulkOperationError",
       [] {
         auto other = ModelClass::create("Other", "others", {});
         QuerySet<Model>(widget())._check_type(*other->construct({}));
       },
       is<qs_errors::BulkOperationError>()},
      {"ModeError",
       [] {
         ModeScope async(Mode::async);
         (void)QuerySet<Model>(widget()).execute();
       },
       is<velmor_utils::utils::decorators::ModeError>()},
      {"ClassNotFoundError",
       [] { velmor_models::classes::class_manager::ClassManager().import_class("Nowhere"); },
       is<velmor_models::classes::class_manager::ClassNotFoundError>()},
      {"UnicodeEncodeError",
       [] { (void)velmor_models::utils::files::convert_data_to_base64(std::string("\xff")); },
       is<velmor_models::utils::files::UnicodeEncodeError>()},
      {"Base64DecodeError",
       [] {
         const std::byte bad[] = {std::byte{'!'}, std::byte{'!'}, std::byte{'!'}, std::byte{'!'}};
         (void)velmor_models::utils::files::base64::decode(bad);
       },
       is<velmor_models::utils::files::Base64DecodeError>()},
      {"enumeration ValueError",
       [] { velmor_models::classes::enums::ModelType::from_value("nothing"); },
       is<errors::ValueError>()},
  };
  for (const Case& c : cases) {
    try {
      c.raise();
      ADD_FAILURE() << c.kind << ": nothing raised";
    } catch (const errors::Error& e) {
      EXPECT_TRUE(c.is_kind(e)) << c.kind << " caught as " << typeid(e).name();
    } catch (...) {
      ADD_FAILURE() << c.kind << ": not an Error";
    }
  }
}

TEST(ErrorRoot, DatabaseErrorCarriesWhatItNeeds) {
  const qs_errors::DatabaseError e("locked", "default", "SELECT 1", "5", true);
  const errors::Error& root = e;
  EXPECT_STREQ(root.what(), "locked");
  EXPECT_EQ(e.alias(), "default");
  EXPECT_EQ(e.sql(), "SELECT 1");
  EXPECT_EQ(e.code(), "5");
  EXPECT_TRUE(e.connection_usable());
}

}  // namespace
