#pragma once
// velmor_casefold(text) for PostgreSQL: the SQL that installs it, generated from the
// library's own folding (detail::casefold), so that `iexact` and `icontains` give in
// PostgreSQL exactly what they give in every other store.
//
// PostgreSQL cannot load our code, and its lower() follows the database locale, so the
// folding is written in SQL: velmor_casefold is an inlinable LANGUAGE sql function whose
// pure ASCII case is lower(t COLLATE "C"); other text goes to a PL/pgSQL helper that
// finds the few characters that fold (one regular expression), expands the multi-character
// folds with replace() and maps the rest with translate(), its table looked up from the
// block of the first such character.
//
// The database must be UTF8: the ASCII test counts bytes against characters, and the
// function's strings name code points above U+007F. A store refuses any other encoding
// (postgres_utf8_check_query).

#include <string>
#include <string_view>

namespace velmor_models::backends::sql {

/// Statements that create or replace velmor_casefold(text) and its helper in `schema`
/// and set the function's comment to postgres_casefold_version(). Several statements,
/// for the simple-query protocol, which runs them as one transaction; an advisory lock
/// keeps two installing connections from colliding. The text is pure ASCII, whatever
/// the client encoding. ValueError when `schema` is not a usable PostgreSQL name.
std::string postgres_casefold_install(std::string_view schema);

/// A short tag of the folding the installed SQL implements (a hash of the mapping and of
/// the shape of the SQL): the installed function's comment. A store reinstalls when the
/// comment differs.
const std::string& postgres_casefold_version();

/// One parameter, the schema's name as stored ($1, bound); one row with the comment of
/// velmor_casefold(text) in that schema (NULL without a comment), or no row at all when
/// the function is missing.
std::string_view postgres_casefold_version_query() noexcept;

/// No parameter; one row and column, true when the database's encoding is UTF8.
std::string_view postgres_utf8_check_query() noexcept;

}  // namespace velmor_models::backends::sql
