#pragma once
// What differs between the SQL databases a query set compiles to: quoting, placeholders,
// JSON access, text matching, ordering of NULLs, the window and long `in` lists. The
// query compiler (compiler.hpp) writes everything else once for every dialect.

#include <boost/json/value.hpp>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "velmor_models/backends/sql/statement_writer.hpp"
#include "velmor_models/classes/model.hpp"
#include "velmor_utils/query/utils.hpp"

namespace velmor_models::backends::sql {

/// What a condition or an ordering term reads: a column, or the JSON value at a path
/// inside a JSON-valued column (null when the path does not exist).
struct Operand {
  std::string_view column;  ///< checked column name, unquoted
  std::string_view path;    ///< the dialect's JSON path text (bound); empty for a plain column
  bool text = false;        ///< a plain column holding text (STRING, DATE, DATETIME)
  bool boolean = false;     ///< a plain BOOLEAN column (compared as 0 and 1)
  /// a plain column whose NULL counts as the least 64-bit integer (`_saved_at`: rows
  /// written before save times were kept count as saved at the earliest time)
  bool earliest_null = false;
  bool json() const noexcept { return !path.empty(); }
};

/// One column of a table a store creates.
struct ColumnDef {
  std::string_view name;  ///< checked and quoted by the dialect
  std::string_view type;  ///< the declared type, as column_type gives it
};

/// The kinds of JSON value a guard admits.
enum class JsonKind {
  text,    ///< a JSON string
  scalar,  ///< anything but an array or an object
};

class Dialect {
 public:
  virtual ~Dialect() = default;
  /// "sqlite", "postgresql".
  virtual std::string_view name() const noexcept = 0;

  /// Refuses, with a ValueError, a table or column name the database cannot hold exactly:
  /// empty, control characters (NUL included), longer than the database keeps, or in the
  /// database's reserved namespace.
  virtual void check_identifier(std::string_view name) const;
  /// Appends `name`, checked, as a quoted identifier.
  void quote_identifier(std::string& out, std::string_view name) const;
  /// The longest name, in bytes, the database keeps exactly (none: no limit).
  virtual std::size_t max_identifier_bytes() const noexcept { return std::string_view::npos; }
  /// False when the database's text cannot hold a NUL character: then no stored text
  /// contains one, and the compiler settles lookups whose text holds one without binding it.
  virtual bool text_holds_nul() const noexcept { return true; }

  /// Appends the placeholder of the `n`-th bound value (counted from 1).
  virtual void placeholder(std::string& out, std::size_t n) const = 0;

  /// The path text that walks the object keys `keys` (possibly none: the whole value),
  /// bound as a value. UnsupportedQueryError for a key the dialect cannot express.
  virtual std::string json_path(std::span<const std::string_view> keys) const = 0;

  /// The value `op` reads: comparable with `bind_value`, NULL for SQL NULL, JSON null or
  /// a missing path.
  virtual void value_of(StatementWriter& w, const Operand& op) const = 0;
  /// The text `op` reads for a text lookup, case-folded when `fold`.
  virtual void text_of(StatementWriter& w, const Operand& op, bool fold) const = 0;
  /// True when the JSON value at the path of `op` is of `kind` (JSON operands only).
  virtual void json_is(StatementWriter& w, const Operand& op, JsonKind kind) const = 0;
  /// Binds a scalar to compare with `value_of(op)`.
  virtual void bind_value(StatementWriter& w, const Operand& op,
                          const boost::json::value& value) const = 0;

  /// `contains`, `startswith` or `endswith` of `needle` (already folded when `fold`) in
  /// the text of `op`, by bytes.
  virtual void text_match(StatementWriter& w, velmor_utils::query::Lookup lookup, const Operand& op,
                          std::string_view needle, bool fold) const = 0;
  /// `value_of(op)` equals one of `values` (non-empty, no nulls), however long the list.
  virtual void in_list(StatementWriter& w, const Operand& op,
                       std::span<const boost::json::value> values) const = 0;

  /// One ordering term: NULLs (and missing paths) first ascending, last descending.
  virtual void order_term(StatementWriter& w, const Operand& op, bool descending) const = 0;
  /// An expression giving the rows' insertion order, the last tie-breaker of every
  /// ordering; empty when the database has none.
  virtual std::string_view insertion_order() const noexcept = 0;
  /// The column that keeps the insertion order in tables the library creates, when the
  /// database has no row order of its own (its name empty otherwise). Filled by the
  /// database: never a field of a record, never written by an INSERT, never copied.
  virtual ColumnDef insertion_column() const noexcept { return {}; }
  /// The window: at most `limit` rows (none: no bound; never negative) after skipping
  /// `offset` (never negative). Called only when there is a bound.
  virtual void window(StatementWriter& w, std::optional<std::int64_t> limit,
                      std::int64_t offset) const = 0;

