#include "velmor_utils/query/data_models/order_by.hpp"
#include "velmor_utils/errors.hpp"
#include "velmor_utils/utils/text.hpp"

namespace velmor_utils::query::data_models::order_by {
OrderBy OrderBy::from_string(std::string_view text) {
  if (text.empty()) throw errors::ValueError("Ordering text must not be empty");
  Direction direction = Direction::ascending;
  std::string_view field = text;
  if (field.front() == '-' || field.front() == '+') {
    direction = field.front() == '-' ? Direction::descending : Direction::ascending;
    field.remove_prefix(1);
  }
  // A path of non-empty segments, split at "__" from the left as filter paths are; any
  // name a filter takes (spaces, quotes, non-ASCII) can be ordered by.
  bool ok = !field.empty();
  for (std::string_view rest = field; ok;) {
    const std::size_t pos = rest.find("__");
    ok = pos != 0;
    if (pos == std::string_view::npos) break;
    rest.remove_prefix(pos + 2);
    ok = ok && !rest.empty();
  }
  if (!ok)
    throw errors::ValueError("Invalid ordering text '" + utils::text::printable(text) +
                             "': expected a field name, optionally prefixed by '-' or '+'");
  return OrderBy(std::string(field), direction);
}

}  // namespace velmor_utils::query::data_models::order_by
