#pragma once
// Facts about the running process that only the operating system knows.
#include <cstdint>
#include <string>
#include <vector>

namespace tb::platform {

class Process {
 public:
  virtual ~Process() = default;

  // Full path of the running executable (UTF-8); empty when it cannot be read.
  virtual std::string ExecutablePath() = 0;

  // Makes `dir` the working directory; false on failure (LastError tells why).
  virtual bool SetCurrentDirectory(const std::string& dir) = 0;

  // Whether the process runs in the service context (session 0 on Windows,
  // started by the service manager on Linux). kUnknown when the system
  // cannot tell; LastError() then says why.
  enum class Session { kService, kConsole, kUnknown };
  virtual Session OwnSession() = 0;

  // Empty when `folder` is safe to run the service from (only the system's
  // own administrators may change it); otherwise why not. A folder that
  // cannot be read is not safe.
  virtual std::string ServiceFolderProblem(const std::string& folder) = 0;

  // The last OS error number of the calling thread (GetLastError / errno).
  virtual uint32_t LastError() = 0;

  // The process's arguments as the OS splits its command line (UTF-8),
  // program name first.
  virtual std::vector<std::string> CommandLineArguments() = 0;

  virtual uint32_t ProcessId() = 0;
};

}  // namespace tb::platform
