#include "service/entry_point.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/process.h"
#include "platform/service_manager.h"
#include "support/capture.h"

namespace {

using tb::platform::ServiceManager;

class FakeProcess : public tb::platform::Process {
 public:
  std::string ExecutablePath() override { return "C:\\Program Files\\Tillerbrook\\Tillerbrook.exe"; }
  bool SetCurrentDirectory(const std::string&) override { return true; }
  Session OwnSession() override { return Session::kConsole; }
  std::string folderProblem;
  std::string ServiceFolderProblem(const std::string&) override { return folderProblem; }
  uint32_t LastError() override { return 0; }
  std::vector<std::string> CommandLineArguments() override { return {"Tillerbrook.exe"}; }
  uint32_t ProcessId() override { return 1; }
};

class FakeServiceManager : public ServiceManager {
 public:
  bool installs = true;
  uint32_t installError = 0;
  UninstallResult uninstall = UninstallResult::kDeleted;
  int installCalls = 0;
  bool Install(const std::string&) override {
    ++installCalls;
    return installs;
  }
  uint32_t InstallError() const override { return installError; }
  UninstallResult Uninstall() override { return uninstall; }
  int RunDispatcher(const tb::platform::ServiceCallbacks&) override { return 1063; }
};

class EntryPointCommands : public ::testing::Test {
 protected:
  void SetUp() override {
    platform_.process = &process;
    platform_.serviceManager = &manager;
    override_.emplace(platform_);
  }
  // Runs one command; `out` and `err` get what it printed.
  int Run(const std::string& command, std::string& out, std::string& err) {
    tbtest::CapturedFd capturedOut(1);
    tbtest::CapturedFd capturedErr(2);
    const int code = tb::RunEntryPoint({"Tillerbrook.exe", command});
    out = capturedOut.Text();
    err = capturedErr.Text();
    return code;
  }

  FakeProcess process;
  FakeServiceManager manager;

 private:
  tb::platform::Platform platform_;
  std::optional<tb::platform::ScopedPlatformOverride> override_;
};

TEST_F(EntryPointCommands, UninstallThatOnlyMarksForDeletionSaysWhenItCompletes) {
  std::string out, err;
  EXPECT_EQ(Run("/uninstall", out, err), 0);
  EXPECT_EQ(out, "服务卸载成功！\n");

  manager.uninstall = ServiceManager::UninstallResult::kMarkedForDeletion;
  EXPECT_EQ(Run("/uninstall", out, err), 0);
  EXPECT_EQ(out.rfind("服务卸载成功！\n", 0), 0u) << out;
  EXPECT_NE(out.find("删除将在服务停止后或系统重启时完成"), std::string::npos) << out;
  EXPECT_EQ(err, "");
}

TEST_F(EntryPointCommands, InstallWhileTheOldServiceIsPendingDeletionNamesThatReason) {
  std::string out, err;
  manager.installs = false;
  manager.installError = 5;  // access denied: the administrator hint fits
  EXPECT_EQ(Run("/install", out, err), 1);
  EXPECT_EQ(err, "安装失败，请确保以管理员身份运行！\n");

  manager.installError = 1072;
  EXPECT_EQ(Run("/install", out, err), 1);
  EXPECT_NE(err.find("1072"), std::string::npos) << err;
  EXPECT_NE(err.find("标记为删除"), std::string::npos) << err;
  EXPECT_EQ(err.find("管理员"), std::string::npos) << err;
  EXPECT_EQ(out, "");
}

TEST_F(EntryPointCommands, InstallFromAFolderOthersMayChangeIsRefusedBeforeRegistering) {
  std::string out, err;
  process.folderProblem = "S-1-5-32-545 may add files";
  EXPECT_EQ(Run("/install", out, err), 1);
  EXPECT_EQ(err,
            "安装失败！程序文件夹 C:\\Program Files\\Tillerbrook 不安全：S-1-5-32-545 may add files。"
            "请把程序放在只有 SYSTEM 和管理员能修改的文件夹中。\n");
  EXPECT_EQ(manager.installCalls, 0);
  EXPECT_EQ(out, "");
}

}  // namespace
