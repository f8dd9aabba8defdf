#pragma once
// References: handles on stored objects.

#include <boost/json/value.hpp>
#include <string>

namespace velmor_utils::models::data_models::reference {

/// The address of a stored object. Each version is the text "LATEST" or a specific
/// version value.
struct Address {
  std::string class_name;
  boost::json::value class_version;
  boost::json::value object_id;
  boost::json::value object_version;
};

struct Reference {
  Address ref;
};

/// Base of the framework's reference loaders.
class ReferenceLoaderBase {
 public:
  virtual ~ReferenceLoaderBase() = default;
};

}  // namespace velmor_utils::models::data_models::reference
