#pragma once
// The state and spine of every query set, compiled once for all model types.

#include <boost/asio/awaitable.hpp>
#include <boost/json/object.hpp>
#include <boost/json/value.hpp>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "velmor_models/backends/sql/statement.hpp"
#include "velmor_models/classes/model.hpp"
#include "velmor_models/querysets/executor.hpp"
#include "velmor_models/querysets/qsetkit/instance.hpp"
#include "velmor_models/querysets/qsetkit/query_settings.hpp"
#include "velmor_models/querysets/qsetkit/query_state.hpp"
#include "velmor_models/querysets/qsetkit/where.hpp"

namespace velmor_models::querysets::qsetkit {

using classes::model::Model;
using classes::model::ModelClassPtr;
using executor::AsyncExecutorFactory;
using executor::ExecutorFactory;
using executor::NumberPaginator;
using executor::OrderBy;
using executor::Q;
using executor::QuerySetReader;
using executor::QuerySpecifier;
using executor::SelectRelated;

/// The strict-class-version flag, given by name only; any value counts by its truth.
struct StrictClassVersion {
  bool value = false;
  constexpr StrictClassVersion() noexcept = default;
  constexpr explicit StrictClassVersion(bool v) noexcept : value(v) {}
  explicit StrictClassVersion(const boost::json::value& v) noexcept;
};

/// A slice of a query set: rows [start, stop). Both bounds are needed, and their
/// difference must fit in 64 bits; a step other than 1 is refused.
struct Slice {
  using Step = std::variant<std::int64_t, double>;
  Slice(std::optional<std::int64_t> start_, std::optional<std::int64_t> stop_,
        std::optional<Step> step_ = std::nullopt)
      : start(start_), stop(stop_), step(step_) {}
  std::optional<std::int64_t> start;
  std::optional<std::int64_t> stop;
  std::optional<Step> step;
};

/// The most relation names one select_related path may chain ("a__b" chains two).
inline constexpr std::size_t max_related_depth = 64;

/// The state of a query set and the work behind its operations. The typed query sets
/// (QuerySetBase and its variants) add only the model type and the result kinds; an
/// executor reads a query set through the QuerySetReader part.
class QuerySetCore : public QuerySetReader {
 public:
  virtual ~QuerySetCore() = default;

  /// Get the entity associated with the query set.
  const ModelClassPtr& entity() const override { return _entity; }
  /// Get the name of the entity associated with the query set.
  std::string entity_name() const override;
  std::string table_name() const override;

  /// Get the conditions of the query set. (The empty condition stands for none.)
  const Q& get_conditions() const override { return _state.conditions; }
  Q& get_conditions() noexcept { return _state.conditions; }
  /// Get the related objects to include in the query results.
  const SelectRelated& get_select_related() const override { return _state.select_related.get(); }
  SelectRelated& get_select_related() { return _state.select_related.leak(); }
  /// Get the query specifier of the query set.
  const QuerySpecifier& get_query_specifier() const override {
    return _state.query_specifier.get();
  }
  QuerySpecifier& get_query_specifier() { return _state.query_specifier.leak(); }
  /// Get the order by fields of the query set.
  const std::vector<OrderBy>& get_order_by() const override { return _state.order_by.get(); }
  std::vector<OrderBy>& get_order_by() { return _state.order_by.leak(); }
  /// Get the database alias used for the query.
  const std::string& get_using() const override { return _state.using_; }
  std::string& get_using() noexcept { return _state.using_; }
  /// Get the paginator of the query set.
  const NumberPaginator& get_paginator() const override { return _state.paginator; }
  NumberPaginator& get_paginator() noexcept { return _state.paginator; }
  /// The time the query set reads the stored history as of (`as_of`): microseconds since
  /// the Unix epoch, UTC; nullopt for the stored objects as they are now.
  std::optional<std::int64_t> get_as_of() const override { return _state.as_of; }

  const ExecutorFactory& executor_factory() const noexcept { return _settings.executor; }
  const AsyncExecutorFactory& async_executor_factory() const noexcept {
    return _settings.async_executor;
  }
  bool strict_class_version() const noexcept { return _settings.strict_class_version; }
  bool is_none() const noexcept { return _state.is_none; }
  const boost::json::object& annotations() const noexcept { return _state.annotations.get(); }

  /// What a copy carries (`_from_queryset`), and how the query set runs.
  const QueryState& query_state() const noexcept { return _state; }
  const QuerySettings& settings() const noexcept { return _settings; }

  /// The SQL statement (text and bound values) that runs this query set in `dialect`.
  backends::sql::Statement to_sql(const backends::sql::Dialect& dialect) const;
  /// The same in the dialect of the database behind the query set's alias; ValueError
  /// when that store runs no SQL (`memory:`).
  backends::sql::Statement to_sql() const;

  /// Checks, before a bulk update, that `obj` is exactly of the entity class;
  /// BulkOperationError "Cannot update an object of a different type" otherwise. A query
  /// set read as of a time is a BulkOperationError too: new versions are built on the
  /// objects as they are now.
  virtual void _check_type(const Model& obj) const;

  /// What an executor's `query()` returns: the records, or nullopt for "nothing".
  using Records = std::optional<std::vector<velmor_glue::Data>>;

  // Running the query. Each call makes a new executor from the query set's factory and
  // runs the query again; a query set marked by `none()` makes no executor. The
  // asynchronous forms check the mode when called and do everything else when awaited;
  // the awaitable owns a copy of what it reads, so the query set may be gone by then.
  virtual Records _execute_query() const;
  virtual std::int64_t _execute_count() const;
  virtual boost::asio::awaitable<Records> _aexecute_query() const;
  virtual boost::asio::awaitable<std::int64_t> _aexecute_count() const;

