#pragma once
// Creating a model class's table and adding records to it: the minimal write path that
// tests, benchmarks and demos fill a database with.

#include <boost/json/object.hpp>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "velmor_models/classes/model.hpp"

namespace velmor_models::backends {

/// Creates the table of `cls` in the database behind `alias` unless it exists: one column
/// per declared field plus `_metadata`, and one index per name in `indexed_fields` (each a
/// declared field).
void create_table(std::string_view alias, const classes::model::ModelClass& cls,
                  const std::vector<std::string>& indexed_fields = {});

/// Adds `records` to the table of `cls`, all or none. Each record maps field names to
/// values of their core types (BINARY as base64 text); `_metadata` may be a mapping or its
/// JSON text. An undeclared name or a value of the wrong kind is an error naming the field.
void insert_records(std::string_view alias, const classes::model::ModelClass& cls,
                    std::span<const boost::json::object> records);

}  // namespace velmor_models::backends
