// POST /print when the machine misbehaves: a cache folder that cannot be
// written or fills up, a database that has become read-only, a print program
// killed by a signal, a stop in the middle of a print. Mounting and the immutable flag need root; without it
// these tests skip.
#include <signal.h>
#include <sys/mount.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <thread>
#include <string>
#include <vector>

#include "platform/md5.h"
#include "support/daemon_harness.h"
#include "support/notify_socket.h"
#include "support/print_programs.h"
#include "support/sqlite_file.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using tbtest::DaemonProcess;
using tbtest::TempFolder;

// A small tmpfs over `dir` for the lifetime of the object.
class ScopedTmpfs {
 public:
  ScopedTmpfs(const std::string& dir, const std::string& options) : dir_(dir) {
    mounted_ = ::mount("tmpfs", dir.c_str(), "tmpfs", 0, options.c_str()) == 0;
  }
  ~ScopedTmpfs() {
    if (mounted_) ::umount2(dir_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }

 private:
  std::string dir_;
  bool mounted_ = false;
};

std::vector<std::string> Names(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
  return names;
}

class PrintFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directory(folder / "sumatrapdfcache");
    client.set_read_timeout(60, 0);
  }
  json Print(const std::string& document) {
    json body{{"LabelContent", tbtest::Base64Encode(document)}, {"PrinterName", "Test Printer"}};
    return tbtest::PostPrint(client, body, &status);
  }

  TempFolder folder;
  httplib::Client client{"127.0.0.1", 3806};
  int status = 0;
};

TEST_F(PrintFaults, CacheFolderThatCannotBeWrittenGivesTheExceptionReply) {
  ScopedTmpfs ro(folder / "sumatrapdfcache", "ro,size=64k");
  if (!ro.mounted()) GTEST_SKIP() << "cannot mount a read-only tmpfs here (needs root)";
  tbtest::PlacePrintProgram(folder, "echo ran >> runs");
  DaemonProcess daemon(folder);

  EXPECT_EQ(Print("%PDF-1.4 cache test"),
            (json{{"status", "error"}, {"msg", "Cannot create file in sumatrapdfcache"}}));
  EXPECT_EQ(status, 200);
  EXPECT_FALSE(fs::exists(folder / "runs"));  // the print program never started
  EXPECT_TRUE(Names(folder / "sumatrapdfcache").empty());
  EXPECT_NE(daemon.Stderr().find("Exception: Cannot create file in sumatrapdfcache"),
            std::string::npos);
}

TEST_F(PrintFaults, FullCacheFolderLeavesNoPartialDocumentAndFreesItsSpace) {
  ScopedTmpfs small(folder / "sumatrapdfcache", "size=64k");
  if (!small.mounted()) GTEST_SKIP() << "cannot mount a small tmpfs here (needs root)";
  tbtest::PlacePrintProgram(folder, "exit 0");
  DaemonProcess daemon(folder);

  const std::string large(256 * 1024, 'x');
  EXPECT_EQ(Print(large),
            (json{{"status", "error"}, {"msg", "Failed to write decoded file into sumatrapdfcache"}}));
  EXPECT_TRUE(Names(folder / "sumatrapdfcache").empty());

  // What the failed write took is given back: a small document fits again.
  const std::string small_doc = "%PDF-1.4 fits";
  EXPECT_EQ(Print(small_doc)["status"], "success");
  EXPECT_EQ(Names(folder / "sumatrapdfcache"),
            std::vector<std::string>{tb::platform::Md5HexOfText(tbtest::Base64Encode(small_doc)) + ".pdf"});
}

TEST_F(PrintFaults, ProgramKilledBySignalIsAFailedPrintAndRecorded) {
  tbtest::PlacePrintProgram(folder, "kill -KILL $$");
  DaemonProcess daemon(folder);
  json reply = Print("%PDF-1.4 killed");
  EXPECT_EQ(reply["status"], "error");
  EXPECT_EQ(reply["message"], "Print failed");
  EXPECT_EQ(reply["code"], 128 + 9);  // the shell's convention for a signal
  json history = tbtest::History(client);
  ASSERT_EQ(history.size(), 1u) << history;
  EXPECT_EQ(history[0]["code"], 128 + 9);

  // The daemon is unharmed.
  tbtest::PlacePrintProgram(folder, "exit 0");
  EXPECT_EQ(Print("%PDF-1.4 after")["status"], "success");
}

TEST_F(PrintFaults, ReadOnlyDatabaseStillAnswersThePrintAndNamesTheFailure) {
  tbtest::PlacePrintProgram(folder, "exit 0");
  {
    DaemonProcess first(folder);  // creates database.db with its tables
    first.Signal(SIGTERM);
    first.Wait(std::chrono::seconds(20));
  }
  ASSERT_TRUE(tbtest::WaitForPortFree(3806, std::chrono::seconds(10)));
  const std::string db = folder / "database.db";
  ASSERT_TRUE(fs::exists(db));
  // Root ignores permission bits; the immutable flag holds for root as well.
  if (std::system(("chattr +i '" + db + "' 2>/dev/null").c_str()) != 0) {
    GTEST_SKIP() << "cannot make database.db immutable here";
  }
  struct Unlock {
    std::string path;
    ~Unlock() { std::system(("chattr -i '" + path + "'").c_str()); }
  } unlock{db};

  DaemonProcess daemon(folder);
  EXPECT_EQ(Print("%PDF-1.4 read-only")["status"], "success");
  EXPECT_TRUE(tbtest::WaitForLog(daemon, "INSERT print_files failed: ", std::chrono::seconds(5)))
      << daemon.Stderr();
  EXPECT_EQ(tbtest::History(client), json::array());
}

}  // namespace

namespace {

TEST(ServiceStop, PrintInFlightFinishesAndIsRecordedBeforeTheServiceEnds) {
  TempFolder folder;
  tbtest::PlacePrintProgram(folder, "touch started; sleep 2; exit 0");
  tbtest::NotifySocket notify(folder / ".notify");
  tbtest::DaemonOptions options;
  options.args = {};  // as the service manager starts it
  options.env["NOTIFY_SOCKET"] = notify.path();
  DaemonProcess daemon(folder, options);
  ASSERT_TRUE(notify.WaitFor("READY=1", std::chrono::seconds(10)));

  auto print = std::async(std::launch::async, [] {
    httplib::Client c("127.0.0.1", 3806);
    c.set_read_timeout(60, 0);
    json body{{"LabelContent", tbtest::Base64Encode("%PDF-1.4 in flight")}, {"PrinterName", "P"}};
    return tbtest::PostPrint(c, body);
  });
  for (int i = 0; i < 200 && !fs::exists(folder / "started"); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_TRUE(fs::exists(folder / "started"));
  daemon.Signal(SIGTERM);

  EXPECT_EQ(print.get()["status"], "success");
  auto exit = daemon.Wait(std::chrono::seconds(50));
  ASSERT_TRUE(exit);
  EXPECT_EQ(*exit, 0);
  tbtest::SqliteFile db(folder / "database.db");
  EXPECT_EQ(db.Query("SELECT code FROM print_files;"), std::vector<std::string>{"0"});
}

}  // namespace
