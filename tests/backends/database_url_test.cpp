#include "velmor_models/backends/database_url.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "velmor_models/backends/registry.hpp"
#include "velmor_utils/errors.hpp"

namespace {

using velmor_models::backends::DatabaseUrl;
using velmor_models::backends::parse_database_url;
using Kind = DatabaseUrl::Kind;

TEST(DatabaseUrl, ReadsEachForm) {
  const std::string here = std::filesystem::current_path().string();
  struct Case {
    std::string url;
    Kind kind;
    std::string path;
    long timeout_ms;
  } cases[] = {
      {"sqlite:///var/data/app.db", Kind::sqlite_file, "/var/data/app.db", 5000},
      {"sqlite:app.db", Kind::sqlite_file, here + "/app.db", 5000},
      {"sqlite:data/../app.db", Kind::sqlite_file, here + "/app.db", 5000},
      {"sqlite::memory:", Kind::sqlite_memory, "", 5000},
      {"sqlite::memory:?timeout_ms=20", Kind::sqlite_memory, "", 20},
      {"sqlite:///tmp/x.db?timeout_ms=0", Kind::sqlite_file, "/tmp/x.db", 0},
      {"memory:", Kind::reference_memory, "", 5000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url);
    DatabaseUrl u = parse_database_url(c.url);
    EXPECT_EQ(u.kind, c.kind);
    EXPECT_EQ(u.path, c.path);
    EXPECT_EQ(u.busy_timeout.count(), c.timeout_ms);
    EXPECT_EQ(u.text, c.url);
  }
}

// PostgreSQL URLs are the PostgreSQL store's to read when the build includes it.
TEST(DatabaseUrl, PostgresqlUrlsGoToTheirStoreOrAreRefusedWithoutIt) {
  const auto schemes = velmor_models::backends::registered_schemes();
  const bool built_in = std::find(schemes.begin(), schemes.end(), "postgresql") != schemes.end();
  for (const std::string scheme : {"postgresql", "postgres"}) {
    const std::string url = scheme + "://db.example/app?sslmode=require";
    SCOPED_TRACE(url);
    if (built_in) {
      const auto u = parse_database_url(url);
      EXPECT_EQ(u.scheme, scheme);
      EXPECT_EQ(u.rest, "//db.example/app");
      ASSERT_EQ(u.parameters.size(), 1u);
      EXPECT_EQ(u.parameters[0].second, "require");
      continue;
    }
    try {
      (void)parse_database_url(url);
      ADD_FAILURE() << "accepted";
    } catch (const velmor_utils::errors::ValueError& e) {
      EXPECT_NE(std::string(e.what()).find("not supported yet"), std::string::npos) << e.what();
    }
  }
}

TEST(DatabaseUrl, RefusesWhatItCannotServeNamingTheUrl) {
  struct Case {
    std::string url;
    std::string says;
  } cases[] = {
      {"mysql://db/app", "expected sqlite:///absolute/path.db"},
      {"", "expected sqlite:///absolute/path.db"},
      {"sqlite:", "no file name"},
      {"sqlite:///", "no file name"},
      {"sqlite://host/app.db", "no host"},
      {"sqlite:/app.db", "three slashes"},
      {"sqlite:app.db?cache=shared", "unknown parameter 'cache'"},
      {"sqlite:app.db?mode=readonly", "mode takes ro or rw"},
      {"sqlite::memory:?mode=ro", "needs a database file"},
      {"sqlite:app.db?timeout_ms=-1", "milliseconds"},
      {"sqlite:app.db?timeout_ms=soon", "milliseconds"},
      {std::string("sqlite:a\0b.db", 13), "NUL"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url);
    try {
      (void)parse_database_url(c.url);
      ADD_FAILURE() << "accepted";
    } catch (const velmor_utils::errors::ValueError& e) {
      std::string msg = e.what();
      EXPECT_NE(msg.find(c.says), std::string::npos) << msg;
      EXPECT_NE(msg.find("database URL '"), std::string::npos) << msg;
    }
  }
}

}  // namespace
