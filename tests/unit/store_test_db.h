#pragma once
// A fresh database.db in a temporary folder, opened as the shared connection
// for one test, plus a second connection for setting up and checking rows.
// Tear-down checks what every store call must leave behind: no prepared
// statement and no open transaction.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include "store/database.h"
#include "support/daemon_harness.h"
#include "support/sqlite_file.h"

namespace tbtest {

class StoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tb::store::Database::Shared().Close();  // never inherit another test's file
    tb::store::Database::Shared().Open(dbPath);
    ASSERT_TRUE(tb::store::Database::Shared().IsOpen());
  }

  void TearDown() override {
    auto& db = tb::store::Database::Shared();
    {
      tb::MutexLock lock(db.Mutex());
      if (db.Handle()) {
        EXPECT_EQ(sqlite3_next_stmt(db.Handle(), nullptr), nullptr) << "statement left open";
        EXPECT_NE(sqlite3_get_autocommit(db.Handle()), 0) << "transaction left open";
      }
    }
    db.Close();
    EXPECT_FALSE(db.IsOpen());
  }

  TempFolder folder;
  const std::string dbPath = folder / "database.db";
  SqliteFile file{dbPath};
};

}  // namespace tbtest
