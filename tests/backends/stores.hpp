#pragma once
// The stores the conformance runners run against, by the parameter that names each: a
// store joins every runner by adding its line here.

#include <gtest/gtest.h>

#include <string>

#include "backends/temp_folder.hpp"

namespace velmor_test {

/// Every store: the in-memory reference store and SQLite in memory and on a file.
inline auto every_store() {
  return testing::Values(std::string("memory:"), std::string("sqlite::memory:"),
                         std::string("file"));
}
/// The stores that hold the versioned object store (SQL stores).
inline auto sql_stores() { return testing::Values(std::string("sqlite::memory:"), std::string("file")); }

/// The test name of a store's parameter.
inline std::string store_name(const testing::TestParamInfo<std::string>& info) {
  return info.param == "memory:"           ? "memory"
         : info.param == "sqlite::memory:" ? "sqlite_memory"
                                           : "sqlite_file";
}

/// The URL a store's parameter names; a file store's database is `file` in `folder`.
inline std::string store_url(const std::string& param, const TempFolder& folder,
                             const std::string& file) {
  return param == "file" ? folder.url(file) : param;
}

}  // namespace velmor_test
