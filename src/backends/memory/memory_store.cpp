// The in-memory store: the reference evaluator of query semantics that every database
// backend is compared with. It favours being obviously right over being fast.

#include <algorithm>
#include <boost/json/serialize.hpp>
#include <cmath>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "backends/history_layout.hpp"
#include "backends/stored_value.hpp"
#include "velmor_models/backends/query_check.hpp"
#include "velmor_models/detail/unicode.hpp"
#include "velmor_models/querysets/executor.hpp"

namespace velmor_models::querysets::executor {
namespace {

using boost::json::object;
using boost::json::value;
using classes::model::CoreTypes;
using velmor_utils::query::Filter;
using velmor_utils::query::Lookup;

// A value as the stores compare it. Ranks order the kinds: NULL, then numbers (booleans
// are 0 and 1), then text (JSON arrays and objects as their compact JSON text), then bytes.
struct Scalar {
  enum Rank { null = 0, number = 1, text = 2, bytes = 3 } rank = null;
  enum Num { int64, uint64, real } num = int64;
  std::int64_t i = 0;
  std::uint64_t u = 0;
  double d = 0;
  std::string s;         // text or bytes
  bool is_json = false;  // text that is a serialised array or object
};

int sign(bool less, bool greater) {
  return less ? -1 : greater ? 1 : 0;
}

// Compares a double with an int64 exactly (no rounding of the integer to double).
int compare_int_real(std::int64_t i, double d) {
  if (std::isnan(d)) return 1;  // NaN sorts below every number
  constexpr double two63 = 9223372036854775808.0;
  if (d < -two63) return 1;
  if (d >= two63) return -1;
  double whole = std::trunc(d);
  auto w = static_cast<std::int64_t>(whole);
  if (i != w) return sign(i<w, i> w);
  return sign(d > whole, d < whole);
}

int compare_uint_real(std::uint64_t u, double d) {
  if (std::isnan(d)) return 1;
  constexpr double two64 = 18446744073709551616.0;
  if (d < 0) return 1;
  if (d >= two64) return -1;
  double whole = std::trunc(d);
  auto w = static_cast<std::uint64_t>(whole);
  if (u != w) return sign(u<w, u> w);
  return sign(d > whole, d < whole);
}

int compare_numbers(const Scalar& a, const Scalar& b) {
  using N = Scalar::Num;
  if (a.num == N::int64 && b.num == N::int64) return sign(a.i<b.i, a.i> b.i);
  if (a.num == N::uint64 && b.num == N::uint64) return sign(a.u<b.u, a.u> b.u);
  if (a.num == N::real && b.num == N::real) {
    bool an = std::isnan(a.d), bn = std::isnan(b.d);
    if (an || bn) return sign(an && !bn, bn && !an);
    return sign(a.d<b.d, a.d> b.d);
  }
  if (a.num == N::int64 && b.num == N::uint64)
    return a.i < 0 ? -1 : sign(std::uint64_t(a.i) < b.u, std::uint64_t(a.i) > b.u);
  if (a.num == N::uint64 && b.num == N::int64) return -compare_numbers(b, a);
  if (a.num == N::int64) return compare_int_real(a.i, b.d);
  if (a.num == N::uint64) return compare_uint_real(a.u, b.d);
  return -compare_numbers(b, a);  // a is real, b an integer
}

// The one total order of every store: -1, 0 or 1.
int compare(const Scalar& a, const Scalar& b) {
  if (a.rank != b.rank) return sign(a.rank<b.rank, a.rank> b.rank);
  switch (a.rank) {
    case Scalar::null:
      return 0;
    case Scalar::number:
      return compare_numbers(a, b);
    default: {
      int c = a.s.compare(b.s);  // char_traits<char> compares as unsigned bytes
      return sign(c<0, c> 0);
    }
  }
}

Scalar to_scalar(const value& v, bool binary = false) {
  Scalar s;
  switch (v.kind()) {
    case boost::json::kind::null:
      break;
    case boost::json::kind::bool_:
      s.rank = Scalar::number;
      s.i = v.get_bool() ? 1 : 0;
      break;
    case boost::json::kind::int64:
      s.rank = Scalar::number;
      s.i = v.get_int64();
      break;
    case boost::json::kind::uint64:
      s.rank = Scalar::number;
      s.num = Scalar::uint64;
      s.u = v.get_uint64();
      break;
    case boost::json::kind::double_:
      s.rank = Scalar::number;
      s.num = Scalar::real;
      s.d = v.get_double();
      break;
    case boost::json::kind::string:
      // A BINARY field holds base64 text and compares as the bytes it stands for.
      if (binary && backends::base64_decode(v.get_string(), s.s)) {
        s.rank = Scalar::bytes;
        break;
      }
      s.s.clear();
      s.rank = Scalar::text;
      s.s = v.get_string();
      break;
    case boost::json::kind::array:
    case boost::json::kind::object:
      s.rank = Scalar::text;
      s.is_json = true;
      s.s = boost::json::serialize(v);
      break;
  }
  return s;
}

const value* address_entry(const object& data, std::string_view key) {
  const value* a = data.if_contains("_address");
  const object* o = a ? a->if_object() : nullptr;
  return o ? o->if_contains(key) : nullptr;
}

// When a record was saved, as every store compares it: a missing or NULL time counts as
// the earliest.
Scalar saved_at_of(const object& data) {
  const value* v = address_entry(data, backends::saved_at_column.substr(1));
  if (v && !v->is_null()) return to_scalar(*v);
  Scalar earliest;
  earliest.rank = Scalar::number;
  earliest.i = backends::earliest_saved_at;
  return earliest;
}

// The value a checked path names in a record: the field (or the address entry), then
// object keys inside its JSON value (arrays are not indexed). A missing field or key is
// NULL; a missing save time is the earliest, unless `as_stored` (NULL tests).
Scalar lookup_path(const object& data, const backends::ResolvedPath& path, bool as_stored = false) {
  const std::string& name = path.field->name;
  if (path.address && name == backends::saved_at_column && !as_stored) return saved_at_of(data);
  const value* v = path.address ? address_entry(data, std::string_view(name).substr(1))
                                : data.if_contains(name);
  for (std::size_t i = 0; v && i < path.keys.size(); ++i) {
    const object* o = v->if_object();
    v = o ? o->if_contains(path.keys[i]) : nullptr;
  }
  if (!v) return {};
  return to_scalar(*v, path.keys.empty() && path.field->type == CoreTypes::BINARY);
}

// A record's object id and version; false for a record that is no version of an object.
bool object_version_of(const object& data, std::string_view& id, Scalar& version) {
  const value* i = address_entry(data, "object_id");
  const value* v = address_entry(data, "object_version");
  if (!i || !i->is_string() || !v || v->is_null()) return false;
  id = i->get_string();
  version = to_scalar(*v);
  return true;
}

// The newest object version of each object id in the table being queried: what the
// marker LATEST means in `_address__object_version`.
using LatestVersions = std::map<std::string, Scalar, std::less<>>;
thread_local const LatestVersions* latest_versions = nullptr;

LatestVersions latest_versions_of(const std::vector<const velmor_glue::Data*>& records) {
  LatestVersions out;
  for (const velmor_glue::Data* r : records) {
    std::string_view id;
    Scalar v;
    if (!object_version_of(*r->data, id, v)) continue;
    auto [it, fresh] = out.try_emplace(std::string(id), v);
    if (!fresh && compare(v, it->second) > 0) it->second = v;
  }
  return out;
}

// The records of a table as of `at`: each object at its newest version saved by then.
// (This store keeps no deletions.) Otherwise the table as it is.
std::vector<const velmor_glue::Data*> rows_as_of(const std::vector<velmor_glue::Data>& records,
                                                 std::optional<std::int64_t> at) {
  std::vector<const velmor_glue::Data*> out;
  for (const velmor_glue::Data& r : records)
    if (r.data) out.push_back(&r);
  if (!at) return out;
  const Scalar time = to_scalar(value(*at));
  std::erase_if(out, [&](const velmor_glue::Data* r) {
    std::string_view id;
    Scalar version;
    return !object_version_of(*r->data, id, version) || compare(saved_at_of(*r->data), time) > 0;
  });
  const LatestVersions newest = latest_versions_of(out);
  std::erase_if(out, [&](const velmor_glue::Data* r) {
    std::string_view id;
    Scalar version;
    object_version_of(*r->data, id, version);
    return compare(version, newest.find(id)->second) != 0;
  });
  return out;
}

// LATEST as the value of an address filter; nullopt when the filter is no such filter.
std::optional<bool> latest_match(const object& data, const Filter& f) {
  if (f.lookup != Lookup::exact || !backends::is_latest_marker(f.value)) return std::nullopt;
  if (f.path == "_address__class_version") return true;  // the version it was stored under
  if (f.path != "_address__object_version" || !latest_versions) return std::nullopt;
  std::string_view id;
  Scalar version;
  if (!object_version_of(data, id, version)) return false;
  auto it = latest_versions->find(id);
  return it != latest_versions->end() && compare(version, it->second) == 0;
}

bool matches(const backends::CheckedQuery& qs, const object& data, const Filter& f) {
  if (std::optional<bool> latest = latest_match(data, f)) return *latest;
  const bool null_test = f.lookup == Lookup::isnull || f.value.is_null();
  const Scalar v = lookup_path(data, qs.path(f.path), null_test);
  if (f.lookup == Lookup::isnull) return (v.rank == Scalar::null) == f.value.as_bool();
  if (f.value.is_null()) return v.rank == Scalar::null;  // exact/iexact None: IS NULL
  if (v.rank == Scalar::null) return false;              // two-valued: NULL matches nothing
  switch (f.lookup) {
    case Lookup::exact:
      return compare(v, to_scalar(f.value)) == 0;
    case Lookup::gt:
      return compare(v, to_scalar(f.value)) > 0;
    case Lookup::gte:
      return compare(v, to_scalar(f.value)) >= 0;
    case Lookup::lt:
      return compare(v, to_scalar(f.value)) < 0;
    case Lookup::lte:
      return compare(v, to_scalar(f.value)) <= 0;
    case Lookup::in:
      return std::any_of(
          f.value.get_array().begin(), f.value.get_array().end(),
          [&](const value& e) { return !e.is_null() && compare(v, to_scalar(e)) == 0; });
    default:
      break;
  }
  // Text lookups match only text: not numbers, nor arrays or objects inside a JSON value.
  if (v.rank != Scalar::text || v.is_json) return false;
  std::string_view s = v.s, p = f.value.get_string();
  switch (f.lookup) {
    case Lookup::iexact:
      return detail::casefold(s) == detail::casefold(p);
    case Lookup::contains:
      return s.find(p) != s.npos;
    case Lookup::icontains:
      return detail::casefold(s).find(detail::casefold(p)) != std::string::npos;
    case Lookup::startswith:
      return s.starts_with(p);
    case Lookup::endswith:
      return s.ends_with(p);
    default:
      return false;
  }
}

// Two-valued logic: NOT is the complement of its operand. A run of NOTs is walked in a
// loop; recursion is as deep as the nesting of AND and OR, which check_query bounds.
bool matches(const backends::CheckedQuery& qs, const object& data, const Q& condition) {
  const Q* q = &condition;
  bool negated = false;
  for (; q->kind() == Q::Kind::not_; q = &q->children()[0]) negated = !negated;
  switch (q->kind()) {
    case Q::Kind::empty:
      return !negated;
    case Q::Kind::leaf:
      return matches(qs, data, q->filter()) != negated;
    case Q::Kind::and_:
      return std::all_of(q->children().begin(), q->children().end(),
                         [&](const Q& c) { return matches(qs, data, c); }) != negated;
    case Q::Kind::or_:
      return std::any_of(q->children().begin(), q->children().end(),
                         [&](const Q& c) { return matches(qs, data, c); }) != negated;
    case Q::Kind::not_:
      break;
  }
  return false;
}

// A record with the values it is ordered and grouped by.
struct Row {
  const velmor_glue::Data* record;
  std::vector<Scalar> order_keys;
  std::vector<Scalar> distinct_keys;
};

bool keys_less(const std::vector<Scalar>& a, const std::vector<Scalar>& b) {
  for (std::size_t i = 0; i < a.size(); ++i)
    if (int c = compare(a[i], b[i]); c != 0) return c < 0;
  return false;
}

// The record as a database store hands it over: the entries `only` selects (all fields
// when it selects none) and `_metadata` when the record has any; the address the filters
// read is not one of them.
velmor_glue::Data project(const velmor_glue::Data& r, const std::vector<std::string>& only) {
  velmor_glue::Data out{object{}, r.metadata};
  out.data->reserve(r.data->size());
  for (const auto& kv : *r.data) {
    if (kv.key() == "_address") continue;
    if (kv.key() == "_metadata") {
      if (!kv.value().is_null()) out.data->emplace(kv.key(), kv.value());
      continue;
    }
    if (only.empty() || std::find(only.begin(), only.end(), kv.key()) != only.end())
      out.data->emplace(kv.key(), kv.value());
  }
  return out;
}

}  // namespace

struct MemoryStore::Impl {
  std::map<std::pair<std::string, std::string>, std::vector<velmor_glue::Data>> tables;
};

MemoryStore::MemoryStore() : impl_(std::make_unique<Impl>()) {}
MemoryStore::~MemoryStore() = default;

MemoryStore& MemoryStore::instance() {
  static MemoryStore store;
  return store;
}

void MemoryStore::insert(std::string_view alias, std::string_view table, velmor_glue::Data record) {
  impl_->tables[{std::string(alias), std::string(table)}].push_back(std::move(record));
}

void MemoryStore::clear() {
  impl_->tables.clear();
}

std::vector<velmor_glue::Data> MemoryStore::select(const QuerySetReader& given) const {
  const backends::CheckedQuery qs = backends::check_query(given);
  std::vector<velmor_glue::Data> out;
  auto it = impl_->tables.find({qs.get_using(), qs.table_name()});
  if (it == impl_->tables.end()) return out;
  const auto& order = qs.get_order_by();
  const auto& distinct = qs.get_query_specifier().distinct;

  // 1. The history as of a time, then the conditions.
  const std::vector<const velmor_glue::Data*> records = rows_as_of(it->second, qs.get_as_of());
  const LatestVersions latest = latest_versions_of(records);
  latest_versions = &latest;
  struct Reset {
    ~Reset() { latest_versions = nullptr; }
  } reset;
  std::vector<const backends::ResolvedPath*> order_paths, distinct_paths;
  for (const OrderBy& o : order) order_paths.push_back(&qs.path(o.field()));
  for (const std::string& d : distinct) distinct_paths.push_back(&qs.path(d));
  std::vector<Row> rows;
  for (const velmor_glue::Data* r : records) {
    if (!matches(qs, *r->data, qs.get_conditions())) continue;
    Row row{r, {}, {}};
    for (const auto* p : order_paths) row.order_keys.push_back(lookup_path(*r->data, *p));
    for (const auto* p : distinct_paths) row.distinct_keys.push_back(lookup_path(*r->data, *p));
    rows.push_back(std::move(row));
  }

  // 2. Ordering by the total order; stable, so ties keep the order of insertion.
  std::stable_sort(rows.begin(), rows.end(), [&](const Row& a, const Row& b) {
    for (std::size_t i = 0; i < order.size(); ++i) {
      int c = compare(a.order_keys[i], b.order_keys[i]);
      if (c != 0) return order[i].descending() ? c > 0 : c < 0;
    }
    return false;
  });

  // 3. Distinct fields: the first row of each group in that ordering.
  if (!distinct.empty()) {
    std::set<std::vector<Scalar>, decltype(&keys_less)> seen(&keys_less);
    std::erase_if(rows, [&](const Row& r) { return !seen.insert(r.distinct_keys).second; });
  }

  // 4. The window: a negative offset counts as 0, a negative limit returns nothing.
  const NumberPaginator& page = qs.get_paginator();
  auto size = static_cast<std::int64_t>(rows.size());
  std::int64_t begin = std::clamp<std::int64_t>(page.offset.value_or(0), 0, size);
  std::int64_t end = size;
  if (page.limit) end = *page.limit < 0 ? begin : begin + std::min(*page.limit, size - begin);

  out.reserve(static_cast<std::size_t>(end - begin));
  for (std::int64_t i = begin; i < end; ++i)
    out.push_back(
        project(*rows[static_cast<std::size_t>(i)].record, qs.get_query_specifier().only));
  return out;
}

}  // namespace velmor_models::querysets::executor
