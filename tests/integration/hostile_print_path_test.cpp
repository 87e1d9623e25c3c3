// Requests a hostile page or host could send, against the real executable,
// grouped by route. Each case has a bounded time: a refusal must come at
// once, never after a wait on what the request named.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/md5.h"
#include "support/daemon_harness.h"
#include "support/print_programs.h"
#include "support/sqlite_file.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using std::chrono::steady_clock;
using tbtest::DaemonProcess;
using tbtest::TempFolder;

const json kUnreadable = {{"status", "error"}, {"message", "读取打印文件失败！"}, {"code", -2}};

class HostileInput : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directory(folder / "sumatrapdfcache");
    client.set_read_timeout(30, 0);
  }
  json Print(const json& body) { return tbtest::PostPrint(client, body, &status); }

  TempFolder folder;
  httplib::Client client{"127.0.0.1", 3806};
  int status = 0;
};

// ---- POST /print: "filePath" ----

TEST_F(HostileInput, PrintFilePathThatIsNoRegularFileIsRefusedAtOnce) {
  tbtest::PlacePrintProgram(folder, "echo ran >> runs");
  TempFolder bait;
  ASSERT_EQ(::mkfifo((bait / "fifo").c_str(), 0666), 0);
  fs::create_symlink("/dev/zero", bait / "zero.pdf");
  fs::create_directory(bait / "dir.pdf");
  const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  (bait / "sock").copy(addr.sun_path, sizeof addr.sun_path - 1);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  DaemonProcess daemon(folder);

  for (const std::string& path : {bait / "fifo", std::string("/dev/zero"), bait / "zero.pdf",
                                  bait / "dir.pdf", bait / "sock"}) {
    const auto start = steady_clock::now();
    EXPECT_EQ(Print(json{{"filePath", path}, {"PrinterName", "P"}}), kUnreadable) << path;
    EXPECT_EQ(status, 200);
    EXPECT_LT(steady_clock::now() - start, std::chrono::seconds(3)) << path;
    EXPECT_TRUE(tbtest::WaitForLog(
        daemon, "[Print] filePath refused (not a regular file): " + path + "\n",
        std::chrono::seconds(2)))
        << daemon.Stderr();
  }
  ::close(listener);
  // No thread of the daemon holds the FIFO open or waits on it.
  const int writer = ::open((bait / "fifo").c_str(), O_WRONLY | O_NONBLOCK);
  EXPECT_EQ(writer, -1);
  if (writer >= 0) ::close(writer);
  EXPECT_FALSE(fs::exists(folder / "runs"));  // nothing was printed
  EXPECT_EQ(tbtest::History(client), json::array());

  // A line feed in a refused path cannot start a line of its own.
  const std::string forged = bait / "dir.pdf\n[Print] forged";
  fs::create_directory(forged);
  EXPECT_EQ(Print(json{{"filePath", forged}, {"PrinterName", "P"}}), kUnreadable);
  EXPECT_TRUE(tbtest::WaitForLog(daemon, "dir.pdf\\n[Print] forged", std::chrono::seconds(2)));
  EXPECT_EQ(daemon.Stderr().find("\n[Print] forged"), std::string::npos);

  auto version = client.Get("/version");
  ASSERT_TRUE(version);
  EXPECT_EQ(version->status, 200);
}

// ---- POST /print: printer name and path on the print program's command line ----

TEST_F(HostileInput, PrintProgramGetsEachNameAsExactlyOneArgument) {
  tbtest::PlacePrintProgram(folder, "for a in \"$@\"; do printf '%s|' \"$a\" >> args; done; echo >> args");
  TempFolder docs;
  fs::create_directory(docs / "dir\\");
  tbtest::WriteFile(docs / "dir\\/label \\", "%PDF-1.4 x");
  DaemonProcess daemon(folder);

  struct Case {
    std::string printer, expectedPrinter;
  };
  const std::vector<Case> cases = {
      {"P\\", "P\\"},
      {"P\\\" -print-settings \"noscale", "P\\ -print-settings noscale"},
      {"Zebra \"GK\" \\\\", "Zebra GK \\\\"},
      {"Plain Printer", "Plain Printer"},
  };
  for (const Case& c : cases) {
    fs::remove(folder / "args");
    json reply = Print(json{{"filePath", docs / "dir\\/label \\"}, {"PrinterName", c.printer}});
    EXPECT_EQ(reply["status"], "success") << reply;
    // The document is the daemon's copy of what it read from the path.
    EXPECT_EQ(tbtest::ReadFile(folder / "args"),
              "-silent|-print-to|" + c.expectedPrinter + "|-print-settings|fit|" +
                  (folder / ("sumatrapdfcache/path-" +
                             tb::platform::Md5HexOfText("%PDF-1.4 x") + ".pdf")) +
                  "|\n")
        << c.printer;
  }
  // The record keeps the printer name as chosen, quotes included.
  json history = tbtest::History(client);
  ASSERT_EQ(history.size(), cases.size());
  EXPECT_EQ(history[1]["printerName"], "Zebra \"GK\" \\\\");
}

