#include "velmor_models/classes/helpers/reffetch.hpp"

#include <boost/json/value_from.hpp>
#include <exception>
#include <string_view>

#include "velmor_data/aliases/using.hpp"
#include "velmor_models/classes/class_manager.hpp"
#include "velmor_utils/models/enums.hpp"

namespace velmor_models::classes::helpers::reffetch {
namespace {

namespace json = boost::json;
using querysets::qsetkit::NamedFilters;
using querysets::qsetkit::QuerySet;
using velmor_utils::models::enums::Versions;

const json::value& latest() {
  static const json::value value = json::value_from(Versions::LATEST);
  return value;
}

// A reference spells "the latest version" as the text "LATEST"; the filters use the
// framework's marker instead.
json::value normalised(const json::value& version) {
  const json::string* text = version.if_string();
  if (text && *text == "LATEST") return latest();
  return version;
}

boost::asio::awaitable<Instance<Model>> failed(std::exception_ptr error) {
  std::rethrow_exception(error);
  co_return Instance<Model>(nullptr, querysets::qsetkit::InstanceKind::current);  // not reached
}

}  // namespace

Instance<Model> ReferenceLoader::load_reference(std::optional<std::vector<std::string>> only,
                                                std::optional<std::string> using_) const {
  ModelClassPtr model_class = this->_load_model_class();
  QuerySetOneRequired<Model> qs =
      this->_load_record(model_class, std::move(only), std::move(using_));
  return qs.execute();
}

boost::asio::awaitable<Instance<Model>> ReferenceLoader::aload_reference(
    std::optional<std::vector<std::string>> only, std::optional<std::string> using_) const {
  // The steps that read the loader run now, on the caller's loop; what is awaited owns
  // its query set, so the loader may be gone by then. A failure is kept for the await.
  try {
    ModelClassPtr model_class = this->_load_model_class();
    return this->_load_record(model_class, std::move(only), std::move(using_)).aexecute();
  } catch (...) {
    return failed(std::current_exception());
  }
}

ModelClassPtr ReferenceLoader::_load_model_class() const {
  return class_manager::ClassManager().import_class(_reference.ref.class_name);
}

QuerySetOneRequired<Model> ReferenceLoader::_load_record(
    const ModelClassPtr& model_class, std::optional<std::vector<std::string>> only,
    std::optional<std::string> using_) const {
  json::value class_version = normalised(_reference.ref.class_version);
  json::value version_id = normalised(_reference.ref.object_version);

  // Any specific version lives in the lakehouse; the object version is compared first.
  const std::string_view alias = version_id != latest() || class_version != latest()
                                     ? velmor_data::aliases::using_::LAKEHOUSE_DB_ALIAS
                                     : velmor_data::aliases::using_::DEFAULT_DB_ALIAS;

  const QuerySet<Model> bound = QuerySet<Model>(model_class).using_(alias);
  QuerySetOneRequired<Model> qs =
      bound.get(NamedFilters{{"_address__class_version", std::move(class_version)},
                             {"_address__object_id", _reference.ref.object_id},
                             {"_address__object_version", std::move(version_id)}});
  if (only && !only->empty()) qs = qs.only(*only);
  if (using_ && !using_->empty()) qs = qs.using_(*using_);
  return qs;
}

}  // namespace velmor_models::classes::helpers::reffetch
