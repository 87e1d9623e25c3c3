#pragma once
// A scriptable helper exchange for unit tests: the session user, the helper's
// connection and answer, and impersonation, without processes or sockets.
#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "platform/metrics_channel.h"

namespace tbtest {

class FakeMetricsChannel : public tb::platform::MetricsChannel {
 public:
  // ---- helper side of a query ----
  std::string sessionUserError;  // non-empty: OpenSessionUser fails with it
  tb::platform::PipeWait helperWait = tb::platform::PipeWait::kConnected;
  uint32_t helperExitCode = 0;
  std::vector<std::string> answerChunks;  // what the pipe yields, then its end

  // ---- impersonation ----
  std::string impersonationError;  // non-empty: impersonation fails with it
  std::atomic<bool> impersonating{false};
  std::atomic<int> impersonations{0};

  // ---- what happened ----
  std::atomic<int> sessionUserCalls{0};
  std::vector<std::string> commandLines;  // guarded by mutex()
  std::mutex& mutex() { return mutex_; }

  std::unique_ptr<tb::platform::SessionUser> OpenSessionUser(uint32_t session,
                                                             std::string& error) override;
  uint64_t TickCount() override { return 123456; }
  std::unique_ptr<tb::platform::MetricsPipeServer> CreateMetricsPipe(const std::string& baseName,
                                                                     std::string& error) override;
  bool ExecutablePath(std::string& path, std::string& error) override;
  std::unique_ptr<tb::platform::HelperProcess> StartHelper(tb::platform::SessionUser& user,
                                                           const std::string& executable,
                                                           const std::string& commandLine,
                                                           const std::string& workingDir,
                                                           std::string& error) override;
  std::unique_ptr<tb::platform::MetricsPipeClient> OpenMetricsPipe(const std::string& name,
                                                                   tb::platform::PipeOpen& result,
                                                                   std::string& error) override;
  void WaitForMetricsPipe(const std::string&, uint32_t) override {}
  std::unique_ptr<tb::platform::Impersonation> ImpersonateSessionUser(uint32_t session,
                                                                      std::string& error) override;

 private:
  std::mutex mutex_;
};

}  // namespace tbtest
