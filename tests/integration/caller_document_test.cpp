// "filePath" against the service with nobody logged in, so that documents are
// opened as the service's print account and not as root. Whatever the path
// names, the answer comes at once; a refused or unreadable document leaves no
// digest and no record; a readable one is printed from the copy the daemon
// read.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <systemd/sd-login.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/md5.h"
#include "support/daemon_harness.h"
#include "support/notify_socket.h"
#include "support/print_programs.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using std::chrono::steady_clock;

const json kUnreadable = {{"status", "error"}, {"message", "读取打印文件失败！"}, {"code", -2}};

bool SomeoneIsLoggedIn() {
  char** ids = nullptr;
  const int n = sd_get_sessions(&ids);
  for (int i = 0; i < n; ++i) std::free(ids[i]);
  std::free(ids);
  return n > 0;
}

void MakeSparse(const std::string& path, off_t size) {
  tbtest::WriteFile(path, "");
  ASSERT_EQ(::truncate(path.c_str(), size), 0) << path;
}

std::vector<std::string> CacheNames(const tbtest::TempFolder& folder) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(folder / "sumatrapdfcache")) names.push_back(e.path().filename());
  return names;
}

TEST(CallerDocument, OpenedOnceAsThePrintAccountAndAnsweredAtOnce) {
  if (::geteuid() != 0) GTEST_SKIP() << "the service runs as root";
  if (SomeoneIsLoggedIn()) GTEST_SKIP() << "a user session would be printed for instead";
  tbtest::TempFolder folder;
  fs::create_directory(folder / "sumatrapdfcache");
  ::mkdir((folder / "reports").c_str(), 0777);
  ::chmod((folder / "reports").c_str(), 0777);
  tbtest::PlacePrintProgram(folder,
                            "for a in \"$@\"; do last=$a; done\n"
                            "cat \"$last\" > reports/printed && echo \"$last\" > reports/path");
  tbtest::TempFolder docs;
  ::chmod(docs.path().c_str(), 0755);
  const std::string d = docs.path();

  // A regular file whose name ends in a quote, beside a FIFO without it.
  tbtest::WriteFile(d + "/q\"", "%PDF-1.4 quoted");
  ASSERT_EQ(::mkfifo((d + "/q").c_str(), 0666), 0);
  // A terminal: it must never become the daemon's controlling terminal.
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(::grantpt(master), 0);
  ASSERT_EQ(::unlockpt(master), 0);
  fs::create_symlink(::ptsname(master), d + "/tty.pdf");
  // Only root may read it; the print account may not.
  tbtest::WriteFile(d + "/secret.pdf", "%PDF-1.4 root only");
  ::chmod((d + "/secret.pdf").c_str(), 0600);
  MakeSparse(d + "/over.pdf", (off_t{1} << 30) + 1);
  MakeSparse(d + "/huge.pdf", off_t{64} << 30);

  tbtest::NotifySocket notify(folder / ".notify");
  tbtest::DaemonOptions options;
  options.args = {};
  options.env["NOTIFY_SOCKET"] = notify.path();
  tbtest::DaemonProcess daemon(folder, options);
  ASSERT_TRUE(notify.WaitFor("READY=1", std::chrono::seconds(10)));
  httplib::Client client("127.0.0.1", 3806);
  client.set_read_timeout(30, 0);
  auto log = [&] { return tbtest::ReadFile(folder / "logs/Tillerbrook.log"); };

  struct Case {
    std::string path;
    std::string logLine;  // empty: an ordinary failure, not logged
  };
  const std::vector<Case> cases = {
      {d + "/q\"", "[Print] filePath refused (double quote in path): " + d + "/q\""},
      {d + "/tty.pdf", "[Print] filePath refused (not a regular file): " + d + "/tty.pdf"},
      {d + "/secret.pdf", ""},
      {d + "/over.pdf", "[Print] filePath refused (larger than 1 GiB): " + d + "/over.pdf"},
      {d + "/huge.pdf", "[Print] filePath refused (larger than 1 GiB): " + d + "/huge.pdf"},
  };
  for (const Case& c : cases) {
    const auto start = steady_clock::now();
    EXPECT_EQ(tbtest::PostPrint(client, {{"filePath", c.path}, {"PrinterName", "P"}}), kUnreadable)
        << c.path;
    EXPECT_LT(steady_clock::now() - start, std::chrono::seconds(1)) << c.path;
    if (!c.logLine.empty()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      EXPECT_NE(log().find(c.logLine + "\n"), std::string::npos) << c.path << "\n" << log();
    }
  }
  ::close(master);
  EXPECT_FALSE(fs::exists(folder / "reports/printed"));
  // Nothing recorded: the root-only file's digest appears nowhere.
  EXPECT_EQ(tbtest::History(client), json::array());
  EXPECT_EQ(log().find(tb::platform::Md5HexOfText("%PDF-1.4 root only")), std::string::npos);
  EXPECT_EQ(CacheNames(folder), std::vector<std::string>{});

  // A readable document prints from the daemon's copy of what it read.
  tbtest::WriteFile(d + "/label.pdf", "%PDF-1.4 label");
  json reply = tbtest::PostPrint(client, {{"filePath", d + "/label.pdf"}, {"PrinterName", "P"}});
  const std::string md5 = tb::platform::Md5HexOfText("%PDF-1.4 label");
  EXPECT_EQ(reply, (json{{"status", "success"}, {"md5sum", md5}}));
  EXPECT_EQ(tbtest::ReadFile(folder / "reports/printed"), "%PDF-1.4 label");
  const std::vector<std::string> copy = {"path-" + md5 + ".pdf"};
  EXPECT_EQ(tbtest::ReadFile(folder / "reports/path"), folder / ("sumatrapdfcache/" + copy[0]) + "\n");
  EXPECT_EQ(CacheNames(folder), copy);
  json history = tbtest::History(client);
  ASSERT_EQ(history.size(), 1u);
  EXPECT_EQ(history[0]["filePath"], d + "/label.pdf");

  // A client that leaves while a large document is read stops the reading.
  MakeSparse(d + "/big.pdf", off_t{1} << 30);
  httplib::Client impatient("127.0.0.1", 3806);
  impatient.set_read_timeout(0, 300000);
  EXPECT_FALSE(impatient.Post("/print", json{{"filePath", d + "/big.pdf"}, {"PrinterName", "P"}}.dump(),
                              "application/json"));
  const std::string stopped = "[Print] filePath read stopped, the client has gone: " + d + "/big.pdf\n";
  const auto deadline = steady_clock::now() + std::chrono::seconds(2);
  while (log().find(stopped) == std::string::npos && steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_NE(log().find(stopped), std::string::npos) << log();
  EXPECT_EQ(tbtest::History(client).size(), 1u);
  EXPECT_EQ(CacheNames(folder), copy);

  daemon.Signal(SIGTERM);
  EXPECT_TRUE(daemon.Wait(std::chrono::seconds(50)));
}

}  // namespace
