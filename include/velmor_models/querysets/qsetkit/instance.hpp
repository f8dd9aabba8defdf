#pragma once
// What materialising a record yields: an instance of the current class, of its partial
// class, or a LegacyModel.

#include <concepts>
#include <memory>
#include <optional>
#include <string_view>
#include <type_traits>

#include "velmor_glue/glue.hpp"
#include "velmor_models/classes/model.hpp"
#include "velmor_models/querysets/qsetkit/object_address.hpp"

namespace velmor_models::querysets::qsetkit {

using classes::model::LegacyModel;
using classes::model::Model;

enum class InstanceKind {
  current,  ///< an instance of the query set's model class
  partial,  ///< an instance of its partial class: only some fields were selected
  legacy,   ///< a LegacyModel: stored under a class version the model no longer matches
};

/// One materialised record. `M` is the query set's model type: `get()` yields the typed
/// object for an instance of the current class.
template <class M>
class Instance {
 public:
  /// `related`: what select_related() loaded with the record.
  Instance(std::unique_ptr<Model> object, InstanceKind kind,
           velmor_glue::RelatedRecords related = {}) noexcept
      : object_(std::move(object)), kind_(kind), related_(std::move(related)) {}
  /// From the untyped result that the query-set core produces.
  template <class N>
  requires(!std::is_same_v<N, M> && std::is_same_v<N, Model>) Instance(Instance<N>&& other)
  noexcept
      : object_(std::move(other.object_)),
        kind_(other.kind_),
        related_(std::move(other.related_)) {}

  InstanceKind kind() const noexcept { return kind_; }
  bool is_current() const noexcept { return kind_ == InstanceKind::current; }
  bool is_partial() const noexcept { return kind_ == InstanceKind::partial; }
  bool is_legacy() const noexcept { return kind_ == InstanceKind::legacy; }

  /// The object, whatever its kind.
  Model& model() noexcept { return *object_; }
  const Model& model() const noexcept { return *object_; }

  /// The typed object: for `Model` every instance, otherwise an instance of the current
  /// class built as `M` (partial and legacy instances are not `M`); null otherwise.
  M* get() noexcept { return typed(object_.get()); }
  const M* get() const noexcept { return typed(object_.get()); }
  M* operator->() noexcept { return get(); }
  const M* operator->() const noexcept { return get(); }

  /// The LegacyModel, when that is what the record became.
  const LegacyModel* legacy() const noexcept {
    return is_legacy() ? static_cast<const LegacyModel*>(object_.get()) : nullptr;
  }

  /// Where the object is stored: class name and class version, object id and object
  /// version, from its `_metadata`; nullopt when it carries no such address (see
  /// address_of).
  std::optional<ObjectAddress> address() const { return address_of(*object_); }

  std::unique_ptr<Model> release() && noexcept { return std::move(object_); }

  /// The object that reference field `field` names, as select_related() loaded it with
  /// this record (see related_instance).
  std::optional<Instance<Model>> related(std::string_view field) const;
  /// The related records themselves (shared with every instance that refers to them).
  const velmor_glue::RelatedRecords& related_records() const noexcept { return related_; }

 private:
  template <class>
  friend class Instance;

  M* typed(Model* object) const noexcept {
    if constexpr (std::is_same_v<M, Model>)
      return object;
    else
      return is_current() ? dynamic_cast<M*>(object) : nullptr;
  }

  std::unique_ptr<Model> object_;
  InstanceKind kind_;
  velmor_glue::RelatedRecords related_;
};

/// Materialises the object that reference field `field` of `obj` names, from the records
/// select_related() delivered with it (an instance of the referenced class, or a
/// LegacyModel); nullopt when the field holds no reference or the object is not stored.
/// KeyError when the field was not named in select_related().
std::optional<Instance<Model>> related_instance(const Model& obj,
                                                const velmor_glue::RelatedRecords& related,
                                                std::string_view field);

template <class M>
std::optional<Instance<Model>> Instance<M>::related(std::string_view field) const {
  return related_instance(*object_, related_, field);
}

}  // namespace velmor_models::querysets::qsetkit
