// The daemon's side of the metrics helper exchange against real processes
// and the real pipe: the built daemon in its helper role, and a stand-in
// helper that misbehaves on request.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "fakes/fake_launcher.h"
#include "metrics/metrics_helper.h"
#include "platform/platform.h"
#include "platform/posix/metrics_channel_posix.h"
#include "support/daemon_harness.h"

extern char** environ;

namespace {

using tb::metrics::HelperOptions;
using tb::metrics::PageMetrics;
using Clock = std::chrono::steady_clock;

// Runs a program to its end with the service manager's variables removed;
// its exit status.
int RunProgram(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (char** e = environ; *e; ++e) {
    if (std::strncmp(*e, "NOTIFY_SOCKET=", 14) != 0 && std::strncmp(*e, "INVOCATION_ID=", 14) != 0)
      envp.push_back(*e);
  }
  envp.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The abstract socket names this process listens on, from /proc/net/unix.
std::vector<std::string> ListeningPipes() {
  std::ifstream in("/proc/net/unix");
  std::vector<std::string> names;
  const std::string prefix = "@Tillerbrook_PrinterMetrics_" + std::to_string(::getpid()) + "_";
  std::string line;
  while (std::getline(in, line)) {
    const size_t at = line.find(prefix);
    if (at != std::string::npos) names.push_back(line.substr(at + 1));
  }
  return names;
}

class MetricsHelperExchange : public ::testing::Test {
 protected:
  void SetUp() override {
    launcher.session = 7;
    platform_ = tb::platform::Native();
    platform_.launcher = &launcher;
    platform_.metricsChannel = &channel;
    override_.emplace(platform_);
    options.executable = TB_METRICS_HELPER_DOUBLE;
  }

  bool Query(const std::string& printer, PageMetrics& m, std::string& error) {
    return tb::metrics::QueryMetricsViaHelper(printer, options, m, error);
  }

  std::string QueryError(const std::string& printer) {
    PageMetrics m;
    std::string error;
    EXPECT_FALSE(Query(printer, m, error)) << printer;
    return error;
  }

  tbtest::FakeEvents events;
  tbtest::FakeLauncher launcher{events};
  // The session's user is whoever runs the tests.
  tb::platform::PosixMetricsChannel channel{[](uint32_t session, uid_t& uid) {
    uid = ::geteuid();
    return session == 7;
  }};
  HelperOptions options;

 private:
  tb::platform::Platform platform_;
  std::optional<tb::platform::ScopedPlatformOverride> override_;
};

TEST_F(MetricsHelperExchange, DaemonInHelperRoleRefusesIncompleteArguments) {
  const std::string daemon = tbtest::BuiltDaemonPath();
  EXPECT_EQ(RunProgram({daemon, "--query-printer-metrics", "tb-label"}), 1);
  EXPECT_EQ(RunProgram({daemon, "--query-printer-metrics", "", "somepipe"}), 1);
  // Another spelling of the switch is not the helper: the service start,
  // refused outside the service manager.
  EXPECT_EQ(RunProgram({daemon, "--Query-Printer-Metrics", "tb-label", "somepipe"}), 1063 & 0xFF);

  // Started by the daemon side with an empty printer, it ends before it ever
  // connects.
  options.executable = daemon;
  EXPECT_EQ(QueryError(""), "printer metrics helper exited before connecting, code=1");
  options.executable = TB_METRICS_HELPER_DOUBLE;
  EXPECT_EQ(QueryError("exit:5"), "printer metrics helper exited before connecting, code=5");
}

TEST_F(MetricsHelperExchange, ArgumentsSurviveQuotingAndTheAnswerIsDecoded) {
  const std::string printer = "ok name with \"quotes\", tabs\tand a trailing backslash\\";
  PageMetrics m;
  std::string error;
  ASSERT_TRUE(Query(printer, m, error)) << error;
  EXPECT_EQ(m.source, "helper:" + printer);
  EXPECT_EQ(m.printableWidthPx, 1200);
  EXPECT_TRUE(ListeningPipes().empty()) << "pipe left behind";
}

TEST_F(MetricsHelperExchange, HelperHoldsNothingOfTheDaemon) {
  // A descriptor the daemon forgot to mark close-on-exec still stays behind.
  const int leaked = ::open("/dev/null", O_RDONLY);
  ASSERT_GE(::dup2(leaked, 77), 0);
  PageMetrics m;
  std::string error;
  const bool ok = Query("fds", m, error);
  ::close(77);
  ::close(leaked);
  ASSERT_TRUE(ok) << error;
  EXPECT_EQ(m.source, "helper:0 /dev/null,1 /dev/null,2 /dev/null");
}

TEST_F(MetricsHelperExchange, WhatTheHelperWroteDecidesTheText) {
  std::string parserMessage;
  try {
    (void)nlohmann::json::parse("not json");
  } catch (const nlohmann::json::parse_error& e) {
    parserMessage = e.what();
  }
  EXPECT_EQ(QueryError("garbage"),
            "cannot parse printer metrics helper response: " + parserMessage + "; output=not json");
  EXPECT_EQ(QueryError("failure"), "dc+user-devmode=> scripted");
  EXPECT_EQ(QueryError("close:1"), "printer metrics helper exited with code 1");
  const std::string empty = QueryError("close:0");
  EXPECT_EQ(empty.rfind("cannot parse printer metrics helper response: ", 0), 0u) << empty;
  EXPECT_EQ(empty.substr(empty.size() - 9), "; output=") << empty;
}

TEST_F(MetricsHelperExchange, AnswerSizeLimit) {
  PageMetrics m;
  std::string error;
  EXPECT_TRUE(Query("size:65536", m, error)) << error;
  EXPECT_EQ(QueryError("size:65537"), "printer metrics helper response too large");
}

TEST_F(MetricsHelperExchange, TimeLimitsEndAHelperThatHangs) {
  options.limits.connectMs = 1500;
  options.limits.runMs = 1000;
  options.limits.readMs = 500;
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(QueryError("never"), "printer metrics helper connect timeout");
  EXPECT_EQ(QueryError("hang"), "printer metrics helper execution timeout");
  // A child of the helper still holds the pipe after the helper ended.
  EXPECT_EQ(QueryError("linger"), "printer metrics pipe read timeout");
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(20));
}

TEST_F(MetricsHelperExchange, NoSessionMeansNoHelper) {
  launcher.session = tb::platform::kNoSession;
  EXPECT_EQ(QueryError("ok"), "No active user session found");
}

TEST_F(MetricsHelperExchange, ConnectionFromAnotherProcessIsRefused) {
  // The helper takes 1.5 s before it connects; a forger connects first.
  auto result = std::async(std::launch::async, [this] {
    PageMetrics m;
    std::string error;
    const bool ok = Query("slow-ok", m, error);
    return std::make_pair(ok ? m.source : "", error);
  });

  std::vector<std::string> pipes;
  for (int i = 0; i < 100 && pipes.empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    pipes = ListeningPipes();
  }
  ASSERT_EQ(pipes.size(), 1u);
  const std::string forged =
      R"({"ok":true,"dpiX":1,"dpiY":1,"physicalWidthPx":1,"physicalHeightPx":1,)"
      R"("printableWidthPx":1,"printableHeightPx":1,"offsetXPx":0,"offsetYPx":0,)"
      R"("paperWidthMm":1,"paperHeightMm":1,"printableWidthMm":1,"printableHeightMm":1,)"
      R"("leftMarginMm":0,"rightMarginMm":0,"topMarginMm":0,"bottomMarginMm":0,)"
      R"("printableRatio":1,"source":"forged"})";
  const pid_t forger = ::fork();
  if (forger == 0) {
    // Another process, as a foreign user's would be.
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path + 1, pipes[0].data(), pipes[0].size());
    const socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + pipes[0].size());
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0) ::_exit(2);
    ssize_t ignored = ::send(fd, forged.data(), forged.size(), MSG_NOSIGNAL);
    (void)ignored;
    // The daemon hangs up on us (discarding what we sent) instead of
    // waiting for our end.
    char byte;
    const ssize_t got = ::recv(fd, &byte, 1, 0);
    ::_exit(got == 0 || (got < 0 && errno == ECONNRESET) ? 0 : 3);
  }
  int status = 0;
  ::waitpid(forger, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;

  const auto [source, error] = result.get();
  EXPECT_EQ(source, "helper:slow-ok") << error;
}

}  // namespace
