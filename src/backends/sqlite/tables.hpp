#pragma once
// Adding records to a model class's table in SQLite, each value bound as its field's core
// type requires.

#include <boost/json/object.hpp>
#include <span>

#include "backends/sqlite/connection.hpp"
#include "velmor_models/classes/model.hpp"

namespace velmor_models::backends::sqlite {

/// Inserts `records` into the table of `cls` inside the caller's transaction; a record may
/// give the address columns too.
void insert_rows(Connection& conn, const classes::model::ModelClass& cls,
                 std::span<const boost::json::object> records);

}  // namespace velmor_models::backends::sqlite
