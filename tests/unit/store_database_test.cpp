#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>

#include "store/config_store.h"
#include "store/print_records.h"
#include "service/maintenance.h"
#include "store_test_db.h"
#include "support/capture.h"

namespace tb::store {
namespace {

using tbtest::StoreTest;

TEST_F(StoreTest, CloseWithAnUnfinishedStatementKeepsTheHandle) {
  auto& db = Database::Shared();
  sqlite3_stmt* leaked = nullptr;
  {
    tb::MutexLock lock(db.Mutex());
    ASSERT_EQ(sqlite3_prepare_v2(db.Handle(), "SELECT 1;", -1, &leaked, nullptr), SQLITE_OK);
  }
  {
    tbtest::CapturedFd err(2);
    db.Close();
    EXPECT_EQ(err.Text().rfind("sqlite3_close failed: ", 0), 0u) << err.Text();
  }
  EXPECT_TRUE(db.IsOpen());
  sqlite3_finalize(leaked);  // now the fixture's close must succeed
}

TEST_F(StoreTest, IdsContinueAfterEveryRowWasDeleted) {
  file.Exec("INSERT INTO print_files(md5sum) VALUES('a'),('b'),('c');"
            "DELETE FROM print_files;"
            "INSERT INTO print_files(md5sum) VALUES('d');");
  EXPECT_EQ(file.Query("SELECT id FROM print_files;"), (std::vector<std::string>{"4"}));
}

TEST(DatabaseWithoutFile, OpenFailureIsLoggedAndEveryOperationAnswersItsDefault) {
  tbtest::TempFolder folder;
  std::filesystem::create_directory(folder / "database.db");  // not openable as a file
  {
    tbtest::CapturedFd err(2);
    Database::Shared().Open(folder / "database.db");
    EXPECT_EQ(err.Text(), "Cannot open DB: unable to open database file\n");
  }
  ASSERT_FALSE(Database::Shared().IsOpen());

  EXPECT_EQ(GetPrintSettings(), "fit");
  EXPECT_TRUE(GetAutoScalePdf());
  std::string error;
  EXPECT_FALSE(SetConfigValue("PRINT", "k", "v", &error));
  EXPECT_EQ(error, "database is not initialized");
  error.clear();
  EXPECT_FALSE(SetAutoScalePdf(false, &error));
  EXPECT_EQ(error, "database is not initialized");
  EXPECT_FALSE(SetConfigValues({}));
  EXPECT_EQ(DeleteConfig("PRINT", ""), -1);
  EXPECT_TRUE(ListConfig("", "").empty());
  EXPECT_EQ(ListHistory(), nlohmann::json::array());
  EXPECT_FALSE(DeleteOldPrintRecords().has_value());
}

}  // namespace
}  // namespace tb::store
