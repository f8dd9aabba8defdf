#pragma once
// The values every store accepts in a record it writes: each field's core type, and
// nothing that one store would keep and another would change or lose (integers past 64
// bits, non-finite numbers, NUL characters or bytes that are not UTF-8 inside JSON values).

#include <boost/json/object.hpp>
#include <boost/json/value.hpp>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "velmor_models/backends/driver/value.hpp"

#include "velmor_models/classes/model.hpp"

namespace velmor_models::backends {

/// Refuses a value that field `f` of `cls` cannot hold: one of another kind (TypeError),
/// an integer past int64, a non-finite number, BINARY text that is not base64, or, inside
/// an ARRAY or DICTIONARY value at any depth, an integer past int64, a non-finite number or
/// text (a key or a string) that holds a NUL character or is not UTF-8 (ValueError). Null
/// is always accepted.
void check_stored_value(const classes::model::ModelClass& cls, const classes::model::FieldDecl& f,
                        const boost::json::value& v);

/// An integer held by a NUMBER field as every store hands it back: a real number, as NUMBER
/// values have always come back, unless no double holds it exactly (beyond ±2^53).
boost::json::value number_value(std::int64_t n) noexcept;

/// Refuses a record that names an undeclared field, holds a value its field cannot hold, a
/// `_metadata` that is neither a mapping, its JSON text nor null, or an address column
/// (`_object_id` text, `_object_version`, `_class_version` and `_saved_at` integers) of
/// another kind.
void check_record(const classes::model::ModelClass& cls, const boost::json::object& record);

/// The address columns of a stored object (`_object_id` STRING, `_object_version`,
/// `_class_version` and `_saved_at` INTEGER): columns of every table a store writes, not
/// fields.
std::span<const classes::model::FieldDecl* const> address_columns() noexcept;
bool is_address_column(std::string_view name) noexcept;

/// The standard padded base64 of `bytes`, and back: the one codec of every store (the
/// strict one of utils/files). `base64_decode` is false for text that is not base64.
std::string base64_encode(std::string_view bytes);
bool base64_decode(std::string_view text, std::string& out);

/// A value read from an SQL store as a field of core type `type` hands it back: integers
/// of BOOLEAN fields as booleans, of NUMBER fields by number_value, JSON text of ARRAY and
/// DICTIONARY fields parsed (kept as text when it is no JSON), bytes as base64 text.
/// With `json_column`, `v` is read from a column that holds JSON: its text is the value's
/// JSON (a field whose core type changed keeps its rows of both types there as JSON).
boost::json::value stored_json(const driver::Value& v, const classes::model::CoreTypes& type,
                               bool json_column = false);

}  // namespace velmor_models::backends
