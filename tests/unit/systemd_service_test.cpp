#include "platform/posix/service_manager_posix.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/daemon_harness.h"

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

TEST(SystemdServiceManager, InstallWritesUnitReloadsAndEnablesWithoutStarting) {
  tbtest::TempFolder dir;
  RecordingRunner rec;
  SystemdServiceManager mgr(dir.path(), rec.Runner(), [](unsigned) {});
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
  SystemdServiceManager mgr(dir.path(), rec.Runner(), [](unsigned) {});
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
