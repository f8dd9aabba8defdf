#pragma once
// The reference loader: turns a Reference (class name, class version, object id, object
// version) into the stored object it points at.

#include <boost/asio/awaitable.hpp>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "velmor_models/classes/model.hpp"
// The query-set kinds are an ordinary dependency on these headers, fixed when the
// program is built; nothing is looked up by module name when a reference is loaded.
#include "velmor_models/querysets/qsetkit.hpp"
#include "velmor_utils/models/data_models/reference.hpp"

namespace velmor_models::classes::helpers::reffetch {

using classes::model::Model;
using classes::model::ModelClassPtr;
using querysets::qsetkit::Instance;
using querysets::qsetkit::QuerySetOneRequired;
using velmor_utils::models::data_models::reference::Reference;
using velmor_utils::models::data_models::reference::ReferenceLoaderBase;

/// Loads the object a reference points at.
///
/// The steps `_load_model_class` and `_load_record` are virtual and both loading
/// operations reach them through the object, so a derived loader may replace either.
/// Every failure (ClassNotFoundError, ObjectDoesNotExistError, MultipleObjectsReturnedError,
/// executor errors) reaches the caller unchanged.
class ReferenceLoader : public ReferenceLoaderBase {
 public:
  /// Keeps a copy of `reference`; it is not validated, only read when loading.
  explicit ReferenceLoader(Reference reference) : _reference(std::move(reference)) {}

  /// Loads a reference.
  ///
  /// Args:
  ///     only: Fields to include in the loaded reference. Defaults to None.
  ///     using: The database alias to use. Defaults to None.
  ///
  /// Returns:
  ///     Instance<Model>: The loaded model instance (current, partial or legacy).
  Instance<Model> load_reference(std::optional<std::vector<std::string>> only = std::nullopt,
                                 std::optional<std::string> using_ = std::nullopt) const;
  // A null pointer is no alias; "no alias" is std::nullopt.
  Instance<Model> load_reference(std::optional<std::vector<std::string>> only,
                                 std::nullptr_t) const = delete;

  /// Loads a reference asynchronously.
  ///
  /// Args:
  ///     only: Fields to include in the loaded reference. Defaults to None.
  ///     using: The database alias to use. Defaults to None.
  ///
  /// Returns:
  ///     Instance<Model>: The loaded model instance (current, partial or legacy).
  ///
  /// The class is resolved and the query set built when this is called, before the only
  /// suspension, the awaited `aexecute()`; their errors reach the caller when the result
  /// is awaited. The awaitable owns what it needs: the loader may be gone by then.
  boost::asio::awaitable<Instance<Model>> aload_reference(
      std::optional<std::vector<std::string>> only = std::nullopt,
      std::optional<std::string> using_ = std::nullopt) const;
  boost::asio::awaitable<Instance<Model>> aload_reference(
      std::optional<std::vector<std::string>> only, std::nullptr_t) const = delete;

  /// The model class named by the reference, from a new ClassManager on every call;
  /// ClassNotFoundError passes through.
  virtual ModelClassPtr _load_model_class() const;

  /// The query set of the referenced record, built but not executed.
  ///
  /// The alias is the lakehouse one when either version is specific (the object version
  /// is compared first), else the default one; a version given as the text "LATEST"
  /// becomes Versions::LATEST in the filters. A non-empty `only` restricts the fields and
  /// a non-empty `using_` replaces the chosen alias; empty ones count as absent.
  // Default arguments are bound by the static type of the call: an override repeats these.
  virtual QuerySetOneRequired<Model> _load_record(
      const ModelClassPtr& model_class, std::optional<std::vector<std::string>> only = std::nullopt,
      std::optional<std::string> using_ = std::nullopt) const;

  Reference _reference;
};

}  // namespace velmor_models::classes::helpers::reffetch
