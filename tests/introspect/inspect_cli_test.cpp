// velmor_inspect run as a subprocess: help, refused files, the schema output and a query,
// on a SQLite file and on a PostgreSQL schema.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <boost/json.hpp>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "backends/temp_folder.hpp"
#include "introspect/fixture_db.hpp"
#include "introspect/pg_shop.hpp"

namespace {

namespace json = boost::json;
namespace fs = std::filesystem;

struct ToolRun {
  int status = -1;
  std::string out;
  std::string err;
};

std::string slurp(const fs::path& file) {
  std::ifstream in(file);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string quoted(const std::string& arg) {
  std::string out(1, '\'');
  for (char c : arg) {
    if (c == '\'')
      out.append("'\\''");
    else
      out.push_back(c);
  }
  out.push_back('\'');
  return out;
}

class InspectTool : public ::testing::Test {
 protected:
  void SetUp() override { velmor_test::write_database(db(), velmor_test::kShop); }
  std::string db() const { return (folder_.path() / "shop.db").string(); }

  ToolRun run(const std::vector<std::string>& args) const {
    std::string command = quoted(VELMOR_INSPECT_PATH);
    for (const auto& a : args) command.append(" ").append(quoted(a));
    const fs::path out = folder_.path() / "out", err = folder_.path() / "err";
    command.append(" >").append(quoted(out.string())).append(" 2>").append(quoted(err.string()));
    const int raw = std::system(command.c_str());
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, slurp(out), slurp(err)};
  }

  velmor_test::TempFolder folder_;
};

TEST_F(InspectTool, HelpNamesTheOptions) {
  const ToolRun r = run({"--help"});
  EXPECT_EQ(r.status, 0);
  for (const char* word : {"Usage", "--table", "--filter", "--order-by", "--limit", "--offset"})
    EXPECT_NE(r.out.find(word), std::string::npos) << word;
}

TEST_F(InspectTool, ClearOneLineErrors) {
  const std::string missing = (folder_.path() / "missing.db").string();
  const std::string text = (folder_.path() / "notes.txt").string();
  std::ofstream(text) << "plain text\n";
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string message;
  };
  const Case cases[] = {
      {{missing}, 1, "SQLite database '" + missing + "': no such file"},
      {{text}, 1, "SQLite database '" + text + "': file is not a database"},
      {{db(), "--table", "nowhere"}, 1, "no table 'nowhere'"},
      {{db(), "--table", "customers", "--filter", "age"}, 1, "field__lookup=value"},
      {{db(), "--table", "customers", "--filter", "agee=1"}, 1, "no field 'agee'"},
      {{db(), "--filter", "age=1"}, 2, "--filter requires --table"},
      {{}, 2, "database is required"},
  };
  for (const Case& c : cases) {
    const ToolRun r = run(c.args);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_TRUE(r.out.empty()) << r.out;
    EXPECT_EQ(r.err.rfind("velmor_inspect: ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
  }
  EXPECT_FALSE(fs::exists(missing));
}

TEST_F(InspectTool, PrintsEverySchemaAsJson) {
  const ToolRun r = run({db()});
  ASSERT_EQ(r.status, 0) << r.err;
  const json::object schemas = json::parse(r.out).as_object();
  ASSERT_EQ(schemas.size(), 4u);
  EXPECT_EQ(schemas.at("order_lines").at("title"), "OrderLine");
  EXPECT_EQ(schemas.at("order_lines").at("__primary_key__"), json::parse(R"(["order_id","line"])"));
  EXPECT_EQ(schemas.at("customers").at("properties").at("score").at("type"), "number");
}

TEST_F(InspectTool, QueryPrintsRowsAsJsonLinesAndChangesNothing) {
  const auto before = fs::last_write_time(db());
  const ToolRun r =
      run({db(), "--table", "customers", "--filter", "age__gte=21", "--filter",
           "name__in=[\"Ann\",\"Cid\",\"Dee\"]", "--order-by", "-age", "--limit", "2"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(
      r.out,
      R"({"id":4,"name":"Dee","age":45,"score":0.5,"active":true,"joined":null,"note":"n/a","untyped":null})"
      "\n"
      R"({"id":1,"name":"Ann","age":34,"score":1.5,"active":true,"joined":"2020-01-01","note":"n/a","untyped":null})"
      "\n");
  // Bare words are text; an offset without a limit works.
  const ToolRun words = run({db(), "--table", "customers", "--filter", "name__startswith=b",
                             "--order-by", "name", "--offset", "0"});
  ASSERT_EQ(words.status, 0) << words.err;
  EXPECT_EQ(json::parse(words.out).at("name"), "bob");
  EXPECT_EQ(fs::last_write_time(db()), before);
  EXPECT_FALSE(fs::exists(db() + "-wal"));
}

// The same on PostgreSQL: the URL in place of the file (skipped without VELMOR_PG_URL).
TEST_F(InspectTool, APostgresUrlIsInspectedAndQueriedAsAFileIs) {
  if (!velmor_test::pg_url()) GTEST_SKIP() << velmor_test::pg_skip_reason;
  const std::string url = velmor_test::write_pg_shop("velmor_inspect_cli");
  const ToolRun schemas = run({url});
  ASSERT_EQ(schemas.status, 0) << schemas.err;
  const json::object parsed = json::parse(schemas.out).as_object();
  EXPECT_EQ(parsed.size(), 3u);
  EXPECT_EQ(parsed.at("customers").at("properties").at("tags").at("type"), "array");
  const ToolRun rows = run({url, "--table", "customers", "--filter", "age__gte=21", "--order-by",
                            "-age", "--limit", "1"});
  ASSERT_EQ(rows.status, 0) << rows.err;
  EXPECT_EQ(json::parse(rows.out).at("name"), "Dee");
  const ToolRun down = run({"postgresql:host=/nonexistent port=5"});
  EXPECT_EQ(down.status, 1);
  EXPECT_NE(down.err.find("cannot connect"), std::string::npos) << down.err;
  EXPECT_EQ(down.err.find('\n'), down.err.size() - 1) << down.err;
}

}  // namespace
