#pragma once
// Named field filters spelt without braces.

#include <boost/json/object.hpp>
#include <boost/json/value.hpp>
#include <concepts>
#include <string_view>
#include <utility>

namespace velmor_models::querysets::qsetkit {

/// Named field filters, in the order given: field lookup -> value.
using NamedFilters = boost::json::object;

/// The named filters of name/value pairs: `where("city", "Oslo", "age__gte", 21)` is
/// `NamedFilters{{"city", "Oslo"}, {"age__gte", 21}}`. Needed inside a `co_await`
/// expression, where g++ 12 refuses braced lists ("array used as initializer").
template <class... Rest>
requires(sizeof...(Rest) % 2 == 0) NamedFilters
    where(std::string_view name, boost::json::value value, Rest&&... rest) {
  NamedFilters out;
  out.reserve(1 + sizeof...(Rest) / 2);
  out.insert_or_assign(name, std::move(value));
  if constexpr (sizeof...(Rest) > 0)
    for (auto& kv : where(std::forward<Rest>(rest)...))
      out.insert_or_assign(kv.key(), std::move(kv.value()));
  return out;
}

}  // namespace velmor_models::querysets::qsetkit