// ---- POST /print: a cached document rewritten while it is being printed ----

TEST_F(HostileInput, PrintRewritingACachedDocumentNeverHidesItFromAReader) {
  tbtest::PlacePrintProgram(folder, "exit 0");
  DaemonProcess daemon(folder);
  const std::string document(256 * 1024, 'L');
  const std::string text = tbtest::Base64Encode(document);
  const std::string cached =
      folder / ("sumatrapdfcache/" + tb::platform::Md5HexOfText(text) + ".pdf");
  ASSERT_EQ(Print(json{{"LabelContent", text}, {"PrinterName", "P"}})["status"], "success");

  std::atomic<bool> stop{false};
  std::atomic<int> misses{0}, opens{0};
  std::thread reader([&] {
    while (!stop) {
      const int fd = ::open(cached.c_str(), O_RDONLY);
      if (fd < 0) {
        ++misses;
        continue;
      }
      ::close(fd);
      ++opens;
    }
  });
  const auto deadline = steady_clock::now() + std::chrono::seconds(20);
  int prints = 0;
  for (; prints < 60 && steady_clock::now() < deadline; ++prints) {
    ASSERT_EQ(Print(json{{"LabelContent", text}, {"PrinterName", "P"}})["status"], "success");
  }
  stop = true;
  reader.join();
  EXPECT_EQ(misses, 0) << "of " << opens << " opens during " << prints << " prints";
  EXPECT_GT(opens, 0);
  EXPECT_EQ(tbtest::ReadFile(cached), document);
  // Only the document: no temporary file or old copy is left beside it.
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(folder / "sumatrapdfcache")) {
    names.push_back(e.path().filename().string());
  }
  EXPECT_EQ(names, std::vector<std::string>{fs::path(cached).filename().string()});
}

// ---- POST /remove ----

TEST_F(HostileInput, RemoveOnALockedDatabaseIsAFailureNotZeroRows) {
  DaemonProcess daemon(folder);
  auto remove = [this](const std::string& key) {
    auto r = client.Post("/remove", json{{"type", ""}, {"key", key}}.dump(), "application/json");
    return r ? json::parse(r->body, nullptr, false) : json();
  };
  {
    tbtest::SqliteFile other(folder / "database.db");
    ASSERT_TRUE(other.Exec("INSERT INTO config(type,flag,key,value) VALUES('','','shop','Zebra');"
                           "PRAGMA busy_timeout=10000; BEGIN IMMEDIATE;"));
    // The daemon waits out its busy timeout, then must say that it failed.
    EXPECT_EQ(remove("shop"), (json{{"status", "error"}, {"msg", "Database operation failed."}}));
    ASSERT_TRUE(other.Exec("ROLLBACK;"));
  }
  EXPECT_TRUE(tbtest::WaitForLog(daemon, "DeleteConfig failed: database is locked",
                                 std::chrono::seconds(2)));
  EXPECT_EQ(remove("shop"), (json{{"count", 1}, {"status", "success"}}));
  EXPECT_EQ(remove("shop"), (json{{"count", 0}, {"status", "success"}}));
}

// ---- files the daemon creates ----

TEST_F(HostileInput, DaemonFilesAreClosedToOthersDocumentsStayReadable) {
  tbtest::PlacePrintProgram(folder, "exit 0");
  ::chmod((folder / "sumatrapdfcache").c_str(), 0700);  // as an older build may have left it
  DaemonProcess daemon(folder);
  ASSERT_EQ(Print(json{{"LabelContent", "QUJD"}, {"PrinterName", "P"}})["status"], "success");
  auto mode = [](const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
  };
  EXPECT_EQ(mode(folder / "database.db"), 0640u);
  EXPECT_EQ(mode(folder / "sumatrapdfcache"), 0755u);
  EXPECT_EQ(mode(folder / ("sumatrapdfcache/" + tb::platform::Md5HexOfText("QUJD") + ".pdf")),
            0644u);
}

}  // namespace
