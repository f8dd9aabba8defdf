// The in-memory store: the reference evaluator of query semantics that every database
// backend is compared with.

#include "velmor_models/querysets/executor.hpp"

#include <algorithm>
#include <boost/json/serialize.hpp>
#include <cctype>
#include <map>
#include <set>

namespace velmor_models::querysets::executor {
namespace {

using boost::json::object;
using boost::json::value;
using velmor_utils::query::Filter;
using velmor_utils::query::Lookup;

// Follows a path of field names through nested mappings; null when a step is missing.
const value* resolve(const object& data, const Filter& f) {
  const object* current = &data;
  const value* v = nullptr;
  for (std::string_view seg : f.path_segments()) {
    if (!current) return nullptr;
    v = current->if_contains(seg);
    if (!v) return nullptr;
    current = v->if_object();
  }
  return v;
}

std::string lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// Orders numbers numerically and texts by bytes; other pairs are unordered.
std::optional<int> compare(const value& a, const value& b) {
  if (a.is_number() && b.is_number()) {
    double x = a.to_number<double>(), y = b.to_number<double>();
    return x < y ? -1 : (x > y ? 1 : 0);
  }
  if (a.is_string() && b.is_string()) {
    int c = a.get_string().compare(b.get_string());
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
  }
  if (a.is_bool() && b.is_bool()) return int(a.get_bool()) - int(b.get_bool());
  return std::nullopt;
}

bool equal(const value& a, const value& b) {
  if (a.is_number() && b.is_number()) return compare(a, b) == 0;
  return a == b;
}

bool matches(const object& data, const Filter& f) {
  const value* found = resolve(data, f);
  static const value null_value;
  const value& v = found ? *found : null_value;
  switch (f.lookup) {
    case Lookup::exact: return equal(v, f.value);
    case Lookup::isnull: return v.is_null() == f.value.as_bool();
    case Lookup::in:
      return std::any_of(f.value.get_array().begin(), f.value.get_array().end(),
                         [&](const value& e) { return equal(v, e); });
    case Lookup::gt:
    case Lookup::gte:
    case Lookup::lt:
    case Lookup::lte: {
      // Values that cannot be ordered against each other never match.
      std::optional<int> c = compare(v, f.value);
      if (!c) return false;
      if (f.lookup == Lookup::gt) return *c > 0;
      if (f.lookup == Lookup::gte) return *c >= 0;
      if (f.lookup == Lookup::lt) return *c < 0;
      return *c <= 0;
    }
    default: break;
  }
  if (!v.is_string() || !f.value.is_string()) return false;
  std::string_view s = v.get_string(), p = f.value.get_string();
  switch (f.lookup) {
    case Lookup::iexact: return lower(s) == lower(p);
    case Lookup::contains: return s.find(p) != s.npos;
    case Lookup::icontains: return lower(s).find(lower(p)) != std::string::npos;
    case Lookup::startswith: return s.starts_with(p);
    case Lookup::endswith: return s.ends_with(p);
    default: return false;
  }
}

bool matches(const object& data, const Q& q) {
  switch (q.kind()) {
    case Q::Kind::empty: return true;
    case Q::Kind::leaf: return matches(data, q.filter());
    case Q::Kind::not_: return !matches(data, q.children()[0]);
    case Q::Kind::and_:
      return std::all_of(q.children().begin(), q.children().end(),
                         [&](const Q& c) { return matches(data, c); });
    case Q::Kind::or_:
      return std::any_of(q.children().begin(), q.children().end(),
                         [&](const Q& c) { return matches(data, c); });
  }
  return false;
}

const value& field_of(const velmor_glue::Data& r, const std::string& name) {
  static const value null_value;
  if (!r.data) return null_value;
  const value* v = r.data->if_contains(name);
  return v ? *v : null_value;
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

void MemoryStore::clear() { impl_->tables.clear(); }

std::vector<velmor_glue::Data> MemoryStore::select(const QuerySetReader& qs) const {
  std::vector<velmor_glue::Data> out;
  auto it = impl_->tables.find({qs.get_using(), qs.table_name()});
  if (it == impl_->tables.end()) return out;
  const Q& q = qs.get_conditions();
  for (const velmor_glue::Data& r : it->second)
    if (r.data && matches(*r.data, q)) out.push_back(r);

  const auto& distinct = qs.get_query_specifier().distinct;
  if (!distinct.empty()) {
    std::set<std::string> seen;
    std::erase_if(out, [&](const velmor_glue::Data& r) {
      std::string key;
      for (const auto& f : distinct) (key += boost::json::serialize(field_of(r, f))) += '\x1f';
      return !seen.insert(std::move(key)).second;
    });
  }
  const auto& order = qs.get_order_by();
  if (!order.empty()) {
    std::stable_sort(out.begin(), out.end(), [&](const auto& a, const auto& b) {
      for (const OrderBy& o : order) {
        int c = compare(field_of(a, o.field()), field_of(b, o.field())).value_or(0);
        if (c != 0) return o.descending() ? c > 0 : c < 0;
      }
      return false;
    });
  }
  const NumberPaginator& page = qs.get_paginator();
  std::int64_t size = static_cast<std::int64_t>(out.size());
  std::int64_t begin = std::clamp<std::int64_t>(page.offset.value_or(0), 0, size);
  std::int64_t end = page.limit ? std::clamp<std::int64_t>(begin + std::max<std::int64_t>(*page.limit, 0), begin, size) : size;
  out.erase(out.begin() + end, out.end());
  out.erase(out.begin(), out.begin() + begin);
  return out;
}

}  // namespace velmor_models::querysets::executor
