#pragma once
// Adding records to a model class's table: every record checked first, then multi-row
// INSERTs (each within the protocol's 65535 values, in a few sizes so that the statement
// cache holds them), all sent in one request without waiting between them. Outside a
// transaction the request is a transaction of its own: all the records or none.

#include <boost/json/object.hpp>
#include <memory>
#include <span>

#include "backends/postgres/connection.hpp"
#include "velmor_models/classes/model.hpp"

namespace velmor_models::backends::postgres {

/// The steps of insert_rows; `cls` and `records` must outlive them. Values are bound by
/// their fields' core types: BOOLEAN as boolean, INTEGER as bigint, NUMBER as double
/// precision, BINARY (base64) as bytea, ARRAY and DICTIONARY as jsonb, the others as text;
/// `_metadata` as text, and the address columns.
std::unique_ptr<driver::Operation> insert_rows_op(Connection& conn,
                                                  const classes::model::ModelClass& cls,
                                                  std::span<const boost::json::object> records);

}  // namespace velmor_models::backends::postgres
