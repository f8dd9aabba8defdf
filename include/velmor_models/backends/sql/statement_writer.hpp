#pragma once
// The statement being written: SQL text and the values bound to its placeholders, in
// the order they appear.

#include <boost/json/value.hpp>
#include <string>
#include <string_view>
#include <vector>

namespace velmor_models::backends::sql {

class Dialect;

class StatementWriter {
 public:
  explicit StatementWriter(const Dialect& dialect) : dialect_(dialect) {}

  const Dialect& dialect() const noexcept { return dialect_; }
  StatementWriter& operator<<(std::string_view sql) {
    text.append(sql);
    return *this;
  }
  /// Appends the placeholder of `value` and binds it.
  void bind(boost::json::value value);

  std::string text;
  std::vector<boost::json::value> params;

 private:
  const Dialect& dialect_;
};

}  // namespace velmor_models::backends::sql
