#pragma once
// Starting programs on the interactive user's desktop, and the processes
// started that way.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tb::platform {

inline constexpr uint32_t kNoSession = 0xFFFFFFFF;

enum class WindowMode { kShown, kHidden };

enum class WaitOutcome { kExited, kTimedOut, kFailed };

// A started program, owned by the caller. Destroying it (or Close()) releases
// its handles, never the program itself. One thread uses it at a time.
class ChildProcess {
 public:
  virtual ~ChildProcess() = default;
  // False when the start gave no usable process handle.
  virtual bool HasUsableHandle() const = 0;
  virtual uint32_t Id() const = 0;
  virtual WaitOutcome Wait(uint32_t timeoutMs) = 0;
  // The exit code once the program has exited; false when it cannot be read.
  virtual bool ExitCode(uint32_t& code) = 0;
  // Ends the program at once; it exits with `exitCode` where the platform
  // lets the caller choose one.
  virtual bool Terminate(uint32_t exitCode) = 0;
  // The reason (GetLastError / errno) of the last failed Wait or Terminate.
  virtual uint32_t LastError() const = 0;
  // CloseProcessHandles: safe to call more than once.
  virtual void Close() = 0;
};

class DesktopLauncher {
 public:
  virtual ~DesktopLauncher() = default;

  // The session to launch into: the first active user session that is not 0,
  // else the console session; kNoSession when none qualifies.
  virtual uint32_t ActiveUserSession() = 0;

  // Starts `commandLine` (first token names the program; program folder first,
  // then the search path). Safe from any thread. Null on failure, with the
  // reason in LastError() and LastErrorText() of the same thread; nothing is
  // left running then.
  virtual std::unique_ptr<ChildProcess> CreateProcessOnUserDesktop(const std::string& commandLine,
                                                                   WindowMode mode) = 0;

  // The reason of the calling thread's last failed launch.
  virtual uint32_t LastError() = 0;

  // The calling thread's last failed launch told as one log line ("No active
  // session found"), for the caller to log; empty when the number in
  // LastError() says all there is.
  virtual std::string LastErrorText() { return {}; }
};

// One entry of the platform's session list, in the order the platform lists
// them.
struct SessionState {
  uint32_t id = kNoSession;
  bool active = false;
};

// The session walk both platforms share: the first active session that is
// not session 0, else `fallback` (the console session, possibly kNoSession).
uint32_t ChooseActiveSession(const std::vector<SessionState>& sessions, uint32_t fallback);

// The program a Windows command line names, as the path it is started from:
// a bare name (no folder, no drive) is taken from `folder` only and never
// searched for anywhere else; a name with a folder or a drive stays as it is.
// Empty when the line names no program or a bare name has no folder.
std::string WindowsProgramPath(const std::string& commandLine, const std::string& folder);

}  // namespace tb::platform