  // The statements a store needs beyond queries.

  /// The statement that opens a write transaction holding the database's write lock (or
  /// what stands for it there) from its start, so that what it reads stays as read.
  virtual std::string_view begin_write() const noexcept = 0;
  /// The declared type of a column holding values of core type `type`.
  virtual std::string_view column_type(const classes::model::CoreTypes& type) const noexcept = 0;
  /// A statement that lists the columns of the table that its one bound value names: the
  /// name and the declared type (as column_type spells it), two text columns.
  virtual std::string table_columns() const = 0;
  /// The statement that lets `column` of `table`, declared `type`, hold values of any
  /// type from now on (a field whose core type changed: its rows of either type stay as
  /// they were stored); empty where a column holds values of any type anyway (SQLite).
  virtual std::string widen_column(std::string_view table, std::string_view column,
                                   std::string_view type) const {
    (void)table, (void)column, (void)type;
    return {};
  }
  /// A statement that returns a row when the table that its one bound value names exists.
  virtual std::string table_exists() const = 0;
  /// A statement that takes, until the end of the transaction, a lock named by its one
  /// bound text value (writers of one object in the default database, registrations of
  /// one class, take it in a fixed order); empty when the transaction's write lock already
  /// excludes every other writer (SQLite).
  virtual std::string lock_name() const { return {}; }
  /// What follows a SELECT to lock the rows it reads until the end of the transaction
  /// (" FOR UPDATE"); empty where the transaction's write lock already excludes every
  /// other writer (SQLite).
  virtual std::string_view lock_rows() const noexcept { return {}; }
  /// A statement with one row and one integer column: the database's clock, microseconds
  /// since the Unix epoch (UTC); empty where the database keeps no clock of its own (SQLite
  /// runs in the process: its clock is the process's).
  virtual std::string clock_microseconds() const { return {}; }
  /// A statement with one row that tells which database a connection reaches: the server
  /// and database (equal for two connections to one database), then the schema and the
  /// search path it works in (text columns); empty where databases are files of their own.
  virtual std::string database_identity() const { return {}; }
  /// A statement that sets, for the rest of the transaction, the search path to its one
  /// bound text value (a path as database_identity gives it, or a quoted schema name).
  virtual std::string set_search_path() const { return {}; }
  /// A statement that returns a row while the server session its one bound integer names
  /// (driver::Connection::session) is alive; empty for a database without sessions.
  virtual std::string session_alive() const { return {}; }

  /// `CREATE TABLE IF NOT EXISTS table (name type, ...[, constraints])`.
  std::string create_table(std::string_view table, std::span<const ColumnDef> columns,
                           std::string_view constraints = {}) const;
  /// The name of an index of `table`: `table` and `suffix` joined, or, when that is longer
  /// than the database keeps, its first bytes (whole characters) and a hash of all of it.
  std::string index_name(std::string_view table, std::string_view suffix) const;
  /// `CREATE [UNIQUE] INDEX IF NOT EXISTS name ON table (columns)`.
  std::string create_index(std::string_view name, std::string_view table,
                           std::span<const std::string_view> columns, bool unique = false) const;
  /// `ALTER TABLE table ADD COLUMN column type`.
  std::string add_column(std::string_view table, std::string_view column,
                         std::string_view type) const;
  /// `INSERT INTO table (columns) VALUES (placeholders)`; with `ignore_duplicates`, a row
  /// that would break a unique constraint is left out (`ON CONFLICT DO NOTHING`) and the
  /// statement changes no row.
  std::string insert(std::string_view table, std::span<const std::string> columns,
                     bool ignore_duplicates = false) const;
  /// `text` with each `?` turned into the dialect's placeholder, numbered in order (for
  /// statement text that holds `?` nowhere but as placeholders).
  std::string with_placeholders(std::string_view text) const;

 protected:
  Dialect() = default;
  /// ` IN (?, ?, ...)`: each value bound with `bind_value`, for lists short enough to bind
  /// one by one.
  void bound_in_list(StatementWriter& w, const Operand& op,
                     std::span<const boost::json::value> values) const;
  /// `COALESCE(column, ?)` with the least 64-bit integer bound: the value of a plain
  /// column whose NULL counts as that (Operand::earliest_null).
  void column_or_earliest(StatementWriter& w, const Operand& op) const;
};

/// SQLite 3.38 or later. The connection registers the deterministic SQL function
/// `velmor_casefold(text)`; tables keep their rowid, which is the insertion order.
const Dialect& sqlite_dialect() noexcept;
/// PostgreSQL 12 or later; JSON-valued columns are `jsonb`. The database provides
/// `velmor_casefold(text)`.
const Dialect& postgres_dialect() noexcept;

}  // namespace velmor_models::backends::sql
