// POST /print when the machine misbehaves: a cache folder that cannot be
// written or fills up, a database that has become read-only or is locked by
// another program, a print program killed by a signal, a stop in the middle of
// a print. Mounting and the immutable flag need root; without it those tests
// skip.
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
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
#include "support/raw_http.h"
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

// Another program's lock on database.db, released within the busy timeout:
// the record waits for it instead of being lost.
TEST_F(PrintFaults, DatabaseLockedBrieflyDelaysTheRecordAndKeepsIt) {
  // The program ends only once the test holds the lock, so the insert is sure
  // to meet it (bounded, should the test fail before that).
  tbtest::PlacePrintProgram(folder,
                            "touch started; i=0; while [ ! -e locked ] && [ $i -lt 300 ]; do "
                            "sleep 0.05; i=$((i+1)); done; exit 0");
  DaemonProcess daemon(folder);

  auto print = std::async(std::launch::async, [] {
    httplib::Client c("127.0.0.1", 3806);
    c.set_read_timeout(60, 0);
    json body{{"LabelContent", tbtest::Base64Encode("%PDF-1.4 waits for the lock")},
              {"PrinterName", "Test Printer"}};
    return tbtest::PostPrint(c, body);
  });
  for (int i = 0; i < 200 && !fs::exists(folder / "started"); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_TRUE(fs::exists(folder / "started"));
  {
    tbtest::SqliteFile other(folder / "database.db");
    ASSERT_TRUE(other.Exec("PRAGMA busy_timeout=10000; BEGIN EXCLUSIVE;"));
    tbtest::WriteFile(folder / "locked", "");
    std::this_thread::sleep_for(std::chrono::seconds(2));
    EXPECT_EQ(print.wait_for(std::chrono::seconds(0)), std::future_status::timeout)
        << "the print was answered while its record could not be written";
    ASSERT_TRUE(other.Exec("COMMIT;"));
  }

  json reply = print.get();
  EXPECT_EQ(reply["status"], "success") << reply;
  json history = tbtest::History(client);
  ASSERT_EQ(history.size(), 1u) << history;
  EXPECT_EQ(history[0]["md5sum"], reply["md5sum"]);
  EXPECT_EQ(history[0]["code"], 0);
  EXPECT_EQ(daemon.Stderr().find("INSERT print_files failed"), std::string::npos) << daemon.Stderr();
}

// A lock held past the busy timeout: the print is still answered (the paper
// came out) and the lost record is named in the log; a configuration write
// reports its failure; what was stored before is intact afterwards and
// writes work again.
TEST_F(PrintFaults, DatabaseLockedPastTheBusyTimeoutFailsWritesOnlyAndSaysSo) {
  tbtest::PlacePrintProgram(folder, "exit 0");
  DaemonProcess daemon(folder);
  auto setDefault = [this](const std::string& printer) {
    auto r = client.Get(("/default?printerName=" + printer).c_str());
    return r ? std::make_pair(r->status, r->body) : std::make_pair(0, std::string());
  };
  ASSERT_EQ(setDefault("Before").first, 303);
  const json before = Print("%PDF-1.4 before the lock");
  ASSERT_EQ(before["status"], "success");

  {
    // A writer in the middle of its transaction: reads go on (the print's
    // settings are read as stored), every write waits for it.
    tbtest::SqliteFile other(folder / "database.db");
    ASSERT_TRUE(other.Exec(
        "PRAGMA busy_timeout=10000; BEGIN IMMEDIATE;"
        "INSERT INTO config(type,flag,key,value) VALUES('*','','','Other program');"));

    EXPECT_EQ(Print("%PDF-1.4 under the lock")["status"], "success");
    EXPECT_EQ(status, 200);
    EXPECT_TRUE(tbtest::WaitForLog(daemon, "INSERT print_files failed: database is locked",
                                   std::chrono::seconds(5)))
        << daemon.Stderr();

    EXPECT_EQ(setDefault("During"),
              std::make_pair(500, json{{"msg", "Failed to save default printer."},
                                       {"status", "error"}}
                                      .dump(4)));
    EXPECT_TRUE(tbtest::WaitForLog(daemon, "SetConfigValues BEGIN failed: database is locked",
                                   std::chrono::seconds(5)))
        << daemon.Stderr();
    ASSERT_TRUE(other.Exec("ROLLBACK;"));
  }

  json history = tbtest::History(client);
  ASSERT_EQ(history.size(), 1u) << history;
  EXPECT_EQ(history[0]["md5sum"], before["md5sum"]);
  tbtest::SqliteFile db(folder / "database.db");
  EXPECT_EQ(db.Query("SELECT value FROM config WHERE type='*';"), std::vector<std::string>{"Before"});
  EXPECT_EQ(db.Query("SELECT value FROM config WHERE key='SUMATRA_PRINT_SETTINGS';"),
            std::vector<std::string>{"fit"});

  // Once the lock is gone, writes succeed again.
  EXPECT_EQ(setDefault("After").first, 303);
  EXPECT_EQ(Print("%PDF-1.4 after the lock")["status"], "success");
  EXPECT_EQ(tbtest::History(client).size(), 2u);
  EXPECT_EQ(db.Query("SELECT value FROM config WHERE type='*';"), std::vector<std::string>{"After"});
}

}  // namespace

