#pragma once
// The metrics helper exchange on Windows: the session user's primary token,
// a named pipe for one query (inbound, first instance, overlapped), the helper
// started with CreateProcessAsUserW, and impersonation with the user's profile
// loaded. The daemon keeps a pipe connection only when the client process is
// the helper it started (GetNamedPipeClientProcessId): the pipe is open to
// every authenticated user, and any of them could otherwise connect first.
#include "platform/metrics_channel.h"

namespace tb::platform {

class Win32MetricsChannel : public MetricsChannel {
 public:
  std::unique_ptr<SessionUser> OpenSessionUser(uint32_t session, std::string& error) override;
  uint64_t TickCount() override;
  std::unique_ptr<MetricsPipeServer> CreateMetricsPipe(const std::string& baseName,
                                                       std::string& error) override;
  bool ExecutablePath(std::string& path, std::string& error) override;
  std::unique_ptr<HelperProcess> StartHelper(SessionUser& user, const std::string& executable,
                                             const std::string& commandLine,
                                             const std::string& workingDir,
                                             std::string& error) override;
  std::unique_ptr<MetricsPipeClient> OpenMetricsPipe(const std::string& name, PipeOpen& result,
                                                     std::string& error) override;
  void WaitForMetricsPipe(const std::string& name, uint32_t timeoutMs) override;
  std::unique_ptr<Impersonation> ImpersonateSessionUser(uint32_t session,
                                                        std::string& error) override;

  // Drops the user's identity from the calling thread (RevertToSelf).
  virtual bool Revert();
  // Ends the process at once; used when Revert fails, since the thread must
  // never serve another request as the user.
  virtual void EndProcess(uint32_t code);
  // Hands `failure` to the fatal report (SetFatalReport), then EndProcess.
  void EndProcessAfterFailedRevert(const std::string& failure, uint32_t code);
};

}  // namespace tb::platform
