#pragma once
// Checks every name and value a query set uses against its model class before any store
// runs it, so that every store refuses the same queries with the same errors.

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "velmor_models/classes/model.hpp"
#include "velmor_models/querysets/executor.hpp"

namespace velmor_models::backends {

/// The declared field `name` of `cls`; an error naming the field, the model and its
/// fields (with a close match suggested) when it has none.
const classes::model::FieldDecl& field_of(const classes::model::ModelClass& cls,
                                          std::string_view name);

/// How deep AND and OR may nest in a condition (a run of NOTs adds nothing): every store
/// evaluates conditions this deep, SQLite's parser included.
inline constexpr std::size_t max_condition_depth = 32;

/// ValueError when `q` nests AND and OR deeper than max_condition_depth. Walks the tree
/// without recursion, so a condition of any depth is refused rather than overflowing.
void check_condition_depth(const velmor_utils::query::Q& q);

/// A path of a query set resolved against its model: the declared field (or the address
/// column) it starts at, and the keys it walks inside that field's JSON value (none: the
/// field's own value). Only ARRAY and DICTIONARY fields have keys.
struct ResolvedPath {
  const classes::model::FieldDecl* field = nullptr;
  std::vector<std::string> keys;
  bool address = false;  ///< an address column (`_address__object_id` and its kin)
};

/// A query set as every store runs it: checked, its paths resolved (every filter, order,
/// distinct and `only` name), with its values in the one form every store compares. A
/// text version in an address filter (`_address__object_version`,
/// `_address__class_version`) is the framework's way to name a version: canonical
/// decimal text ("3") names that integer version, and any other text matches no stored
/// version (it is no error). A time in `_address__saved_at` is given as RFC 3339 text
/// (time_in_text) or as microseconds since the epoch, and compared as the latter. Refers
/// to the query set it was made from, which must outlive it.
class CheckedQuery final : public querysets::executor::QuerySetReader {
 public:
  using Paths = std::map<std::string, ResolvedPath, std::less<>>;
  CheckedQuery(const querysets::executor::QuerySetReader& qs, velmor_utils::query::Q conditions,
               Paths paths)
      : qs_(qs), conditions_(std::move(conditions)), paths_(std::move(paths)) {}
  /// What `path` (a name the query set uses) resolves to; a logic error for a path the
  /// check never saw.
  const ResolvedPath& path(std::string_view path) const;
  const classes::model::ModelClassPtr& entity() const override { return qs_.entity(); }
  std::string entity_name() const override { return qs_.entity_name(); }
  std::string table_name() const override { return qs_.table_name(); }
  const velmor_utils::query::Q& get_conditions() const override { return conditions_; }
  const querysets::executor::SelectRelated& get_select_related() const override {
    return qs_.get_select_related();
  }
  const querysets::executor::QuerySpecifier& get_query_specifier() const override {
    return every_field_ ? *every_field_ : qs_.get_query_specifier();
  }
  /// From now on selects every field, whatever `only()` the query set asks for (a new
  /// version is built from the whole record).
  void select_every_field() {
    every_field_ = qs_.get_query_specifier();
    every_field_->only.clear();
  }
  const std::vector<querysets::executor::OrderBy>& get_order_by() const override {
    return qs_.get_order_by();
  }
  const std::string& get_using() const override { return qs_.get_using(); }
  const querysets::executor::NumberPaginator& get_paginator() const override {
    return qs_.get_paginator();
  }
  std::optional<std::int64_t> get_as_of() const override { return qs_.get_as_of(); }

 private:
  const querysets::executor::QuerySetReader& qs_;
  velmor_utils::query::Q conditions_;
  Paths paths_;
  std::optional<querysets::executor::QuerySpecifier> every_field_;
};

/// Refuses a query set that names a field its model does not have (in a filter, the
/// ordering, `only`, `distinct` or `select_related`), applies a lookup to a field of a
/// core type it does not fit, gives a lookup a value it cannot take, nests its condition
/// too deeply, or reads a plain table (which keeps no history) as of a time; returns the
/// checked query that the stores run.
CheckedQuery check_query(const querysets::executor::QuerySetReader& qs);

/// The version marker LATEST as a value of an address filter (`_address__object_version`:
/// the newest version of each object; `_address__class_version`: the version each object
/// was stored under): the text "LATEST", or "latest" (Versions::LATEST).
bool is_latest_marker(const boost::json::value& v) noexcept;

/// The integer version that `text` names: canonical decimal text of a 64-bit integer
/// ("3", "-1", "0"; not "03", "+3", " 3" or "3.0"); nullopt otherwise.
std::optional<std::int64_t> version_in_text(std::string_view text);

/// The instant that RFC 3339 `text` names, in microseconds since the Unix epoch:
/// `YYYY-MM-DDTHH:MM:SS`, an optional fraction of one to six digits, then `Z` or an offset
/// `+HH:MM`/`-HH:MM` (`T` and `Z` in either case); nullopt for anything else, a date or
/// time that does not exist, and a leap second (which Unix time has no place for).
std::optional<std::int64_t> time_in_text(std::string_view text);

}  // namespace velmor_models::backends
