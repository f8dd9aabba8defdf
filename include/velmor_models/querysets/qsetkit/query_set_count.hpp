#pragma once
#include "velmor_models/querysets/qsetkit/query_set_base.hpp"
#include "velmor_utils/utils/decorators.hpp"

namespace velmor_models::querysets::qsetkit {

/**
 *
 *    QuerySet class for models. QuerySet is executed to a count of items.
 *
 *    This class provides methods to create and manipulate query sets for model instances.
 *    It includes methods for filtering, ordering, and executing queries, as well as
 *    handling pagination and distinct results. The query execution will return the count
 *    of items.
 */
template <class M, class Self = void>
class QuerySetCount : public QuerySetBase<M, self_or<Self, QuerySetCount<M, Self>>> {
  using Base = QuerySetBase<M, self_or<Self, QuerySetCount<M, Self>>>;

 public:
  using Base::Base;

  /// The number of matching records; no instance is made.
  std::int64_t execute() const {
    velmor_utils::utils::decorators::sync_mode_only("QuerySetCount.execute");
    return this->_execute_count();
  }

  /// The same when awaited.
  boost::asio::awaitable<std::int64_t> aexecute() const {
    velmor_utils::utils::decorators::async_mode_only("QuerySetCount.aexecute");
    return this->_aexecute_count();
  }
};

}  // namespace velmor_models::querysets::qsetkit
