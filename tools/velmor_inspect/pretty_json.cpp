#include "pretty_json.hpp"

#include <boost/json/serialize.hpp>
#include <charconv>
#include <cmath>

namespace velmor_inspect {
namespace {

namespace json = boost::json;

// Shortest text that reads back as the same double, marked as a real ("2.0").
void write_double(std::string& out, double d) {
  if (!std::isfinite(d)) {
    out += json::serialize(json::value(d));
    return;
  }
  char buffer[32];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, d);
  std::string_view text(buffer, static_cast<std::size_t>(end - buffer));
  out += text;
  if (text.find_first_of(".e") == std::string_view::npos) out += ".0";
}

// `indent` < 0: all on one line.
void write(std::string& out, const json::value& value, int indent, int depth) {
  const auto next_line = [&out, indent](int level) {
    if (indent < 0) return;
    out += '\n';
    out.append(static_cast<std::size_t>(level * indent), ' ');
  };
  if (const json::object* object = value.if_object(); object && !object->empty()) {
    out += '{';
    bool first = true;
    for (const auto& [key, member] : *object) {
      if (!first) out += ',';
      first = false;
      next_line(depth + 1);
      out += json::serialize(json::value(key));
      out += indent < 0 ? ":" : ": ";
      write(out, member, indent, depth + 1);
    }
    next_line(depth);
    out += '}';
  } else if (const json::array* array = value.if_array(); array && !array->empty()) {
    out += '[';
    bool first = true;
    for (const json::value& element : *array) {
      if (!first) out += ',';
      first = false;
      next_line(depth + 1);
      write(out, element, indent, depth + 1);
    }
    next_line(depth);
    out += ']';
  } else if (value.is_double()) {
    write_double(out, value.get_double());
  } else {
    out += json::serialize(value);
  }
}

}  // namespace

std::string pretty_json(const boost::json::value& value) {
  std::string out;
  write(out, value, 2, 0);
  return out;
}

std::string compact_json(const boost::json::value& value) {
  std::string out;
  write(out, value, -1, 0);
  return out;
}

}  // namespace velmor_inspect
