#pragma once
// What a PostgreSQL error code (SQLSTATE) means to code that acts on failures.

#include <string_view>

#include "velmor_models/querysets/errors.hpp"

namespace velmor_models::backends::postgres {

/// The category of `sqlstate`: serialization failures and deadlocks are conflicts, lock
/// timeouts busy, integrity violations constraints, a cancelled statement cancelled,
/// connection failures and server shutdowns connection_lost, a write in a read-only
/// transaction read_only, insufficient resources out_of_space.
querysets::errors::DatabaseErrorCategory category_of(std::string_view sqlstate) noexcept;

/// False when a connection that reported `sqlstate` is gone (class 08, a server or
/// backend shutting down).
bool connection_survives(std::string_view sqlstate) noexcept;

}  // namespace velmor_models::backends::postgres
