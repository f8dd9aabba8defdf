#pragma once
// QuerySetBase: the building operations, typed by model and by the query set's own kind.

#include <chrono>
#include <concepts>
#include <cstdint>
#include <initializer_list>
#include <ratio>
#include <type_traits>
#include <utility>

#include "velmor_models/querysets/qsetkit/query_set_core.hpp"
#include "velmor_utils/models/enums.hpp"

namespace velmor_models::querysets::qsetkit {

/// A C++ model type that declares its class (see classes::model::declare_model).
template <class M>
concept DeclaredModel = std::derived_from<M, Model> && requires {
  { M::declaration() } -> std::convertible_to<const ModelClassPtr&>;
};

/// `Self` when given, else `Default`: lets a class derived from a query-set kind name
/// itself as the kind that the building operations return.
template <class Self, class Default>
using self_or = std::conditional_t<std::is_void_v<Self>, Default, Self>;

/// Base class for QuerySets.
///
/// A lazy description of one query over one model class (the entity). Every building
/// operation but `annotate` copies the query set and changes the copy, which is of the
/// receiver's own kind `Self`; the receiver is left unchanged.
///
/// `M` is the model type (`Model` for classes built at run time, or a C++ model type);
/// `Self` the concrete query-set kind. The internal steps `_copy`, `_from_queryset` and
/// `_filter` are reached through `Self`, so a kind derived with itself as `Self` may
/// replace them.
template <class M, class Self>
class QuerySetBase : public QuerySetCore {
 public:
  using ModelType = M;

  QuerySetBase(ModelClassPtr entity, ExecutorFactory executor = {},
               AsyncExecutorFactory async_executor = {}, StrictClassVersion strict = {})
      : QuerySetCore(std::move(entity), std::move(executor), std::move(async_executor), strict) {}

  /// Over the class that the C++ model type declares.
  QuerySetBase() requires DeclaredModel<M> : QuerySetBase(M::declaration()) {}

  /// A new query set of kind `Self` carrying `queryset`'s query state; the executors, the
  /// strict flag and the kind's own fields are what `Self`'s constructor gives them.
  static Self _from_queryset(const QuerySetCore& queryset) {
    Self out(queryset.entity());
    out.carry_query_state(queryset);
    return out;
  }

  /// An independent copy of the same kind: the framework's copy, through `_from_queryset`
  /// (a C++ copy, by contrast, keeps everything).
  Self _copy() const { return Self::_from_queryset(self()); }

  /// Set the database alias to be used for the query.
  Self using_(std::string_view value) const {
    Self out = self()._copy();
    out.set_using(value);
    return out;
  }
  Self using_(std::nullptr_t) const = delete;

  /// Enters the named values into this query set's annotations and returns it.
  Self& annotate(const boost::json::object& values) {
    enter_annotations(values);
    return static_cast<Self&>(*this);
  }

  /// Limit the number of fields to be returned.
  Self only(const std::vector<std::string>& fields) const {
    Self out = self()._copy();
    out.extend_only(fields);
    return out;
  }

  /// Return only distinct (different) values.
  Self distinct(std::vector<std::string> fields) const {
    Self out = self()._copy();
    out.set_distinct(std::move(fields));
    return out;
  }

  /// Return an empty QuerySet that will never return any results.
  Self none() const {
    Self out = self()._copy();
    out.mark_none();
    return out;
  }

  /// Apply filters to the query. The filters are combined with AND.
  ///
  /// A named filter `negated` is not a field filter: it negates the whole group.
  /// Given nothing, the result is the receiver itself (an exact C++ copy of it).
  Self filter(NamedFilters named = {}) const { return filter_group({}, std::move(named)); }
  Self filter(std::initializer_list<Q> conditions, NamedFilters named = {}) const {
    return filter_group(std::vector<Q>(conditions), std::move(named));
  }
  template <std::same_as<Q>... More>
  Self filter(const Q& condition, const More&... more) const {
    return filter_group(std::vector<Q>{condition, more...}, {});
  }

  /// Exclude filters from the query. The filters are combined with AND.
  Self exclude(NamedFilters named = {}) const { return exclude_group({}, std::move(named)); }
  Self exclude(std::initializer_list<Q> conditions, NamedFilters named = {}) const {
    return exclude_group(std::vector<Q>(conditions), std::move(named));
  }
  template <std::same_as<Q>... More>
  Self exclude(const Q& condition, const More&... more) const {
    return exclude_group(std::vector<Q>{condition, more...}, {});
  }

  Self _filter(std::vector<Q> conditions, bool negated, NamedFilters named) const {
    refuse_negated(named, "_filter");
    if (conditions.empty() && named.empty()) return self();
    Self out = self()._copy();
    out.add_conditions(conditions, negated, named);
    return out;
  }

  /// Order the query by the given fields.
  template <std::convertible_to<std::string_view>... Texts>
  Self order_by(const Texts&... texts) const {
    const std::string_view views[] = {std::string_view(texts)..., {}};
    Self out = self()._copy();
    out.set_order_by(std::span(views, sizeof...(Texts)));
    return out;
  }

  /// Include related objects in the query results.
  ///
  /// A path of more than `max_related_depth` relation names is a ValueError.
  template <std::convertible_to<std::string_view>... Paths>
  Self select_related(const Paths&... paths) const {
    const std::string_view views[] = {std::string_view(paths)..., {}};
    Self out = self()._copy();
    out.set_select_related(std::span(views, sizeof...(Paths)));
    return out;
  }

  /// Filter the query set to include only the latest version of the model instances.
  Self latest() const {
    return self().filter(
        NamedFilters{{"_address__object_version", velmor_utils::models::enums::Versions::LATEST}});
  }

  /// The stored history as of `time`: on the lakehouse, every object that existed then (a
  /// version saved at or before it and no deletion by then) at the version that was its
  /// newest then. Every other refinement applies on top; `select_related` follows
  /// references as of the same time. A time before the first save gives nothing, one in
  /// the future the live objects. `time` counts to the microsecond, rounded down; one that
  /// 64 bits of microseconds cannot hold is a ValueError.
  template <class Duration>
  Self as_of(std::chrono::sys_time<Duration> time) const {
    using Ticks = std::ratio_divide<typename Duration::period, std::micro>;
    const auto count = time.time_since_epoch().count();
    Self out = self()._copy();
    if constexpr (std::is_integral_v<typename Duration::rep>) {
      if (std::in_range<std::int64_t>(count)) {
        out.set_as_of_ticks(static_cast<std::int64_t>(count), Ticks::num, Ticks::den);
        return out;
      }
    }
    out.set_as_of_microseconds(static_cast<long double>(count) * Ticks::num / Ticks::den);
    return out;
  }

  /// The window of the single row at `index`.
  Self operator[](std::int64_t index) const {
    Self out = self()._copy();
    out.set_window(index);
    return out;
  }
  /// The window [start, stop); both bounds are needed and the step must be 1.
  Self operator[](const Slice& slice) const {
    Self out = self()._copy();
    out.set_window(slice);
    return out;
  }

 protected:
  const Self& self() const noexcept { return static_cast<const Self&>(*this); }

 private:
  Self filter_group(std::vector<Q> conditions, NamedFilters named) const {
    bool negated = take_negated(named);
    return self()._filter(std::move(conditions), negated, std::move(named));
  }
  Self exclude_group(std::vector<Q> conditions, NamedFilters named) const {
    refuse_negated(named, "exclude");
    return self()._filter(std::move(conditions), true, std::move(named));
  }
};

}  // namespace velmor_models::querysets::qsetkit
