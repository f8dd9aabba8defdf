#include "backends/store/store_db.hpp"

#include "velmor_data/aliases/using.hpp"
#include "velmor_models/backends/registry.hpp"
#include "velmor_models/backends/sql/dialect.hpp"
#include "velmor_utils/errors.hpp"

namespace velmor_models::backends::store {
namespace {

Lease lease_of(std::string_view alias) {
  std::shared_ptr<Backend> backend = backend_for(alias);
  if (!backend->dialect())
    throw velmor_utils::errors::TypeError(
        "The object store keeps its objects in an SQL database; "
        "alias '" +
        std::string(alias) + "' names a store that runs no SQL");
  return backend->lease();
}

}  // namespace

Lease lake() {
  return lease_of(velmor_data::aliases::using_::LAKEHOUSE_DB_ALIAS);
}

Lease main_db() {
  return lease_of(velmor_data::aliases::using_::DEFAULT_DB_ALIAS);
}

std::int64_t run(Connection& conn, std::string_view text, const std::vector<Value>& params) {
  return conn.execute(conn.dialect().with_placeholders(text), params);
}

std::optional<Value> scalar(Connection& conn, std::string_view text, std::vector<Value> params) {
  return conn.scalar(conn.dialect().with_placeholders(text), std::move(params));
}

std::unique_ptr<driver::Cursor> rows(Connection& conn, std::string_view text,
                                     std::vector<Value> params) {
  return conn.query(conn.dialect().with_placeholders(text), std::move(params));
}

std::string quoted(const Connection& conn, std::string_view name) {
  std::string out;
  conn.dialect().quote_identifier(out, name);
  return out;
}

}  // namespace velmor_models::backends::store
