#pragma once
// Reading result columns into driver values: integers as int64, reals as double, booleans
// as 0 and 1, bytea as bytes, everything else (text, jsonb, numeric, ...) as its text.

#include <cstdint>
#include <span>
#include <string_view>

#include "velmor_models/backends/driver/value.hpp"

namespace velmor_models::backends::postgres {

/// The value of a non-NULL column of type `type` sent in binary (`binary`) or text format.
/// ValueError for bytes that are no value of that type.
driver::Value decode_column(std::uint32_t type, bool binary, std::string_view bytes);

/// A numeric's text as a number: an integer within int64 as that integer, any other as
/// the nearest double (NUMBER values come back by number_value from these). ValueError
/// for text that is no number.
driver::Value numeric_value(std::string_view text);

/// True when every column type in `types` reads from binary format (the types
/// decode_column knows there), which then serves the statement: libpq takes one format
/// for all the columns of a statement. Numbers and bytes read in binary in two thirds of
/// the time, text and jsonb as fast as in text (bench/backends/postgres_format_bench), so
/// binary wins whenever every column allows it.
bool reads_binary(std::span<const std::uint32_t> types) noexcept;

}  // namespace velmor_models::backends::postgres
