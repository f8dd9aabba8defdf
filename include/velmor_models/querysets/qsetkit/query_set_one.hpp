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
  QuerySetOne()
    requires DeclaredModel<M>
      : Base() {}
  /// The copy hook: a copy starts with the single-result rule on.
  QuerySetOne(const QuerySetOne& other) : Base(other) {}
  QuerySetOne(QuerySetOne&&) noexcept = default;
  QuerySetOne& operator=(const QuerySetOne& other) { return *this = QuerySetOne(other); }
  QuerySetOne& operator=(QuerySetOne&&) noexcept = default;

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

  /// The same when awaited.
  boost::asio::awaitable<std::optional<Instance<M>>> aexecute() const {
    velmor_utils::utils::decorators::async_mode_only("QuerySetOne.aexecute");
    return run_async();
  }

 private:
  boost::asio::awaitable<std::optional<Instance<M>>> run_async() const {
    QuerySetCore::Records records = co_await this->_aexecute_query();
    velmor_glue::Data* record = QuerySetCore::single_record(records, _raise_on_multiple);
    if (!record) co_return std::nullopt;
    co_return Instance<M>(
        co_await this->_acreate_instance(this->selects_fields(), std::move(*record)));
  }

 protected:
  void carry_own_fields(const QuerySetCore& source) noexcept {
    if (auto* one = dynamic_cast<const QuerySetOne*>(&source))
      _raise_on_multiple = one->_raise_on_multiple;
  }

  bool _raise_on_multiple = true;
};

}  // namespace velmor_models::querysets::qsetkit
