#pragma once
// Executors: what runs a query set against a database.
//
// A query set stores executor factories; to run a query the query set calls the factory
// with itself and asks the executor for `query()` or `count()`. An executor learns
// everything it needs through the query set's read interface, QuerySetReader.

#include <boost/json/object.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "velmor_glue/glue.hpp"
#include "velmor_models/classes/model.hpp"
#include "velmor_utils/query/data_models/order_by.hpp"
#include "velmor_utils/query/data_models/paginator.hpp"
#include "velmor_utils/query/data_models/query_specifier.hpp"
#include "velmor_utils/query/utils.hpp"

namespace velmor_models::querysets::executor {

using velmor_utils::query::Q;
using velmor_utils::query::data_models::order_by::OrderBy;
using velmor_utils::query::data_models::paginator::NumberPaginator;
using velmor_utils::query::data_models::query_specifier::QuerySpecifier;

/// Related objects to load: false for none, or a tree of relation names.
using SelectRelated = std::variant<bool, boost::json::object>;

/// The read interface of a query set: everything an executor may learn of it.
class QuerySetReader {
 public:
  virtual const classes::model::ModelClassPtr& entity() const = 0;
  virtual std::string entity_name() const = 0;
  virtual std::string table_name() const = 0;
  /// The combined condition; the empty condition stands for none.
  virtual const Q& get_conditions() const = 0;
  virtual const SelectRelated& get_select_related() const = 0;
  virtual const QuerySpecifier& get_query_specifier() const = 0;
  virtual const std::vector<OrderBy>& get_order_by() const = 0;
  virtual const std::string& get_using() const = 0;
  virtual const NumberPaginator& get_paginator() const = 0;
  /// The time the query reads the stored history as of (`as_of`): microseconds since the
  /// Unix epoch, UTC; nullopt for the stored objects as they are now.
  virtual std::optional<std::int64_t> get_as_of() const { return std::nullopt; }

 protected:
  ~QuerySetReader() = default;
};

/// A synchronous executor, bound to one query set for one call.
class ExecutorBase {
 public:
  virtual ~ExecutorBase() = default;
  /// The matching records in delivery order; nullopt stands for "nothing".
  virtual std::optional<std::vector<velmor_glue::Data>> query() = 0;
  virtual std::int64_t count() = 0;
};

class AsyncExecutorBase;  // async_executor.hpp

using ExecutorFactory = std::function<std::unique_ptr<ExecutorBase>(const QuerySetReader&)>;
using AsyncExecutorFactory =
    std::function<std::unique_ptr<AsyncExecutorBase>(const QuerySetReader&)>;

/// The default executor: runs queries on the database the query set's alias names
/// (backends/registry.hpp).
class Executor : public ExecutorBase {
 public:
  explicit Executor(const QuerySetReader& qs) : qs_(qs) {}
  /// The factory that stands for "the Executor class itself".
  static std::unique_ptr<ExecutorBase> create(const QuerySetReader& qs);
  std::optional<std::vector<velmor_glue::Data>> query() override;
  std::int64_t count() override;

 private:
  const QuerySetReader& qs_;
};

/// The factory that stands for "the AsyncExecutor class itself" (async_executor.hpp).
std::unique_ptr<AsyncExecutorBase> create_async_executor(const QuerySetReader& qs);

/// Records kept in memory, per database alias and table: the reference store, behind an
/// alias configured as `memory:`. Not synchronised: fill it before queries run.
class MemoryStore {
 public:
  static MemoryStore& instance();
  void insert(std::string_view alias, std::string_view table, velmor_glue::Data record);
  void clear();
  /// The records of a query set, after its conditions, distinct fields, ordering and
  /// window.
  std::vector<velmor_glue::Data> select(const QuerySetReader& qs) const;

 private:
  struct Impl;
  MemoryStore();
  ~MemoryStore();
  std::unique_ptr<Impl> impl_;
};

}  // namespace velmor_models::querysets::executor
