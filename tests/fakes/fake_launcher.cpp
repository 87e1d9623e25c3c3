#include "fakes/fake_launcher.h"

#include "platform/command_line.h"

namespace tbtest {

using tb::platform::WaitOutcome;

void FakeEvents::Add(std::string event) {
  std::lock_guard<std::mutex> lock(mutex_);
  events_.push_back(std::move(event));
}

void FakeEvents::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  events_.clear();
}

std::vector<std::string> FakeEvents::All() {
  std::lock_guard<std::mutex> lock(mutex_);
  return events_;
}

struct FakeLauncher::Running {
  FakeProgram script;
  std::string name;
  uint32_t elapsed = 0;
  bool exited = false;
  uint32_t exitCode = 0;
};

class FakeChild : public tb::platform::ChildProcess {
 public:
  FakeChild(std::shared_ptr<FakeLauncher::Running> run, uint32_t pid, FakeEvents& events)
      : run_(std::move(run)), pid_(pid), events_(events) {}

  bool HasUsableHandle() const override { return run_->script.usableHandle; }
  uint32_t Id() const override { return pid_; }

  WaitOutcome Wait(uint32_t timeoutMs) override {
    events_.Add("wait " + run_->name + " " + std::to_string(timeoutMs));
    if (run_->script.waitFails) {
      lastError_ = 6;
      return WaitOutcome::kFailed;
    }
    if (run_->exited) return WaitOutcome::kExited;
    const auto& runsFor = run_->script.runsForMs;
    if (runsFor && run_->elapsed + timeoutMs >= *runsFor) {
      run_->elapsed = *runsFor;
      run_->exited = true;
      run_->exitCode = run_->script.exitCode;
      return WaitOutcome::kExited;
    }
    run_->elapsed += timeoutMs;
    return WaitOutcome::kTimedOut;
  }

  bool ExitCode(uint32_t& code) override {
    if (!run_->exited || run_->script.exitCodeFails) return false;
    code = run_->exitCode;
    return true;
  }

  bool Terminate(uint32_t exitCode) override {
    events_.Add("terminate " + run_->name + " " + std::to_string(exitCode));
    if (run_->script.terminateFails) {
      lastError_ = 5;
      return false;
    }
    run_->exited = true;
    run_->exitCode = exitCode;
    return true;
  }

  uint32_t LastError() const override { return lastError_; }

  void Close() override {
    if (!closed_) events_.Add("close " + run_->name);
    closed_ = true;
  }
  ~FakeChild() override { Close(); }

 private:
  std::shared_ptr<FakeLauncher::Running> run_;
  uint32_t pid_;
  FakeEvents& events_;
  uint32_t lastError_ = 0;
  bool closed_ = false;
};

std::unique_ptr<tb::platform::ChildProcess> FakeLauncher::CreateProcessOnUserDesktop(
    const std::string& commandLine, tb::platform::WindowMode mode) {
  std::vector<std::string> args = tb::platform::SplitCommandLine(commandLine);
  std::string name = args.empty() ? "" : args[0];
  if (onLaunch) onLaunch(commandLine);
  std::lock_guard<std::mutex> lock(mutex_);
  launches_.push_back(commandLine +
                      (mode == tb::platform::WindowMode::kHidden ? " [hidden]" : ""));
  events_.Add("launch " + name);
  auto script = programs.find(name);
  lastErrorText_.clear();
  if (script == programs.end()) {
    lastError_ = launchError;
    lastErrorText_ = launchErrorText;
    return nullptr;
  }
  auto run = std::make_shared<Running>();
  run->script = script->second;
  run->name = name;
  // A close helper gets the process id as its only argument.
  if (args.size() == 2) {
    auto target = running_.find(static_cast<uint32_t>(std::stoul(args[1])));
    if (target != running_.end() && !target->second->exited &&
        target->second->script.closesOnRequest) {
      target->second->exited = true;
      target->second->exitCode = 143;
      events_.Add("closed " + target->second->name);
    }
  }
  uint32_t pid = nextPid_++;
  running_[pid] = run;
  return std::make_unique<FakeChild>(run, pid, events_);
}

std::vector<std::string> FakeLauncher::Launches() {
  std::lock_guard<std::mutex> lock(mutex_);
  return launches_;
}

}  // namespace tbtest
