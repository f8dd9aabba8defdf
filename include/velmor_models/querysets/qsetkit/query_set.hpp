#pragma once
#include "velmor_models/querysets/qsetkit/instance_range.hpp"
#include "velmor_models/querysets/qsetkit/query_set_count.hpp"
#include "velmor_models/querysets/qsetkit/query_set_one_required.hpp"
#include "velmor_utils/utils/decorators.hpp"

namespace velmor_models::querysets::qsetkit {

/**
 *
 *    Interface to access the database.
 *
 *    This class provides methods to create and manipulate query sets for model instances.
 *    It includes methods for filtering, ordering, and executing queries, as well as
 *    handling pagination and distinct results.
 */
template <class M, class Self = void>
class QuerySet : public QuerySetBase<M, self_or<Self, QuerySet<M, Self>>> {
  using Base = QuerySetBase<M, self_or<Self, QuerySet<M, Self>>>;

 public:
  using Base::Base;
  /// The query set's own type (a variant's, when it derives from this one).
  using Kind = self_or<Self, QuerySet<M, Self>>;

  /// A QuerySetOneRequired restricted by the conditions; nothing is executed.
  QuerySetOneRequired<M> get(NamedFilters named = {}) const {
    return narrow<QuerySetOneRequired<M>>({}, std::move(named));
  }
  QuerySetOneRequired<M> get(std::initializer_list<Q> conditions, NamedFilters named = {}) const {
    return narrow<QuerySetOneRequired<M>>(std::vector<Q>(conditions), std::move(named));
  }

  /// A QuerySetOne restricted by the conditions; nothing is executed.
  QuerySetOne<M> get_or_none(NamedFilters named = {}) const {
    return narrow<QuerySetOne<M>>({}, std::move(named));
  }
  QuerySetOne<M> get_or_none(std::initializer_list<Q> conditions, NamedFilters named = {}) const {
    return narrow<QuerySetOne<M>>(std::vector<Q>(conditions), std::move(named));
  }

  /// A QuerySetOne restricted by the conditions that takes the first of several
  /// matches; nothing is executed, and no limit is added.
  QuerySetOne<M> first(NamedFilters named = {}) const {
    return without_rule(narrow<QuerySetOne<M>>({}, std::move(named)));
  }
  QuerySetOne<M> first(std::initializer_list<Q> conditions, NamedFilters named = {}) const {
    return without_rule(narrow<QuerySetOne<M>>(std::vector<Q>(conditions), std::move(named)));
  }

  /// A QuerySetCount with the same query; nothing is executed.
  QuerySetCount<M> count() const { return QuerySetCount<M>::_from_queryset(*this); }

  /// The instances of the matching records, in the executor's order. A record that
  /// cannot be materialised fails the whole call.
  std::vector<Instance<M>> execute() const {
    velmor_utils::utils::decorators::sync_mode_only("QuerySet.execute");
    const bool is_partial = this->selects_fields();
    Records records = this->_execute_query();
    std::vector<velmor_glue::Data>& all = QuerySetCore::records_of(records);
    std::vector<Instance<M>> out;
    out.reserve(all.size());
    for (velmor_glue::Data& record : all)
      out.emplace_back(this->_create_instance(is_partial, std::move(record)));
    return out;
  }

  /// The instances of the matching records, read from the store and materialised
  /// `chunk_size` at a time, so memory holds one chunk however many records match; the
  /// materialisation is that of execute(). The range owns a copy of the query set;
  /// leaving it early releases the statement. The query runs when the range's begin() is.
  InstanceRange<M, Kind> iterate(std::size_t chunk_size = 1000) const {
    velmor_utils::utils::decorators::sync_mode_only("QuerySet.iterate");
    return InstanceRange<M, Kind>(this->self(), chunk_size);
  }

  /// The coroutine twin of iterate(): `co_await stream.next()` gives the next instance,
  /// nullopt after the last; no read blocks the caller's event loop.
  InstanceStream<M, Kind> aiterate(std::size_t chunk_size = 1000) const {
    velmor_utils::utils::decorators::async_mode_only("QuerySet.aiterate");
    return InstanceStream<M, Kind>(this->self(), chunk_size);
  }

  /// The same when awaited; the records are materialised one after another. The
  /// awaitable owns a copy of the query set: it may be awaited after this one is gone.
  boost::asio::awaitable<std::vector<Instance<M>>> aexecute() const {
    velmor_utils::utils::decorators::async_mode_only("QuerySet.aexecute");
    return run_async(this->self());
  }

 private:
  using Records = QuerySetCore::Records;

  static boost::asio::awaitable<std::vector<Instance<M>>> run_async(Kind qs) {
    const bool is_partial = qs.selects_fields();
    Records records = co_await qs._aexecute_query();
    std::vector<velmor_glue::Data>& all = QuerySetCore::records_of(records);
    std::vector<Instance<M>> out;
    out.reserve(all.size());
    for (velmor_glue::Data& record : all)
      out.emplace_back(co_await qs._acreate_instance(is_partial, std::move(record)));
    co_return out;
  }

  template <class Target>
  Target narrow(std::vector<Q> conditions, NamedFilters named) const {
    bool negated = QuerySetCore::take_negated(named);
    return Target::_from_queryset(
        this->self()._filter(std::move(conditions), negated, std::move(named)));
  }
  static QuerySetOne<M> without_rule(QuerySetOne<M> qs) {
    qs._raise_on_multiple = false;
    return qs;
  }
};

}  // namespace velmor_models::querysets::qsetkit
