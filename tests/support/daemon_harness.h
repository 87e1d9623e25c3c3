#pragma once
// Runs the real daemon executable from a temporary program folder, the way an
// operator would: the executable is copied there and started with its own
// folder as the working directory.
#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tbtest {

// A fresh folder under /tmp, removed with everything in it on destruction.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);

struct DaemonOptions {
  std::vector<std::string> args = {"/debug"};
  std::map<std::string, std::string> env;  // added to the test's environment
  bool waitForPort = true;
};

class DaemonProcess {
 public:
  // Copies the executable (and any companion files already placed by the
  // caller stay where they are) into `folder` and starts it.
  DaemonProcess(const TempFolder& folder, DaemonOptions options = {});
  ~DaemonProcess();  // kills the process if it still runs

  pid_t pid() const { return pid_; }
  std::string executable() const { return exe_; }
  // Sends a signal (SIGTERM by default).
  void Signal(int sig);
  // Waits for the exit; the exit status, or 128 + signal. nullopt on timeout.
  std::optional<int> Wait(std::chrono::milliseconds timeout);
  bool Running();
  std::string Stdout() const;
  std::string Stderr() const;

 private:
  std::string folder_;
  std::string exe_;
  pid_t pid_ = -1;
  std::optional<int> exitStatus_;
};

// The daemon's executable as built; the companion programs built beside it.
std::string BuiltDaemonPath();
std::string BuildDir();

// Polls until 127.0.0.1:3806 accepts connections (or the timeout passes).
bool WaitForPort(int port, std::chrono::milliseconds timeout);
// True when nothing listens on the port.
bool PortIsFree(int port);
bool WaitForPortFree(int port, std::chrono::milliseconds timeout);
// The process listening on the TCP port: 0 when none, -1 when unknown.
pid_t ListeningPid(int port);

}  // namespace tbtest
