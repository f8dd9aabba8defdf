#pragma once
#include "velmor_models/querysets/qsetkit/query_set_one.hpp"

namespace velmor_models::querysets::qsetkit {

/**
 *
 *    QuerySet class for models. QuerySet is executed to a single model object or raises
 *    an error.
 *
 *    This class provides methods to create and manipulate query sets for model instances.
 *    It includes methods for filtering, ordering, and executing queries, as well as
 *    handling pagination and distinct results. The query execution will return a single
 *    item or raise an error if no items are found.
 */
template <class M, class Self = void>
class QuerySetOneRequired
    : public QuerySetOne<M, self_or<Self, QuerySetOneRequired<M, Self>>> {
  using Base = QuerySetOne<M, self_or<Self, QuerySetOneRequired<M, Self>>>;

 public:
  using Base::Base;
};

}  // namespace velmor_models::querysets::qsetkit
