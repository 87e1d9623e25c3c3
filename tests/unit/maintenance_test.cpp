#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <stdexcept>
#include <thread>

#include "base/program_folder.h"
#include "service/maintenance.h"
#include "store/print_records.h"
#include "store_test_db.h"
#include "support/capture.h"

namespace tb::store {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Rows = std::vector<std::string>;

void Touch(const fs::path& path, fs::file_time_type when) {
  tbtest::WriteFile(path.string(), "x");
  fs::last_write_time(path, when);
}

TEST(CleanDocumentCache, DeletesOnlyRegularFilesOlderThanSeventyTwoHours) {
  tbtest::TempFolder folder;
  const fs::path cache = folder / "sumatrapdfcache";
  fs::create_directories(cache / "sub");
  const auto now = fs::file_time_type::clock::now();
  Touch(cache / "exactly72h.pdf", now - 72h);
  Touch(cache / "older.pdf", now - 72h - 1s);
  Touch(cache / "future.pdf", now + 24h);
  Touch(cache / "sub" / "ancient.pdf", now - 24h * 30);
  fs::last_write_time(cache / "sub", now - 24h * 30);
  {
    tbtest::CapturedFd out(1);
    CleanDocumentCache(cache, now);
    EXPECT_EQ(out.Text(), "[CacheCleaner] Deleted: older.pdf\n");
  }
  EXPECT_TRUE(fs::exists(cache / "exactly72h.pdf"));
  EXPECT_TRUE(fs::exists(cache / "future.pdf"));
  EXPECT_TRUE(fs::exists(cache / "sub" / "ancient.pdf"));
  {
    tbtest::CapturedFd out(1);
    CleanDocumentCache(cache, now + 1s);  // the boundary file has aged past the limit now
    EXPECT_EQ(out.Text(), "[CacheCleaner] Deleted: exactly72h.pdf\n");
  }
}

class MaintenanceStoreTest : public tbtest::StoreTest {};

TEST_F(MaintenanceStoreTest, RecordAtTheCutOffSecondIsKeptAndAnOlderOneDeleted) {
  const char* cutoff = "SELECT datetime('now','-3 days','localtime');";
  // The cut-off moves with the clock: retry when a second boundary passed.
  for (int attempt = 0; attempt < 5; ++attempt) {
    const Rows before = file.Query(cutoff);
    file.Exec("DELETE FROM print_files;"
              "INSERT INTO print_files(filePath,print_start_time) VALUES"
              "('cutoff', datetime('now','-3 days','localtime')||'.000'),"
              "('older', datetime('now','-3 days','-1 seconds','localtime')||'.999'),"
              "('recent', datetime('now','localtime')||'.000');");
    const std::optional<int> deleted = DeleteOldPrintRecords();
    if (file.Query(cutoff) != before) continue;
    EXPECT_EQ(deleted, std::optional<int>(1));
    EXPECT_EQ(file.Query("SELECT filePath FROM print_files ORDER BY id;"),
              (Rows{"cutoff", "recent"}));
    return;
  }
  FAIL() << "the clock kept crossing a second boundary";
}

TEST_F(MaintenanceStoreTest, OneCycleSweepsTheCacheAndDeletesOldRecords) {
  const fs::path cache = folder / "sumatrapdfcache";
  fs::create_directory(cache);
  Touch(cache / "stale.bin", fs::file_time_type::clock::now() - 100h);
  Touch(cache / "new.bin", fs::file_time_type::clock::now());
  file.Exec("INSERT INTO print_files(print_start_time) VALUES('2000-01-01 00:00:00.000'),"
            "('2000-01-02 00:00:00.000'),(datetime('now','localtime')||'.000');");
  SetProgramFolderForTesting(folder.path());
  {
    tbtest::CapturedFd out(1);
    RunMaintenanceCycle();
    RunMaintenanceCycle();  // the count is written also when it is 0
    EXPECT_EQ(out.Text(),
              "[CacheCleaner] Running...\n"
              "[CacheCleaner] Deleted: stale.bin\n"
              "[Maintenance] Deleted 2 old records.\n"
              "[CacheCleaner] Running...\n"
              "[Maintenance] Deleted 0 old records.\n");
  }
  EXPECT_TRUE(fs::exists(cache / "new.bin"));
  Database::Shared().Close();
  {
    tbtest::CapturedFd out(1);
    RunMaintenanceCycle();  // no database: no record step, no line
    EXPECT_EQ(out.Text(), "[CacheCleaner] Running...\n");
  }
  SetProgramFolderForTesting("");
}

TEST(MaintenanceThreadTest, StopWhileWaitingEndsAtOnceWithoutACycle) {
  std::atomic<int> cycles{0};
  MaintenanceThread thread(kMaintenanceInterval, [&] { ++cycles; });
  thread.Start();
  std::this_thread::sleep_for(50ms);  // let it reach its wait
  auto stopped = std::async(std::launch::async, [&] { thread.Stop(); });
  ASSERT_EQ(stopped.wait_for(10s), std::future_status::ready);  // not after the hour
  EXPECT_EQ(cycles, 0);
}

TEST(MaintenanceThreadTest, CyclesRepeatAndExceptionsAreLoggedWithoutEndingTheThread) {
  std::atomic<int> cycles{0};
  std::promise<void> third;
  MaintenanceThread thread(5ms, [&] {
    const int n = ++cycles;
    if (n == 1) throw std::runtime_error("disk gone");
    if (n == 2) throw 42;
    if (n == 3) third.set_value();
  });
  tbtest::CapturedFd err(2);
  thread.Start();
  ASSERT_EQ(third.get_future().wait_for(30s), std::future_status::ready);
  thread.Stop();
  EXPECT_EQ(err.Text(), "[Maintenance] exception: disk gone\n[Maintenance] unknown exception\n");
}

TEST(MaintenanceThreadTest, StopDuringACycleLetsItFinishAndRunsNoOther) {
  std::promise<void> entered, release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<int> started{0}, finished{0};
  MaintenanceThread thread(5ms, [&] {
    if (++started == 1) {
      entered.set_value();
      released.wait();
    }
    ++finished;
  });
  thread.Start();
  entered.get_future().wait();
  auto stopped = std::async(std::launch::async, [&] { thread.Stop(); });
  while (!thread.StopRequested()) std::this_thread::yield();
  EXPECT_EQ(stopped.wait_for(100ms), std::future_status::timeout);  // waits for the cycle
  release.set_value();
  ASSERT_EQ(stopped.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(finished, 1);
  EXPECT_EQ(started, 1);
}

}  // namespace
}  // namespace tb::store
