// The ordering-text parser (OrderBy::from_string) and the filter-name parser
// (Filter::parse) against plain re-implementations of their rules: a text is either
// refused with the documented error kind, or parsed into a term whose text form parses
// back to the same term.
//
// Input: one byte choosing the parser (and, for filters, the kind of value), then the text.

#include <boost/json/value.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.hpp"
#include "velmor_utils/errors.hpp"
#include "velmor_utils/query/data_models/order_by.hpp"
#include "velmor_utils/query/utils.hpp"

namespace {

using velmor_utils::errors::TypeError;
using velmor_utils::errors::ValueError;
using velmor_utils::query::Filter;
using velmor_utils::query::Lookup;
using velmor_utils::query::data_models::order_by::OrderBy;
namespace json = boost::json;

constexpr std::string_view kLookups[] = {"exact",      "iexact",   "contains", "icontains",
                                         "startswith", "endswith", "gt",       "gte",
                                         "lt",         "lte",      "in",       "isnull"};

// Splits at "__" from the left; every segment must be non-empty.
bool segments_ok(std::string_view path) {
  while (true) {
    const auto pos = path.find("__");
    if (pos == 0) return false;
    if (pos == std::string_view::npos) return !path.empty();
    path.remove_prefix(pos + 2);
  }
}

void check_order_by(std::string_view text) {
  // Reference: an optional sign, then a path of non-empty segments of any characters.
  std::optional<OrderBy> expected;
  if (!text.empty()) {
    std::string_view field = text;
    const bool descending = field.front() == '-';
    if (field.front() == '-' || field.front() == '+') field.remove_prefix(1);
    if (segments_ok(field))
      expected = OrderBy(std::string(field), descending ? OrderBy::Direction::descending
                                                        : OrderBy::Direction::ascending);
  }
  std::optional<OrderBy> got;
  try {
    got = OrderBy::from_string(text);
  } catch (const ValueError&) {
  }
  FUZZ_CHECK(got == expected, "ordering text '" + std::string(text) + "'");
  if (got) FUZZ_CHECK(OrderBy::from_string(got->str()) == *got, "round trip of " + got->str());
}

json::value value_of(unsigned kind) {
  switch (kind % 6) {
    case 0:
      return nullptr;
    case 1:
      return true;
    case 2:
      return 7;
    case 3:
      return "x";
    case 4:
      return json::array{1, "a"};
    default:
      return json::object{{"k", 1}};
  }
}

void check_filter(std::string_view name, const json::value& value) {
  // Reference: the lookup is the part after the last "__" when it names one; the rest is the
  // path, whose segments must all be non-empty; `in` needs a list and `isnull` a boolean.
  enum class Outcome { parsed, value_error, type_error };
  Outcome expected = Outcome::parsed;
  Filter want;
  want.path = std::string(name);
  if (const auto pos = name.rfind("__"); pos != std::string_view::npos && pos + 2 < name.size()) {
    for (std::size_t i = 0; i < std::size(kLookups); ++i)
      if (name.substr(pos + 2) == kLookups[i]) {
        want.lookup = static_cast<Lookup>(i);
        want.path = std::string(name.substr(0, pos));
      }
  }
  want.value = value;
  if (name.empty() || !segments_ok(want.path))
    expected = Outcome::value_error;
  else if ((want.lookup == Lookup::in && !value.is_array()) ||
           (want.lookup == Lookup::isnull && !value.is_bool()))
    expected = Outcome::type_error;

  Outcome outcome = Outcome::parsed;
  std::optional<Filter> got;
  try {
    got = Filter::parse(name, value);
  } catch (const ValueError&) {
    outcome = Outcome::value_error;
  } catch (const TypeError&) {
    outcome = Outcome::type_error;
  }
  FUZZ_CHECK(outcome == expected, "outcome of filter name '" + std::string(name) + "'");
  if (!got) return;
  FUZZ_CHECK(*got == want, "filter name '" + std::string(name) + "'");
  const std::string again = got->name();
  FUZZ_CHECK(Filter::parse(again, value) == *got,
             "round trip of '" + std::string(name) + "' through '" + again + "'");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  velmor_fuzz::Bytes in(data, size);
  const unsigned choice = in.byte();
  const std::string text = in.rest();
  if (choice & 1)
    check_order_by(text);
  else
    check_filter(text, value_of(choice >> 1));
  return 0;
}
