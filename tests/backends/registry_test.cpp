#include "velmor_models/backends/registry.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <thread>

#include "backends/temp_folder.hpp"
#include "velmor_models/backends/memory/memory_backend.hpp"
#include "velmor_models/backends/tables.hpp"
#include "velmor_models/querysets/errors.hpp"
#include "velmor_models/querysets/qsetkit.hpp"
#include "velmor_utils/errors.hpp"

namespace {

namespace backends = velmor_models::backends;
using velmor_models::classes::model::CoreTypes;
using velmor_models::classes::model::Model;
using velmor_models::classes::model::ModelClass;
using velmor_models::classes::model::ModelClassPtr;
using velmor_models::querysets::errors::DatabaseError;
using velmor_models::querysets::executor::Executor;
using velmor_models::querysets::qsetkit::QuerySet;

const ModelClassPtr& note() {
  static const ModelClassPtr cls =
      ModelClass::create("Note", "notes", {{"title", CoreTypes::STRING, true, {}}});
  return cls;
}

std::int64_t count(std::string_view alias) {
  return Executor(QuerySet<Model>(note()).using_(alias)).count();
}

void add_note(std::string_view alias, std::string title) {
  const boost::json::object record{{"title", std::move(title)}};
  backends::insert_records(alias, *note(), {&record, 1});
}

std::string message_of(const std::function<void()>& f) {
  try {
    f();
  } catch (const velmor_utils::errors::Error& e) {
    return e.what();
  }
  return "(no error)";
}

class Registry : public ::testing::Test {
 protected:
  void SetUp() override { backends::reset(); }
  void TearDown() override { backends::reset(); }
  velmor_test::TempFolder folder;
};

TEST_F(Registry, FrameworkAliasesHaveTheirOwnSharedMemoryDatabasesUnconfigured) {
  EXPECT_TRUE(backends::configured_aliases().empty());
  for (const char* alias : {"default", "lakehouse"}) backends::create_table(alias, *note());
  add_note("default", "a");
  EXPECT_EQ(count("default"), 1);
  EXPECT_EQ(count("lakehouse"), 0);
  // Another thread sees the same database.
  std::int64_t seen = -1;
  std::thread([&] { seen = count("default"); }).join();
  EXPECT_EQ(seen, 1);
  backends::reset();  // a fresh, empty database
  backends::create_table("default", *note());
  EXPECT_EQ(count("default"), 0);
}

// A store plugs in by its URL scheme; the parts of its URLs reach its factory as given,
// and a scheme nobody registered is refused as before.
TEST_F(Registry, AStorePlugsInByItsScheme) {
  std::string seen;
  backends::register_store("fake", [&](std::string alias, const backends::DatabaseUrl& url) {
    seen = alias + " " + url.rest;
    for (const auto& [key, value] : url.parameters) seen += " " + key + "=" + value;
    return std::make_shared<backends::MemoryBackend>(std::move(alias));
  });
  backends::configure("main", "fake://host/db?a=1&b");
  EXPECT_EQ(seen, "main //host/db a=1 b=");
  backends::create_table("main", *note());  // the memory store's: it holds no tables
  EXPECT_EQ(count("main"), 0);
  const auto schemes = backends::registered_schemes();
  EXPECT_NE(std::find(schemes.begin(), schemes.end(), "fake"), schemes.end());
  EXPECT_NE(message_of([] {
              backends::configure("x", "nosuch://db");
            }).find("expected sqlite:///absolute/path.db"),
            std::string::npos);
}

TEST_F(Registry, UnknownAliasNamesItAndTheConfiguredOnes) {
  backends::configure("reports", "sqlite::memory:");
  backends::configure("archive", folder.url("archive.db"));
  EXPECT_EQ(backends::configured_aliases(), (std::vector<std::string>{"archive", "reports"}));
  std::string msg = message_of([] { (void)backends::backend_for("nobody"); });
  for (const char* part : {"'nobody'", "'archive', 'reports'", "'default'"})
    EXPECT_NE(msg.find(part), std::string::npos) << msg;
  EXPECT_THROW((void)count("nobody"), velmor_utils::errors::ValueError);
}

TEST_F(Registry, AFileDatabaseKeepsItsRowsAcrossReconfiguration) {
  backends::configure("main", folder.url("main.db"));
  backends::create_table("main", *note());
  add_note("main", "kept");
  backends::configure("main", "sqlite::memory:");
  backends::create_table("main", *note());
  EXPECT_EQ(count("main"), 0);
  backends::configure("main", folder.url("main.db"));
  EXPECT_EQ(count("main"), 1);
}

TEST_F(Registry, AUrlThatCannotBeOpenedIsAnErrorNamingItAndChangesNothing) {
  backends::configure("main", "memory:");
  const auto missing = folder.path() / "no-such-folder";
  std::string bad_url = "sqlite://" + (missing / "app.db").string();
  std::string msg = message_of([&] { backends::configure("main", bad_url); });
  EXPECT_NE(msg.find(bad_url), std::string::npos) << msg;
  EXPECT_NE(msg.find("does not exist"), std::string::npos) << msg;
  EXPECT_FALSE(std::filesystem::exists(missing));
  // The earlier mapping stands.
  EXPECT_EQ(backends::backend_for("main")->dialect(), nullptr);

  const auto text_file = folder.path() / "notes.txt";
  const std::string content(4096, 'x');
  std::ofstream(text_file) << content;
  std::string text_url = folder.url("notes.txt");
  try {
    backends::configure("main", text_url);
    ADD_FAILURE() << "a text file was accepted as a database";
  } catch (const DatabaseError& e) {
    EXPECT_NE(std::string(e.what()).find(text_url), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("not a database"), std::string::npos) << e.what();
    EXPECT_EQ(e.code(), "26");  // SQLITE_NOTADB
    EXPECT_EQ(e.alias(), "main");
  }
  std::ifstream in(text_file);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), content);
  EXPECT_FALSE(std::filesystem::exists(folder.path() / "notes.txt-wal"));

  // A PostgreSQL server that cannot be reached, or no PostgreSQL store in this build.
  const auto schemes = backends::registered_schemes();
  const bool postgres = std::find(schemes.begin(), schemes.end(), "postgresql") != schemes.end();
  const std::string unreachable = "postgresql://127.0.0.1:1/app";
  EXPECT_NE(message_of([&] {
              backends::configure("main", unreachable);
            }).find(postgres ? unreachable : "not supported yet"),
            std::string::npos);
  EXPECT_EQ(backends::configured_aliases(), std::vector<std::string>{"main"});
}

TEST_F(Registry, AReadOnlyFileRefusesWritesWithADatabaseError) {
  if (::geteuid() == 0) GTEST_SKIP() << "file permissions do not bind root";
  backends::configure("main", folder.url("ro.db"));
  backends::create_table("main", *note());
  add_note("main", "a");
  backends::reset();
  for (const char* f : {"ro.db", "ro.db-wal", "ro.db-shm"})
    if (std::filesystem::exists(folder.path() / f))
      std::filesystem::permissions(folder.path() / f, std::filesystem::perms::owner_read);
  try {
    // Refused when opened (WAL needs its index file) or at the first write.
    backends::configure("main", folder.url("ro.db"));
    add_note("main", "b");
    ADD_FAILURE() << "wrote to a read-only file";
  } catch (const DatabaseError& e) {
    EXPECT_NE(std::string(e.what()).find(folder.url("ro.db")), std::string::npos) << e.what();
  }
}

}  // namespace
