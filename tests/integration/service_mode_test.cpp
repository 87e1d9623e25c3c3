#include <signal.h>
#include <sys/stat.h>

#include <httplib.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "support/daemon_harness.h"
#include "support/notify_socket.h"

namespace {

namespace fs = std::filesystem;
using tbtest::DaemonOptions;
using tbtest::DaemonProcess;
using tbtest::NotifySocket;
using tbtest::TempFolder;

DaemonOptions ServiceOptions(const NotifySocket& notify) {
  DaemonOptions o;
  o.args = {};  // the form the service manager starts
  o.env["NOTIFY_SOCKET"] = notify.path();
  return o;
}

// Runs the daemon as the service manager would, then stops it with SIGTERM.
int RunServiceOnce(const TempFolder& folder) {
  NotifySocket notify(folder / ".notify");
  DaemonProcess daemon(folder, ServiceOptions(notify));
  EXPECT_TRUE(notify.WaitFor("READY=1", std::chrono::seconds(10)));
  daemon.Signal(SIGTERM);
  auto status = daemon.Wait(std::chrono::seconds(50));
  return status ? *status : -1;
}

// The service runs as root from its folder: a folder others may change is
// refused before anything is loaded or started from it.
TEST(ServiceMode, RefusesAFolderOthersMayChange) {
  TempFolder folder;
  NotifySocket notify(folder / ".notify");
  ::chmod(folder.path().c_str(), 0775);
  DaemonOptions options = ServiceOptions(notify);
  options.waitForPort = false;  // it must end without ever listening
  DaemonProcess daemon(folder, options);
  auto status = daemon.Wait(std::chrono::seconds(20));
  ASSERT_TRUE(status);
  EXPECT_EQ(*status, 251);  // -5 as an exit status
  std::string log = tbtest::ReadFile(folder / "logs/Tillerbrook.log");
  EXPECT_NE(log.find("FATAL: the program folder " + folder.path() +
                     " is not safe for the service: its group or other users may add or delete "
                     "files\n"),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find("[PDFium]"), std::string::npos) << log;
  EXPECT_FALSE(fs::exists(folder / "database.db"));
}

TEST(ServiceMode, NotifiesReadyStopsOnSigtermAndLogsToFile) {
  TempFolder folder;
  NotifySocket notify(folder / ".notify");
  DaemonProcess daemon(folder, ServiceOptions(notify));
  ASSERT_TRUE(notify.WaitFor("READY=1", std::chrono::seconds(10)));

  httplib::Client client("127.0.0.1", 3806);
  auto v = client.Get("/version");
  ASSERT_TRUE(v);
  EXPECT_EQ(v->status, 200);
  // Non-ASCII text reaches the log file as UTF-8.
  auto d = client.Get("/default?printerName=%E6%A0%87%E7%AD%BE%E6%89%93%E5%8D%B0%E6%9C%BA");
  ASSERT_TRUE(d);
  EXPECT_EQ(d->status, 303);

  daemon.Signal(SIGTERM);
  EXPECT_TRUE(notify.WaitFor("STOPPING=1", std::chrono::seconds(10)));
  auto status = daemon.Wait(std::chrono::seconds(50));
  ASSERT_TRUE(status);
  EXPECT_EQ(*status, 0);
  EXPECT_TRUE(notify.WaitFor("STATUS=Stopped, exit code 0", std::chrono::seconds(5)));

  // Start pending came first, then ready.
  const auto& m = notify.Messages();
  ASSERT_GE(m.size(), 2u);
  EXPECT_NE(m[0].find("STATUS=Starting"), std::string::npos);
  EXPECT_NE(m[1].find("READY=1"), std::string::npos);

  // Nothing on the console: both streams went into the log file.
  EXPECT_EQ(daemon.Stdout(), "");
  EXPECT_EQ(daemon.Stderr(), "");
  std::string log = tbtest::ReadFile(folder / "logs/Tillerbrook.log");
  size_t wd = log.find("Working dir: " + folder.path() + "\n");
  size_t mode = log.find("[Startup] version=v1.4.0 mode=service\n");
  size_t banner = log.find("Server: http://127.0.0.1:3806/\n");
  EXPECT_EQ(wd, 0u) << log;
  EXPECT_LT(wd, mode);
  EXPECT_LT(mode, banner);
  EXPECT_NE(banner, std::string::npos) << log;
  EXPECT_NE(log.find("Set default: 标签打印机\n"), std::string::npos) << log;

  // The shutdown ran in order after the server stopped.
  size_t last = banner;
  for (const char* step : {"[Shutdown] server stopped\n", "[Shutdown] maintenance thread stopped\n",
                           "[Shutdown] PDFium released\n", "[Shutdown] database closed\n"}) {
    size_t at = log.find(step);
    EXPECT_NE(at, std::string::npos) << step << log;
    EXPECT_GT(at, last) << step;
    last = at;
  }
}

TEST(ServiceMode, WithoutServiceManagerEndsWith1063AndPrintsNothing) {
  TempFolder folder;
  DaemonOptions o;
  o.args = {};
  o.waitForPort = false;
  DaemonProcess daemon(folder, o);
  auto status = daemon.Wait(std::chrono::seconds(10));
  ASSERT_TRUE(status);
  EXPECT_EQ(*status, 1063 & 0xFF);  // an exit status keeps the low 8 bits
  EXPECT_EQ(daemon.Stdout(), "");
  EXPECT_EQ(daemon.Stderr(), "");
  EXPECT_FALSE(fs::exists(folder / "logs"));
}

TEST(ServiceMode, SwitchesAreExactAndFurtherArgumentsIgnored) {
  TempFolder folder;
  for (const char* wrong : {"/DEBUG", "/debugx", "-debug", "debug"}) {
    DaemonOptions o;
    o.args = {wrong};
    o.waitForPort = false;
    DaemonProcess daemon(folder, o);
    auto status = daemon.Wait(std::chrono::seconds(10));
    ASSERT_TRUE(status) << wrong;
    EXPECT_EQ(*status, 1063 & 0xFF) << wrong;  // behaves like no argument
  }
  DaemonOptions o;
  o.args = {"/debug", "extra", "args"};
  DaemonProcess daemon(folder, o);  // waits for the port: recognised
  EXPECT_TRUE(daemon.Running());
}

TEST(LogRotation, LogAtLimitIsRotatedAtStartAndOneBelowIsNot) {
  TempFolder folder;
  fs::create_directory(folder / "logs");
  const std::string log = folder / "logs/Tillerbrook.log";

  tbtest::WriteFile(log, std::string(8388607, 'a'));
  ASSERT_EQ(RunServiceOnce(folder), 0);
  EXPECT_FALSE(fs::exists(log + ".1"));
  EXPECT_GT(fs::file_size(log), 8388607u);  // appended to, not moved

  // Now over the limit: the next start moves it aside and begins a new log.
  ASSERT_EQ(RunServiceOnce(folder), 0);
  ASSERT_TRUE(fs::exists(log + ".1"));
  EXPECT_GT(fs::file_size(log + ".1"), 8388607u);
  std::string fresh = tbtest::ReadFile(log);
  EXPECT_EQ(fresh.rfind("Working dir: ", 0), 0u) << fresh.substr(0, 200);

  // A second rotation replaces the old generation: only the log and one ".1".
  tbtest::WriteFile(log, std::string(8388608, 'b'));
  ASSERT_EQ(RunServiceOnce(folder), 0);
  std::vector<std::string> names;
  for (auto& e : fs::directory_iterator(folder / "logs")) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"Tillerbrook.log", "Tillerbrook.log.1"}));
  EXPECT_EQ(fs::file_size(log + ".1"), 8388608u);
  EXPECT_EQ(tbtest::ReadFile(log + ".1").substr(0, 3), "bbb");
}

}  // namespace
