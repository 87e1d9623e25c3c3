#include "platform/posix/service_manager_posix.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "support/daemon_harness.h"
#include "support/test_pdf.h"

namespace tb::platform {
namespace {

struct RecordingRunner {
  std::vector<std::vector<std::string>> calls;
  int activePolls = 0;  // how many is-active calls report "still active"
  int failOn = -1;      // index of a call that fails
  CommandRunner Runner() {
    return [this](const std::vector<std::string>& argv) {
      calls.push_back(argv);
      if (static_cast<int>(calls.size()) - 1 == failOn) return 1;
      if (argv.size() > 1 && argv[1] == "is-active") return activePolls-- > 0 ? 0 : 3;
      return 0;
    };
  }
};

bool EveryAccountExists(const std::string&) { return true; }

TEST(SystemdServiceManager, InstallWritesUnitReloadsAndEnablesWithoutStarting) {
  tbtest::TempFolder dir;
  RecordingRunner rec;
  SystemdServiceManager mgr(dir.path(), rec.Runner(), [](unsigned) {}, EveryAccountExists);
  ASSERT_TRUE(mgr.Install("/opt/tb dir/tillerbrook"));
  std::string unit = tbtest::ReadFile(dir / "Orv_Tillerbrook.service");
  EXPECT_NE(unit.find("Description=Orv label print daemon (HTTP on port 3806).\n"), std::string::npos);
  EXPECT_NE(unit.find("ExecStart=\"/opt/tb dir/tillerbrook\"\n"), std::string::npos);
  for (const char* line : {"Type=notify\n", "Restart=on-failure\n", "RestartSec=5\n",
                           "TimeoutStopSec=45\n", "WantedBy=multi-user.target\n"}) {
    EXPECT_NE(unit.find(line), std::string::npos) << line;
  }
  ASSERT_EQ(rec.calls.size(), 2u);
  EXPECT_EQ(rec.calls[0], (std::vector<std::string>{"systemctl", "daemon-reload"}));
  EXPECT_EQ(rec.calls[1], (std::vector<std::string>{"systemctl", "enable", "Orv_Tillerbrook.service"}));

  // A second install fails like an existing Windows service does.
  EXPECT_FALSE(mgr.Install("/opt/tb dir/tillerbrook"));
}

TEST(SystemdServiceManager, FailedEnableRemovesTheUnitAgain) {
  tbtest::TempFolder dir;
  RecordingRunner rec;
  rec.failOn = 1;  // enable
  SystemdServiceManager mgr(dir.path(), rec.Runner(), [](unsigned) {}, EveryAccountExists);
  EXPECT_FALSE(mgr.Install("/usr/bin/tillerbrook"));
  EXPECT_FALSE(std::filesystem::exists(dir / "Orv_Tillerbrook.service"));
}

TEST(SystemdServiceManager, UninstallStopsPollsAndDeletes) {
  tbtest::TempFolder dir;
  RecordingRunner rec;
  int sleeps = 0;
  SystemdServiceManager mgr(dir.path(), rec.Runner(), [&](unsigned ms) {
    EXPECT_EQ(ms, 500u);
    ++sleeps;
  });
  EXPECT_EQ(mgr.Uninstall(), ServiceManager::UninstallResult::kCannotOpen);
  EXPECT_TRUE(rec.calls.empty());

  ASSERT_TRUE(mgr.Install("/usr/bin/tillerbrook"));
  rec.calls.clear();
  rec.activePolls = 3;
  EXPECT_EQ(mgr.Uninstall(), ServiceManager::UninstallResult::kDeleted);
  EXPECT_EQ(sleeps, 3);
  EXPECT_FALSE(std::filesystem::exists(dir / "Orv_Tillerbrook.service"));
  EXPECT_EQ(rec.calls.front(), (std::vector<std::string>{"systemctl", "stop", "Orv_Tillerbrook.service"}));
  EXPECT_EQ(rec.calls.back(), (std::vector<std::string>{"systemctl", "daemon-reload"}));
}

TEST(SystemdServiceManager, UninstallGivesUpPollingAfter120Tries) {
  tbtest::TempFolder dir;
  RecordingRunner rec;
  int sleeps = 0;
  SystemdServiceManager mgr(dir.path(), rec.Runner(), [&](unsigned) { ++sleeps; });
  ASSERT_TRUE(mgr.Install("/usr/bin/tillerbrook"));
  rec.activePolls = 1000;
  EXPECT_EQ(mgr.Uninstall(), ServiceManager::UninstallResult::kDeleted);
  EXPECT_EQ(sleeps, 120);
}

TEST(SystemdServiceManager, InstallMakesTheServiceAccountOnlyWhenMissing) {
  tbtest::TempFolder dir;
  RecordingRunner rec;
  std::vector<std::string> asked;
  SystemdServiceManager mgr(dir.path(), rec.Runner(), [](unsigned) {},
                            [&](const std::string& name) {
                              asked.push_back(name);
                              return false;
                            });
  rec.failOn = 0;  // useradd fails: prints fall back to nobody, the install goes on
  ASSERT_TRUE(mgr.Install("/usr/bin/tillerbrook"));
  EXPECT_EQ(asked, (std::vector<std::string>{"tillerbrook"}));
  ASSERT_EQ(rec.calls.size(), 3u);
  EXPECT_EQ(rec.calls[0], (std::vector<std::string>{"useradd", "--system", "--no-create-home",
                                                    "--shell", "/usr/sbin/nologin",
                                                    "tillerbrook"}));
  EXPECT_EQ(rec.calls[2], (std::vector<std::string>{"systemctl", "enable", "Orv_Tillerbrook.service"}));
  EXPECT_EQ(mgr.InstallWarning(),
            "useradd tillerbrook failed (1); prints without a logged-in user will run as nobody");

  // Uninstalling leaves the account alone.
  rec.calls.clear();
  EXPECT_EQ(mgr.Uninstall(), ServiceManager::UninstallResult::kDeleted);
  for (const auto& call : rec.calls) EXPECT_NE(call[0], "userdel");
}

TEST(SystemdServiceManager, UnitSandboxFitsTheProgramFolder) {
  const std::string unit = SystemdServiceManager::UnitText("/opt/tb 100%/tillerbrook");
  for (const char* line :
       {"ExecStart=\"/opt/tb 100%%/tillerbrook\"\n", "ProtectSystem=full\n",
        "ProtectHome=read-only\n", "ProtectKernelTunables=yes\n", "ProtectKernelModules=yes\n",
        "ProtectKernelLogs=yes\n", "ProtectControlGroups=yes\n", "PrivateDevices=yes\n",
        "LockPersonality=yes\n", "RestrictSUIDSGID=yes\n", "RestrictNamespaces=yes\n",
        "RestrictAddressFamilies=AF_UNIX AF_INET AF_INET6\n", "SystemCallFilter=@system-service\n",
        "CapabilityBoundingSet=CAP_SETUID CAP_SETGID CAP_KILL\n", "MemoryMax=9G\n",
        "TasksMax=512\n", "ReadWritePaths=\"/opt/tb 100%%\"\n"}) {
    EXPECT_NE(unit.find(line), std::string::npos) << line << unit;
  }
  // User switching must keep working.
  EXPECT_EQ(unit.find("NoNewPrivileges"), std::string::npos);
  // Callers' documents under /tmp must stay visible to the service.
  EXPECT_EQ(unit.find("PrivateTmp"), std::string::npos);

  // A line end in the path would start a line of its own in the unit.
  tbtest::TempFolder dir;
  RecordingRunner rec;
  SystemdServiceManager mgr(dir.path(), rec.Runner(), [](unsigned) {}, EveryAccountExists);
  EXPECT_FALSE(mgr.Install("/opt/tb\nExecStartPre=/bin/sh/tillerbrook"));
  EXPECT_FALSE(std::filesystem::exists(dir / "Orv_Tillerbrook.service"));
  EXPECT_TRUE(rec.calls.empty());
}

TEST(SystemdServiceManager, GeneratedUnitPassesSystemdVerify) {
  if (std::system("command -v systemd-analyze >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "systemd-analyze is not installed";
  // verify wants the program to exist: the built daemon.
  const std::string unit = SystemdServiceManager::UnitText(tbtest::BuiltDaemonPath());
  ASSERT_NE(unit.find("ReadWritePaths="), std::string::npos);
  tbtest::TempFolder dir;
  tbtest::WriteFile(dir / "Orv_Tillerbrook.service", unit);
  const std::string out =
      tbtest::RunCommand("systemd-analyze verify " + (dir / "Orv_Tillerbrook.service") +
                         " 2>&1; echo rc=$?");
  // Unknown or malformed lines are only warned about, so any word about our
  // unit is a failure.
  EXPECT_NE(out.find("rc=0"), std::string::npos) << out;
  EXPECT_EQ(out.find("Orv_Tillerbrook.service"), std::string::npos) << out;
}

TEST(SystemdServiceManager, UninstallWithoutRightsTouchesNothing) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to drop to another user";
  tbtest::TempFolder dir;
  ::chmod(dir.path().c_str(), 0755);
  RecordingRunner rec;
  SystemdServiceManager mgr(dir.path(), rec.Runner(), [](unsigned) {}, EveryAccountExists);
  ASSERT_TRUE(mgr.Install("/usr/bin/tillerbrook"));
  rec.calls.clear();
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(3);
    const auto result = mgr.Uninstall();
    ::_exit(result == ServiceManager::UninstallResult::kCannotOpen && rec.calls.empty() ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "no stop, no disable, reported as not opened";
  EXPECT_TRUE(std::filesystem::exists(dir / "Orv_Tillerbrook.service"));
}

TEST(SdNotifyStatusSink, MapsStatesToNotifyMessages) {
  ServiceStatus s;
  s.currentState = kServiceStartPending;
  s.waitHint = 3000;
  EXPECT_EQ(SdNotifyStatusSink::MessageFor(s), "STATUS=Starting\nEXTEND_TIMEOUT_USEC=3000000");
  s.currentState = kServiceRunning;
  EXPECT_EQ(SdNotifyStatusSink::MessageFor(s), "READY=1\nSTATUS=Running");
  s.currentState = kServiceStopPending;
  s.waitHint = 45000;
  EXPECT_EQ(SdNotifyStatusSink::MessageFor(s),
            "STOPPING=1\nSTATUS=Stopping\nEXTEND_TIMEOUT_USEC=45000000");
  s.currentState = kServiceStopped;
  s.serviceSpecificExitCode = 1053;
  EXPECT_EQ(SdNotifyStatusSink::MessageFor(s), "STATUS=Stopped, exit code 1053\nEXIT_STATUS=29");
}

}  // namespace
}  // namespace tb::platform
