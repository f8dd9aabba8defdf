#pragma once
#include "velmor_models/querysets/qsetkit/query_set_base.hpp"

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
};

}  // namespace velmor_models::querysets::qsetkit