namespace {

// A stop lets the print in flight finish and be recorded, and refuses a print
// that still reaches the daemon afterwards: a keep-alive connection opened
// before the stop is served until it has been idle for its timeout.
TEST(ServiceStop, PrintInFlightFinishesAndIsRecordedALaterOneIsRefused) {
  TempFolder folder;
  // With nobody logged in the service runs the program as an unprivileged
  // account, which may write only here.
  fs::create_directory(folder / "marks");
  ::chmod((folder / "marks").c_str(), 0777);
  tbtest::PlacePrintProgram(folder, "touch marks/started; sleep 3; exit 0");
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
  for (int i = 0; i < 200 && !fs::exists(folder / "marks/started"); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_TRUE(fs::exists(folder / "marks/started"));

  // Used just before the stop, so it is well inside its idle timeout.
  tbtest::RawConnection open;
  ASSERT_TRUE(open.Send("GET /version HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
  auto version = open.ReadResponse();
  ASSERT_TRUE(version);
  ASSERT_EQ(version->status, 200);
  // Its pool thread must be back waiting on the connection before the stop:
  // one that is still finishing the answer sees the closed listener and
  // drops the connection instead (on a busy machine that takes a while).
  std::this_thread::sleep_for(std::chrono::milliseconds(400));

  daemon.Signal(SIGTERM);
  // The listener closes after the shutting-down flag is set.
  ASSERT_TRUE(tbtest::WaitForPortFree(3806, std::chrono::seconds(3)));
  const std::string late =
      json{{"LabelContent", tbtest::Base64Encode("%PDF-1.4 too late")}, {"PrinterName", "P"}}.dump();
  ASSERT_TRUE(open.Send("POST /print HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
                        "Content-Length: " + std::to_string(late.size()) + "\r\n\r\n" + late));
  auto refused = open.ReadResponse();
  ASSERT_TRUE(refused) << "no answer to a print sent on an open connection during the stop";
  EXPECT_EQ(refused->status, 503);
  EXPECT_EQ(json::parse(refused->body, nullptr, false),
            (json{{"status", "error"}, {"message", "service is shutting down"}, {"code", -503}}));

  json reply = print.get();
  EXPECT_EQ(reply["status"], "success") << reply;
  // Stop-pending reports come every 250 ms; an unread notify socket fills up
  // (10 datagrams) and would block the daemon's report, so keep reading.
  EXPECT_TRUE(notify.WaitFor("STATUS=Stopped, exit code 0", std::chrono::seconds(50)));
  auto exit = daemon.Wait(std::chrono::seconds(10));
  ASSERT_TRUE(exit);
  EXPECT_EQ(*exit, 0);
  tbtest::SqliteFile db(folder / "database.db");
  EXPECT_EQ(db.Query("SELECT code, md5sum FROM print_files;"),
            std::vector<std::string>{"0|" + reply.value("md5sum", std::string())});
}

}  // namespace
