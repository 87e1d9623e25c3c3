#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "platform/process.h"

namespace tb::platform {

class Win32Process : public Process {
 public:
  std::string ExecutablePath() override;
  bool SetCurrentDirectory(const std::string& dir) override;
  Session OwnSession() override;
  std::string ServiceFolderProblem(const std::string& folder) override;
  uint32_t LastError() override;
  std::vector<std::string> CommandLineArguments() override;
  uint32_t ProcessId() override;
};

}  // namespace tb::platform
