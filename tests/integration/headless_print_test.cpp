// The service with nobody logged in: a print still runs, but as the service's
// system account (or nobody), with the null device for its standard streams
// and no other descriptor of the daemon, so a request cannot have a root
// process print a file only root may read.
#include <gtest/gtest.h>
#include <httplib.h>
#include <pwd.h>
#include <sys/stat.h>
#include <systemd/sd-login.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "support/daemon_harness.h"
#include "support/notify_socket.h"
#include "printing/print_execution.h"
#include "support/print_programs.h"

namespace {

using nlohmann::json;

bool SomeoneIsLoggedIn() {
  char** ids = nullptr;
  const int n = sd_get_sessions(&ids);
  bool someone = false;
  for (int i = 0; i < n; ++i) {
    char* cls = nullptr;
    if (sd_session_is_active(ids[i]) > 0 && sd_session_get_class(ids[i], &cls) >= 0 && cls &&
        std::string(cls) == "user")
      someone = true;
    std::free(cls);
    std::free(ids[i]);
  }
  std::free(ids);
  return someone;
}

TEST(HeadlessPrint, RunsAsTheServiceAccountWithNothingOfTheDaemon) {
  if (::geteuid() != 0) GTEST_SKIP() << "the service runs as root";
  if (SomeoneIsLoggedIn()) GTEST_SKIP() << "a user session would be printed for instead";
  passwd* pw = ::getpwnam("tillerbrook");
  if (!pw) pw = ::getpwnam("nobody");
  ASSERT_NE(pw, nullptr);
  const uid_t account = pw->pw_uid;

  tbtest::TempFolder folder;
  ::mkdir((folder / "reports").c_str(), 0777);
  ::chmod((folder / "reports").c_str(), 0777);
  // Reports who it is and what it holds, then reads the document it was given.
  tbtest::PlacePrintProgram(folder,
                            "id -u > reports/ids\n"
                            "find /proc/$$/fd -mindepth 1 -fprintf reports/fds '%f %l\\n'\n"
                            "for a in \"$@\"; do last=$a; done\n"
                            "cat \"$last\" > /dev/null || exit 7");
  tbtest::NotifySocket notify(folder / ".notify");
  tbtest::DaemonOptions options;
  options.args = {};
  options.env["NOTIFY_SOCKET"] = notify.path();
  tbtest::DaemonProcess daemon(folder, options);
  ASSERT_TRUE(notify.WaitFor("READY=1", std::chrono::seconds(10)));
  httplib::Client client("127.0.0.1", 3806);
  client.set_read_timeout(30, 0);

  // A document sent with the request stays readable by the account.
  json reply = tbtest::PostPrint(
      client, {{"LabelContent", tbtest::Base64Encode("%PDF-1.4 label")}, {"PrinterName", "Nowhere"}});
  EXPECT_EQ(reply["status"], "success") << reply.dump();
  EXPECT_EQ(tbtest::ReadFile(folder / "reports/ids"), std::to_string(account) + "\n");
  // The daemon's log file is open in the daemon; the program holds none of
  // it, only what the shell opened itself (its script).
  std::string fds = tbtest::ReadFile(folder / "reports/fds");
  const std::string script = " " + (folder / tb::printing::kPrintProgram) + "\n";
  if (size_t at = fds.find(script); at != std::string::npos) {
    fds.erase(fds.rfind('\n', at) + 1, at + script.size() - fds.rfind('\n', at) - 1);
  }
  EXPECT_EQ(fds, "0 /dev/null\n1 /dev/null\n2 /dev/null\n");

  // The daemon opens the path as the account: a file only root may read is
  // refused before anything is printed or recorded.
  ::unlink((folder / "reports/ids").c_str());
  reply = tbtest::PostPrint(client, {{"filePath", "/etc/shadow"}, {"PrinterName", "Nowhere"}});
  EXPECT_EQ(reply, (json{{"status", "error"}, {"message", "读取打印文件失败！"}, {"code", -2}}));
  EXPECT_FALSE(std::filesystem::exists(folder / "reports/ids"));
  EXPECT_EQ(tbtest::History(client).size(), 1u);

  daemon.Signal(SIGTERM);
  EXPECT_TRUE(daemon.Wait(std::chrono::seconds(50)));
}

}  // namespace