  /// Materialises one record: a LegacyModel when its stored class version is no longer
  /// compatible with the current one (the version check, which honours the strict flag),
  /// else an instance of the partial class when `is_partial`, else an instance of the
  /// entity with the query set's annotations set on it.
  virtual Instance<Model> _create_instance(bool is_partial, velmor_glue::Data data) const;
  /// The same; the version lookup is awaited, and the strict flag is not consulted. The
  /// awaitable owns the entity and the annotations it needs.
  virtual boost::asio::awaitable<Instance<Model>> _acreate_instance(bool is_partial,
                                                                    velmor_glue::Data data) const;

 protected:
  friend class InstanceChunks;
  /// TypeError for a null model class. An empty executor factory stands for the default.
  QuerySetCore(ModelClassPtr entity, ExecutorFactory executor, AsyncExecutorFactory async_executor,
               StrictClassVersion strict_class_version);
  // A C++ copy is equal to its source in everything: query state and settings alike.
  // The framework's copy, which resets the settings, is `_copy()`.
  QuerySetCore(const QuerySetCore&) = default;
  QuerySetCore(QuerySetCore&&) noexcept = default;
  QuerySetCore& operator=(const QuerySetCore&) = default;
  QuerySetCore& operator=(QuerySetCore&&) noexcept = default;

  /// Gives this query set the query state of `source`, as a whole.
  void carry_query_state(const QuerySetCore& source) { _state = source._state; }

  // The changes behind the building operations; each is applied to a fresh copy.
  void set_using(std::string_view value) { _state.using_.assign(value); }
  void enter_annotations(const boost::json::object& values);
  void extend_only(const std::vector<std::string>& fields);
  void set_distinct(std::vector<std::string> fields);
  void mark_none() noexcept { _state.is_none = true; }
  /// Conjoins the conditions and named filters (negated as one group) into the
  /// conditions; nothing happens for an empty group.
  void add_conditions(std::span<const Q> conditions, bool negated, const NamedFilters& named);
  void set_order_by(std::span<const std::string_view> texts);
  /// ValueError for a path of more than `max_related_depth` relation names.
  void set_select_related(std::span<const std::string_view> paths);
  void set_window(std::int64_t index) noexcept;
  void set_window(const Slice& slice);
  /// Reads as of `count` ticks of `num`/`den` microseconds each after the epoch (`den` > 0),
  /// rounded down to a whole microsecond: what was saved up to that instant. ValueError
  /// for a time that 64 bits of microseconds cannot hold.
  void set_as_of_ticks(std::int64_t count, std::intmax_t num, std::intmax_t den);
  /// The same for a time given as a number of microseconds of any size or precision.
  void set_as_of_microseconds(long double microseconds);

  /// True when a field selection is active: results are partial instances.
  bool selects_fields() const noexcept { return !_state.query_specifier.get().only.empty(); }

  // The steps of materialisation that do not wait for anything, shared by the
  // synchronous and the asynchronous form.
  struct PendingInstance {
    boost::json::object data;
    std::optional<boost::json::object> record_metadata;
    bool needs_latest_version = false;
    velmor_glue::RelatedRecords related = {};
  };
  /// Copies the data, decodes `_metadata` and its `object_id`, and finds out whether the
  /// stored class version must be compared with the latest one.
  static PendingInstance begin_instance(velmor_glue::Data record);
  /// The version decision once the latest version is known: true for a LegacyModel.
  /// `strict` is the strict flag when it is consulted, else false.
  static bool is_legacy(const PendingInstance& pending, const boost::json::value& latest_version,
                        bool strict);
  /// What building an instance reads of the query set, owned (cheap to copy).
  struct InstanceMaker {
    ModelClassPtr entity;
    detail::Cow<boost::json::object> annotations;
    std::string entity_name() const;
    Instance<Model> finish(PendingInstance pending, bool is_partial, bool legacy) const {
      return finish_instance(entity, annotations.get(), std::move(pending), is_partial, legacy);
    }
  };
  /// The same, reading the query set's own entity and annotations: the synchronous form
  /// copies nothing per record.
  static Instance<Model> finish_instance(const ModelClassPtr& entity,
                                         const boost::json::object& annotations,
                                         PendingInstance pending, bool is_partial, bool legacy);
  InstanceMaker instance_maker() const { return {_entity, _state.annotations}; }

  /// The records of a result, refused with a TypeError when the executor said "nothing".
  static std::vector<velmor_glue::Data>& records_of(Records& records);
  /// The record a single-result query yields (null for none); MultipleObjectsReturnedError
  /// for several while `raise_on_multiple`.
  static velmor_glue::Data* single_record(Records& records, bool raise_on_multiple);

  /// Splits a `negated` entry off named filters for `filter`; TypeError for `exclude`
  /// and `_filter`, which take the flag by themselves.
  static bool take_negated(NamedFilters& named);
  static void refuse_negated(const NamedFilters& named, std::string_view operation);

  ModelClassPtr _entity;  ///< never changes
  QuerySettings _settings;
  QueryState _state;

 private:
  static boost::asio::awaitable<Records> run_query(QuerySetCore qs);
  static boost::asio::awaitable<std::int64_t> run_count(QuerySetCore qs);
  static boost::asio::awaitable<Instance<Model>> create_instance_async(InstanceMaker maker,
                                                                       bool is_partial,
                                                                       velmor_glue::Data data);
};

}  // namespace velmor_models::querysets::qsetkit
