#pragma once
#include "velmor_models/querysets/errors.hpp"
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
class QuerySetOneRequired : public QuerySetOne<M, self_or<Self, QuerySetOneRequired<M, Self>>> {
  using Base = QuerySetOne<M, self_or<Self, QuerySetOneRequired<M, Self>>>;

 public:
  using Base::Base;

  /// The instance of the matching record; ObjectDoesNotExistError "No items found" when
  /// there is none.
  Instance<M> execute() const {
    velmor_utils::utils::decorators::sync_mode_only("QuerySetOneRequired.execute");
    return required(Base::execute());
  }

  /// The same when awaited. The awaitable owns a copy of the query set: it may be
  /// awaited after this one is gone.
  boost::asio::awaitable<Instance<M>> aexecute() const {
    velmor_utils::utils::decorators::async_mode_only("QuerySetOneRequired.aexecute");
    return run_async(Base::aexecute());
  }

 private:
  static Instance<M> required(std::optional<Instance<M>> found) {
    if (!found) throw errors::ObjectDoesNotExistError("No items found");
    return std::move(*found);
  }
  static boost::asio::awaitable<Instance<M>> run_async(
      boost::asio::awaitable<std::optional<Instance<M>>> found) {
    co_return required(co_await std::move(found));
  }
};

}  // namespace velmor_models::querysets::qsetkit
