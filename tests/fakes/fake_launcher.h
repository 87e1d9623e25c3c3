#pragma once
// A scriptable desktop launcher for unit tests. Programs run on a virtual
// clock: Wait() advances the program's own elapsed time instead of sleeping,
// so escalations with the real time limits finish at once. Every launch,
// wait, termination and close is written to a shared event list.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/launcher.h"

namespace tbtest {

// How one started program behaves.
struct FakeProgram {
  // Exits by itself after this many ms of waiting; nullopt = never.
  std::optional<uint32_t> runsForMs = 0;
  uint32_t exitCode = 0;
  bool closesOnRequest = true;  // the close helper ends it
  bool terminateFails = false;
  bool waitFails = false;
  bool usableHandle = true;
  bool exitCodeFails = false;
};

class FakeEvents {
 public:
  void Add(std::string event);
  std::vector<std::string> All();
  void Clear();

 private:
  std::mutex mutex_;
  std::vector<std::string> events_;
};

class FakeLauncher : public tb::platform::DesktopLauncher {
 public:
  explicit FakeLauncher(FakeEvents& events) : events_(events) {}

  // Behaviour by program token (the first token of the command line); a
  // program without a script fails to start with `launchError`.
  std::map<std::string, FakeProgram> programs;
  uint32_t launchError = 2;
  std::string launchErrorText;  // the launcher's own line for a failed start
  uint32_t session = 1;
  // Runs at every launch, before the program "starts".
  std::function<void(const std::string& commandLine)> onLaunch;

  uint32_t ActiveUserSession() override { return session; }
  std::unique_ptr<tb::platform::ChildProcess> CreateProcessOnUserDesktop(
      const std::string& commandLine, tb::platform::WindowMode mode) override;
  uint32_t LastError() override { return lastError_; }
  std::string LastErrorText() override { return lastErrorText_; }

  // Command lines in launch order, with " [hidden]" appended for hidden ones.
  std::vector<std::string> Launches();

 private:
  struct Running;
  FakeEvents& events_;
  std::mutex mutex_;
  std::vector<std::string> launches_;
  std::map<uint32_t, std::shared_ptr<Running>> running_;
  uint32_t nextPid_ = 4711;
  uint32_t lastError_ = 0;
  std::string lastErrorText_;
  friend class FakeChild;
};

}  // namespace tbtest
