#pragma once
// Starting programs on the interactive user's desktop from the service
// (session 0) with the user's own token and environment, or in the daemon's
// own session in a console run.
#include "platform/launcher.h"

namespace tb::platform {

class Win32DesktopLauncher : public DesktopLauncher {
 public:
  uint32_t ActiveUserSession() override;
  std::unique_ptr<ChildProcess> CreateProcessOnUserDesktop(const std::string& commandLine,
                                                           WindowMode mode) override;
  uint32_t LastError() override;
  std::string LastErrorText() override;

  // The daemon's own session (ProcessIdToSessionId); false with
  // GetLastError set when it cannot be told.
  virtual bool OwnSession(uint32_t& session);
};

}  // namespace tb::platform
