#pragma once
// Numbers as decimal text for a database that keeps them as decimals (PostgreSQL's numeric
// and jsonb): one spelling of every double, so that a value stored and the same value bound
// in a query are the same decimal, and integers compare with reals by value.

#include <boost/json/value.hpp>
#include <string>

namespace velmor_models::backends::sql {

/// A whole double within int64 as its exact integer digits (9007199254740993.0 cannot be,
/// 2^60 is "1152921504606846976", not the shortest "1.152921504606847e+18" that stands for
/// another integer); any other double as its shortest text that reads back as itself, which
/// orders against every integer as the double does. NaN and the infinities as PostgreSQL
/// spells them.
std::string decimal_text(double d);

/// The compact JSON text of `v` (as Boost.JSON writes it) with its reals spelt by
/// decimal_text. Walks nesting of any depth without recursion.
std::string json_text(const boost::json::value& v);

}  // namespace velmor_models::backends::sql
