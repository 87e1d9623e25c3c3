#pragma once
// The metrics helper exchange on Linux.
//
// The pipe is an AF_UNIX stream socket in the abstract namespace, named like
// the Windows pipe. Abstract sockets carry no permissions, so the daemon
// checks the peer credentials of every connection and keeps only the one
// from the helper process it started.
//
// The helper runs as the session's user: fork, the user's groups, gid and
// uid, the user's own environment, exec.
//
// Impersonation switches the effective uid, gid and groups of the calling
// thread alone, with the raw system calls (glibc's wrappers would switch every
// thread of the daemon). That is what a thread token is on Windows: the
// spooler code then reads the user's own lpoptions and files with the user's
// rights, while the other request threads keep running as the daemon. The
// real and saved ids stay the daemon's, so the user gains no right over the
// daemon's process (no signal, no trace) meanwhile.
#include <sys/types.h>

#include <functional>

#include "platform/metrics_channel.h"

namespace tb::platform {

class PosixMetricsChannel : public MetricsChannel {
 public:
  // Maps a session number (PosixDesktopLauncher's numbering) to its user;
  // false with errno set when the session has none.
  using SessionUserLookup = std::function<bool(uint32_t session, uid_t& uid)>;

  explicit PosixMetricsChannel(SessionUserLookup lookup);

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

  // Impersonation of one user by uid, the part after the session lookup; the
  // calling thread only. Null with the text and the thread's ids unchanged.
  static std::unique_ptr<Impersonation> ImpersonateUser(uid_t uid, std::string& error);

 private:
  SessionUserLookup lookup_;
};

}  // namespace tb::platform
