#pragma once
// A SQLite database file written with the C API, for tests that read existing databases.

#include <sqlite3.h>

#include <stdexcept>
#include <string>

namespace velmor_test {

/// Runs `sql` (any number of statements) on the database file at `path`, creating it.
inline void write_database(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) {
    std::string message = db ? sqlite3_errmsg(db) : "out of memory";
    sqlite3_close(db);
    throw std::runtime_error(message);
  }
  char* error = nullptr;
  const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error);
  std::string message = error ? error : "";
  sqlite3_free(error);
  sqlite3_close(db);
  if (rc != SQLITE_OK) throw std::runtime_error(message);
}

/// The shop every test here reads: a plain table with a text key, odd type names and a
/// quoted name; a table written by the framework (with `_metadata`) and a composite key;
/// a table WITHOUT ROWID; and SQLite's own sqlite_sequence and one of the object store's
/// tables, which must not show.
inline constexpr const char* kShop = R"sql(
  CREATE TABLE customers (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    name VARCHAR(40) NOT NULL,
    age INT,
    score DOUBLE PRECISION,
    active BOOL DEFAULT 1,
    joined TIMESTAMP WITH TIME ZONE,
    note "odd type" DEFAULT 'n/a',
    untyped);
  INSERT INTO customers (name, age, score, active, joined) VALUES
    ('Ann', 34, 1.5, 1, '2020-01-01'), ('bob', 19, 2.5, 0, NULL),
    ('Cid', 21, NULL, 1, '2021-05-05'), ('Dee', 45, 0.5, 1, NULL);
  CREATE TABLE order_lines (
    order_id INTEGER NOT NULL, line INTEGER NOT NULL, item TEXT NOT NULL, qty INTEGER,
    _metadata TEXT, PRIMARY KEY (line, order_id));
  INSERT INTO order_lines VALUES (7, 1, 'pen', 2, '{"object_id": "\"ol-1\""}');
  CREATE TABLE "odd ""quoted"" place" (x BLOB, y CLOB);
  CREATE TABLE settings (key TEXT PRIMARY KEY, value INTEGER) WITHOUT ROWID;
  INSERT INTO settings VALUES ('b', 2), ('a', 1), ('c', 2);
  CREATE TABLE _velmor_objects (class_name TEXT, object_id TEXT);
)sql";

}  // namespace velmor_test
