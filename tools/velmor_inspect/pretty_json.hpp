#pragma once
// JSON text for people: real numbers in their shortest form (2.5, not 2.5E0), and
// optionally one member or element per line, indented.

#include <boost/json/value.hpp>
#include <string>

namespace velmor_inspect {

/// `value` as JSON text indented by two spaces per level; empty arrays and objects stay
/// on one line.
std::string pretty_json(const boost::json::value& value);

/// `value` as JSON text on one line.
std::string compact_json(const boost::json::value& value);

}  // namespace velmor_inspect
