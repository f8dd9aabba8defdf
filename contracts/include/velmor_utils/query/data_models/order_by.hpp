#pragma once
// One ordering term.

#include <string>
#include <string_view>

namespace velmor_utils::query::data_models::order_by {

class OrderBy {
 public:
  enum class Direction { ascending, descending };

  OrderBy(std::string field, Direction direction)
      : field_(std::move(field)), direction_(direction) {}

  /// Parses "field" and "+field" (ascending) and "-field" (descending); the field may be
  /// a path joined by "__". An empty or malformed text is a ValueError.
  static OrderBy from_string(std::string_view text);

  const std::string& field() const noexcept { return field_; }
  Direction direction() const noexcept { return direction_; }
  bool descending() const noexcept { return direction_ == Direction::descending; }
  /// The text form that from_string reads back: "field" or "-field".
  /// The ordering text that from_string reads back as this term (a field whose name
  /// begins with a sign gets an explicit '+' when ascending).
  std::string str() const {
    bool signed_name = !field_.empty() && (field_.front() == '-' || field_.front() == '+');
    return (descending() ? "-" : signed_name ? "+" : "") + field_;
  }

  friend bool operator==(const OrderBy&, const OrderBy&) = default;

 private:
  std::string field_;
  Direction direction_;
};

}  // namespace velmor_utils::query::data_models::order_by
