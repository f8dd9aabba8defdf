// velmor_inspect: prints the object schemas of every table of a SQLite database or a
// PostgreSQL schema as JSON, or runs a simple query on one table and prints its rows as JSON
// lines.

#include <CLI/CLI.hpp>
#include <algorithm>
#include <boost/json/object.hpp>
#include <exception>
#include <iostream>
#include <limits>
#include <string>
#include <vector>

#include "pretty_json.hpp"
#include "table_query.hpp"

namespace {

constexpr const char* kProgram = "velmor_inspect";

// One line on stderr, whatever the message holds.
int fail(std::string_view message, int code) {
  std::string line(message);
  for (char& c : line)
    if (c == '\n' || c == '\r') c = ' ';
  std::cerr << kProgram << ": " << line << '\n';
  return code;
}

// "--order-by -age" reads well but CLI11 would take "-age" for an option: glue each
// ordering to its option first.
std::vector<std::string> joined_orderings(int argc, char** argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--order-by" && i + 1 < argc) arg += "=" + std::string(argv[++i]);
    args.push_back(std::move(arg));
  }
  std::reverse(args.begin(), args.end());  // CLI11 reads a vector of arguments from the back
  return args;
}

}  // namespace

int main(int argc, char** argv) {
  const CLI::Range kCount(std::int64_t{0}, std::numeric_limits<std::int64_t>::max());
  CLI::App app{
      "Prints the object schemas of every table of a SQLite database, or of the current "
      "schema of a PostgreSQL database, as JSON, or, with --table, runs a query on one table "
      "and prints its rows as JSON lines. A SQLite file is opened read-only; on PostgreSQL "
      "only SELECT statements run.",
      kProgram};
  std::string database;
  velmor_inspect::TableQuery query;
  app.add_option("database", database,
                 "SQLite database file, or PostgreSQL URL (postgresql://... or "
                 "postgresql:host=... dbname=...)")
      ->required();
  CLI::Option* table =
      app.add_option("--table", query.table, "Query this table instead of printing the schemas");
  app.add_option("--filter", query.filters,
                 "FIELD__LOOKUP=VALUE (repeatable; VALUE is read as JSON when it is JSON, "
                 "else as text), e.g. age__gte=21 or name__startswith=Ann")
      ->allow_extra_args(false)
      ->needs(table);
  app.add_option("--order-by", query.order_by, "FIELD or -FIELD for descending (repeatable)")
      ->allow_extra_args(false)
      ->needs(table);
  app.add_option("--limit", query.limit, "At most this many rows")->check(kCount)->needs(table);
  app.add_option("--offset", query.offset, "Skip this many rows first")
      ->check(kCount)
      ->needs(table);

  try {
    app.parse(joined_orderings(argc, argv));
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);  // --help
    return fail(e.what(), 2);
  }

  try {
    const auto tables = velmor_inspect::introspect(database);
    if (query.table.empty() && table->count() == 0) {
      boost::json::object schemas;
      for (const auto& t : tables) schemas[t.name] = t.schema.to_fields();
      std::cout << velmor_inspect::pretty_json(schemas) << '\n';
    } else {
      velmor_inspect::run_table_query(database, tables, query, std::cout);
    }
    std::cout.flush();
    if (!std::cout) return fail("cannot write the output", 1);
    return 0;
  } catch (const std::exception& e) {
    return fail(e.what(), 1);
  }
}
