#include <gtest/gtest.h>

#include "velmor_models/querysets/errors.hpp"

TEST(ErrorRoot, DatabaseErrorIsALibraryError) {
  velmor_models::querysets::errors::DatabaseError e("database is locked", "default", "SELECT 1",
                                                    "5", true);
  const velmor_utils::errors::Error& root = e;
  EXPECT_STREQ(root.what(), "database is locked");
  EXPECT_EQ(e.alias(), "default");
  EXPECT_TRUE(e.connection_usable());
}
