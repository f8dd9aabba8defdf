#pragma once
// select_related: loads the objects that a result's reference fields name, one query per
// related class and alias at each depth of the relation tree, never one per row.

#include <boost/json/object.hpp>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "velmor_glue/glue.hpp"
#include "velmor_models/querysets/executor.hpp"

namespace velmor_models::backends {

using querysets::executor::NumberPaginator;
using querysets::executor::OrderBy;
using querysets::executor::Q;
using querysets::executor::QuerySetReader;
using querysets::executor::QuerySpecifier;

/// One query of related objects: the objects of one class on one alias, by object id.
/// Read as of a time (`as_of`), or only among the versions saved by a time (`saved_by`).
class RelatedQuery final : public QuerySetReader {
 public:
  RelatedQuery(classes::model::ModelClassPtr cls, std::string alias, boost::json::array ids,
               std::optional<std::int64_t> as_of = std::nullopt,
               std::optional<std::int64_t> saved_by = std::nullopt);
  const classes::model::ModelClassPtr& entity() const override { return cls_; }
  std::string entity_name() const override { return cls_->name(); }
  std::string table_name() const override;
  const Q& get_conditions() const override { return conditions_; }
  const querysets::executor::SelectRelated& get_select_related() const override {
    return no_related_;
  }
  const QuerySpecifier& get_query_specifier() const override { return specifier_; }
  const std::vector<OrderBy>& get_order_by() const override { return order_by_; }
  const std::string& get_using() const override { return alias_; }
  const NumberPaginator& get_paginator() const override { return paginator_; }
  std::optional<std::int64_t> get_as_of() const override { return as_of_; }

 private:
  classes::model::ModelClassPtr cls_;
  std::string alias_;
  Q conditions_;
  std::optional<std::int64_t> as_of_;
  querysets::executor::SelectRelated no_related_{false};
  QuerySpecifier specifier_;
  std::vector<OrderBy> order_by_;
  NumberPaginator paginator_;
};

/// Walks the relation tree of a query set over its records, depth by depth: `next()`
/// gives the queries of the next depth, `deliver(i, rows)` the rows of its i-th query;
/// once every query of a depth is delivered, `next()` moves on. Each record gets its
/// related records (Data::related): reference field -> the record of the object it names,
/// or null (no reference, or no such stored object). Each related object is one record,
/// shared by all that refer to it; its own related records are in its `related`.
///
/// A query set read as of a time follows references as of that time: a reference to the
/// latest version names the object's newest version then (from the lakehouse, read
/// `as_of`), and any other is looked for among the versions saved by then.
class RelatedLoader {
 public:
  RelatedLoader(const QuerySetReader& qs, std::vector<velmor_glue::Data>& records);
  ~RelatedLoader();
  RelatedLoader(const RelatedLoader&) = delete;
  RelatedLoader& operator=(const RelatedLoader&) = delete;

  /// The queries of the next depth; empty when all is loaded.
  std::vector<std::shared_ptr<const RelatedQuery>> next();
  void deliver(std::size_t index, std::vector<velmor_glue::Data> rows);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace velmor_models::backends
