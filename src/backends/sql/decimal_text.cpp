#include "backends/sql/decimal_text.hpp"

#include <boost/json/serialize.hpp>
#include <charconv>
#include <cmath>
#include <vector>

namespace velmor_models::backends::sql {

std::string decimal_text(double d) {
  if (std::isnan(d)) return "NaN";
  if (std::isinf(d)) return d > 0 ? "Infinity" : "-Infinity";
  constexpr double two63 = 9223372036854775808.0;
  if (d >= -two63 && d < two63 && std::trunc(d) == d)
    return std::to_string(static_cast<std::int64_t>(d));
  char buf[32];
  const auto end = std::to_chars(buf, buf + sizeof buf, d).ptr;
  return std::string(buf, end);
}

namespace {

void append_scalar(std::string& out, const boost::json::value& v) {
  switch (v.kind()) {
    case boost::json::kind::double_:
      out += decimal_text(v.get_double());
      return;
    case boost::json::kind::string:
      out += boost::json::serialize(boost::json::string_view(v.get_string()));
      return;
    default:
      out += boost::json::serialize(v);
  }
}

// A container being written and the next of its elements.
struct Open {
  const boost::json::value* container;
  std::size_t next = 0;
};

}  // namespace

std::string json_text(const boost::json::value& v) {
  std::string out;
  std::vector<Open> stack;
  const boost::json::value* at = &v;
  for (;;) {
    if (at) {
      if (at->is_array() || at->is_object()) {
        out += at->is_array() ? '[' : '{';
        stack.push_back({at});
      } else {
        append_scalar(out, *at);
      }
      at = nullptr;
    }
    if (stack.empty()) return out;
    Open& top = stack.back();
    if (const auto* a = top.container->if_array()) {
      if (top.next == a->size()) {
        out += ']';
        stack.pop_back();
        continue;
      }
      if (top.next) out += ',';
      at = &(*a)[top.next++];
    } else {
      const auto& o = top.container->get_object();
      if (top.next == o.size()) {
        out += '}';
        stack.pop_back();
        continue;
      }
      if (top.next) out += ',';
      const auto& entry = *(o.begin() + static_cast<std::ptrdiff_t>(top.next++));
      out += boost::json::serialize(entry.key());
      out += ':';
      at = &entry.value();
    }
  }
}

}  // namespace velmor_models::backends::sql
