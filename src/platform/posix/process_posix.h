#pragma once
#include "platform/process.h"

namespace tb::platform {

class PosixProcess : public Process {
 public:
  std::string ExecutablePath() override;
  bool SetCurrentDirectory(const std::string& dir) override;
  Session OwnSession() override;
  std::string ServiceFolderProblem(const std::string& folder) override;
  uint32_t LastError() override;
  std::vector<std::string> CommandLineArguments() override;
  uint32_t ProcessId() override;
};

// True when the service manager started this process (it sets NOTIFY_SOCKET
// for Type=notify units and INVOCATION_ID for every unit).
bool StartedByServiceManager();

}  // namespace tb::platform
