#include "backends/postgres/error_category.hpp"

namespace velmor_models::backends::postgres {

using querysets::errors::DatabaseErrorCategory;

bool connection_survives(std::string_view sqlstate) noexcept {
  // 57P01 admin shutdown, 57P02 crash shutdown, 57P03 cannot connect now.
  return !(sqlstate.starts_with("08") || sqlstate == "57P01" || sqlstate == "57P02" ||
           sqlstate == "57P03");
}

DatabaseErrorCategory category_of(std::string_view sqlstate) noexcept {
  if (sqlstate == "40001" || sqlstate == "40P01") return DatabaseErrorCategory::conflict;
  if (sqlstate.starts_with("23")) return DatabaseErrorCategory::constraint;
  if (sqlstate == "57014") return DatabaseErrorCategory::cancelled;
  if (sqlstate == "55P03") return DatabaseErrorCategory::busy;
  if (!connection_survives(sqlstate)) return DatabaseErrorCategory::connection_lost;
  if (sqlstate == "25006") return DatabaseErrorCategory::read_only;
  if (sqlstate.starts_with("53")) return DatabaseErrorCategory::out_of_space;
  return DatabaseErrorCategory::other;
}

}  // namespace velmor_models::backends::postgres
