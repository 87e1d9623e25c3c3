#include "fakes/fake_metrics_channel.h"

#include <deque>

namespace tbtest {
namespace {

using namespace tb::platform;

class FakeUser : public SessionUser {};

class FakeHelper : public HelperProcess {
 public:
  explicit FakeHelper(uint32_t exitCode) : exitCode_(exitCode) {}
  uint32_t Id() const override { return 4242; }
  WaitOutcome Wait(uint32_t, std::string&) override { return WaitOutcome::kExited; }
  bool ExitCode(uint32_t& code) override {
    code = exitCode_;
    return true;
  }
  void Terminate(uint32_t code) override { exitCode_ = code; }

 private:
  uint32_t exitCode_;
};

class FakePipe : public MetricsPipeServer {
 public:
  FakePipe(std::string name, PipeWait wait, std::vector<std::string> chunks)
      : name_(std::move(name)), wait_(wait), chunks_(chunks.begin(), chunks.end()) {}
  const std::string& Name() const override { return name_; }
  bool BeginConnect(std::string&) override { return true; }
  PipeWait WaitForHelper(HelperProcess&, uint32_t, std::string& error) override {
    if (wait_ == PipeWait::kFailed) error = "scripted wait failure";
    return wait_;
  }
  PipeRead Read(std::string& chunk, size_t maxBytes, uint32_t, std::string&) override {
    if (chunks_.empty()) return PipeRead::kEnd;
    chunk = chunks_.front().substr(0, maxBytes);
    chunks_.front().erase(0, chunk.size());
    if (chunks_.front().empty()) chunks_.pop_front();
    return PipeRead::kData;
  }

 private:
  std::string name_;
  PipeWait wait_;
  std::deque<std::string> chunks_;
};

class FakeImpersonation : public Impersonation {
 public:
  explicit FakeImpersonation(std::atomic<bool>& flag) : flag_(flag) { flag_ = true; }
  ~FakeImpersonation() override { flag_ = false; }

 private:
  std::atomic<bool>& flag_;
};

}  // namespace

std::unique_ptr<SessionUser> FakeMetricsChannel::OpenSessionUser(uint32_t, std::string& error) {
  ++sessionUserCalls;
  if (!sessionUserError.empty()) {
    error = sessionUserError;
    return nullptr;
  }
  return std::make_unique<FakeUser>();
}

std::unique_ptr<MetricsPipeServer> FakeMetricsChannel::CreateMetricsPipe(const std::string& baseName,
                                                                         std::string&) {
  return std::make_unique<FakePipe>(baseName, helperWait, answerChunks);
}

bool FakeMetricsChannel::ExecutablePath(std::string& path, std::string&) {
  path = "/opt/tb/tillerbrook";
  return true;
}

std::unique_ptr<HelperProcess> FakeMetricsChannel::StartHelper(SessionUser&, const std::string&,
                                                               const std::string& commandLine,
                                                               const std::string&, std::string&) {
  std::lock_guard<std::mutex> lock(mutex_);
  commandLines.push_back(commandLine);
  return std::make_unique<FakeHelper>(helperExitCode);
}

std::unique_ptr<MetricsPipeClient> FakeMetricsChannel::OpenMetricsPipe(const std::string&,
                                                                       PipeOpen& result,
                                                                       std::string&) {
  result = PipeOpen::kUnavailable;
  return nullptr;
}

std::unique_ptr<Impersonation> FakeMetricsChannel::ImpersonateSessionUser(uint32_t,
                                                                          std::string& error) {
  if (!impersonationError.empty()) {
    error = impersonationError;
    return nullptr;
  }
  ++impersonations;
  return std::make_unique<FakeImpersonation>(impersonating);
}

}  // namespace tbtest
