#pragma once
#include "velmor_models/querysets/qsetkit/query_set_base.hpp"
#include "velmor_utils/utils/decorators.hpp"

namespace velmor_models::querysets::qsetkit {

/**
 *
 *    QuerySet class for models. QuerySet is executed to a single model object or None.
 *
 *    This class provides methods to create and manipulate query sets for model instances.
 *    It includes methods for filtering, ordering, and executing queries, as well as
 *    handling pagination and distinct results. The query execution will return a single
 *    item or None.
 */
template <class M, class Self>
class QuerySet;

template <class M, class Self = void>
class QuerySetOne : public QuerySetBase<M, self_or<Self, QuerySetOne<M, Self>>> {
  using Base = QuerySetBase<M, self_or<Self, QuerySetOne<M, Self>>>;
  friend Base;
  template <class, class>
  friend class QuerySet;

 public:
  /// Takes the model class alone; executors and the strict flag keep their defaults.
  explicit QuerySetOne(ModelClassPtr entity) : Base(std::move(entity)) {}
  QuerySetOne() requires DeclaredModel<M> : Base() {}

  /// More than one matching record is an error while this is on.
  bool raise_on_multiple() const noexcept { return _raise_on_multiple; }

  /// The instance of the matching record, or nothing; MultipleObjectsReturnedError
  /// "Multiple items found" for several while the single-result rule is on (else the
  /// first is taken and the others are not materialised).
  std::optional<Instance<M>> execute() const {
    velmor_utils::utils::decorators::sync_mode_only("QuerySetOne.execute");
    QuerySetCore::Records records = this->_execute_query();
    velmor_glue::Data* record = QuerySetCore::single_record(records, _raise_on_multiple);
    if (!record) return std::nullopt;
    return Instance<M>(this->_create_instance(this->selects_fields(), std::move(*record)));
  }

  /// The same when awaited. The awaitable owns a copy of the query set: it may be
  /// awaited after this one is gone.
  boost::asio::awaitable<std::optional<Instance<M>>> aexecute() const {
    velmor_utils::utils::decorators::async_mode_only("QuerySetOne.aexecute");
    return run_async(this->self());
  }

 private:
  using Kind = self_or<Self, QuerySetOne<M, Self>>;

  static boost::asio::awaitable<std::optional<Instance<M>>> run_async(Kind qs) {
    QuerySetCore::Records records = co_await qs._aexecute_query();
    velmor_glue::Data* record = QuerySetCore::single_record(records, qs._raise_on_multiple);
    if (!record) co_return std::nullopt;
    co_return Instance<M>(co_await qs._acreate_instance(qs.selects_fields(), std::move(*record)));
  }

 protected:
  /// Set on by the constructor; a C++ copy keeps it, `_copy()` sets it on again.
  bool _raise_on_multiple = true;
};

}  // namespace velmor_models::querysets::qsetkit
