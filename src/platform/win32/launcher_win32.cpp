#include "platform/win32/launcher_win32.h"

#include <windows.h>
#include <wtsapi32.h>

#include <vector>

#include "platform/win32/desktop_start.h"
#include "platform/win32/unique_handle.h"
#include "platform/win32/wide_text.h"

namespace tb::platform {
namespace {

// The reason of this thread's last failed launch, kept apart from
// GetLastError so that whatever runs on the way out cannot overwrite it.
thread_local DWORD t_lastError = 0;
thread_local std::string t_lastErrorText;

// CloseProcessHandles: each handle once, then forgotten.
void CloseProcessHandles(PROCESS_INFORMATION& pi) {
  if (UsableHandle(pi.hProcess)) {
    CloseHandle(pi.hProcess);
    pi.hProcess = nullptr;
  }
  if (UsableHandle(pi.hThread)) {
    CloseHandle(pi.hThread);
    pi.hThread = nullptr;
  }
}

class Win32ChildProcess : public ChildProcess {
 public:
  explicit Win32ChildProcess(const PROCESS_INFORMATION& pi) : pi_(pi) {}
  ~Win32ChildProcess() override { Close(); }

  bool HasUsableHandle() const override { return UsableHandle(pi_.hProcess); }
  uint32_t Id() const override { return pi_.dwProcessId; }

  WaitOutcome Wait(uint32_t timeoutMs) override {
    DWORD r = WaitForSingleObject(pi_.hProcess, timeoutMs);
    if (r == WAIT_OBJECT_0) return WaitOutcome::kExited;
    if (r == WAIT_TIMEOUT) return WaitOutcome::kTimedOut;
    lastError_ = GetLastError();
    return WaitOutcome::kFailed;
  }

  bool ExitCode(uint32_t& code) override {
    DWORD value = 0;
    if (!GetExitCodeProcess(pi_.hProcess, &value)) {
      lastError_ = GetLastError();
      return false;
    }
    code = value;
    return true;
  }

  bool Terminate(uint32_t exitCode) override {
    if (!TerminateProcess(pi_.hProcess, exitCode)) {
      lastError_ = GetLastError();
      return false;
    }
    return true;
  }

  uint32_t LastError() const override { return lastError_; }
  void Close() override { CloseProcessHandles(pi_); }

 private:
  PROCESS_INFORMATION pi_;
  DWORD lastError_ = 0;
};

class SessionList {
 public:
  ~SessionList() {
    if (list) WTSFreeMemory(list);
  }
  WTS_SESSION_INFOW* list = nullptr;
  DWORD count = 0;
};

}  // namespace

namespace {

// The folder of the running executable, where the outside programs live.
std::string ExecutableFolder() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return {};
    if (n < path.size()) {
      path.resize(n);
      break;
    }
    path.resize(path.size() * 2);
  }
  const size_t cut = path.find_last_of(L"\\/");
  return cut == std::wstring::npos ? std::string() : WideToUtf8(path.substr(0, cut));
}

bool IsFile(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

}  // namespace

uint32_t Win32DesktopLauncher::ActiveUserSession() {
  SessionList sessions;
  if (!WTSEnumerateSessionsW(WTS_CURRENT_SERVER_HANDLE, 0, 1, &sessions.list, &sessions.count)) {
    sessions.list = nullptr;
    return WTSGetActiveConsoleSessionId();
  }
  DWORD console = WTSGetActiveConsoleSessionId();
  std::vector<SessionState> states;
  states.reserve(sessions.count);
  for (DWORD i = 0; i < sessions.count; ++i) {
    states.push_back({sessions.list[i].SessionId, sessions.list[i].State == WTSActive});
  }
  return ChooseActiveSession(states, console);
}

uint32_t Win32DesktopLauncher::LastError() { return t_lastError; }

bool Win32DesktopLauncher::OwnSession(uint32_t& session) {
  DWORD id = 0;
  if (!ProcessIdToSessionId(GetCurrentProcessId(), &id)) return false;
  session = id;
  return true;
}

std::string Win32DesktopLauncher::LastErrorText() { return t_lastErrorText; }

std::unique_ptr<ChildProcess> Win32DesktopLauncher::CreateProcessOnUserDesktop(
    const std::string& commandLine, WindowMode mode) {
  t_lastErrorText.clear();
  DesktopStart start;
  start.commandLine = Utf8ToWide(commandLine);
  start.mode = mode;
  if (start.commandLine.empty()) {
    t_lastError = ERROR_INVALID_PARAMETER;
    return nullptr;
  }
  // Started by its full path: a program missing from the program folder is
  // not looked for along the system's or the user's search path, where
  // anyone who can write a folder of it would be started as the user.
  start.application = Utf8ToWide(WindowsProgramPath(commandLine, ExecutableFolder()));
  if (start.application.empty() || !IsFile(start.application)) {
    t_lastError = ERROR_FILE_NOT_FOUND;
    return nullptr;
  }
  PROCESS_INFORMATION pi{};

  uint32_t ownSession = 0;
  if (!OwnSession(ownSession)) {
    // Not knowing whether this is the service, starting the program here
    // could run it as SYSTEM: fail instead.
    t_lastError = GetLastError();
    t_lastErrorText = "ProcessIdToSessionId failed: " + std::to_string(t_lastError);
    return nullptr;
  }
  if (ownSession != 0) {
    // A console run already lives in the user's session.
    if (!StartOnDesktop(start, pi, t_lastError)) return nullptr;
    return std::make_unique<Win32ChildProcess>(pi);
  }

  DWORD session = ActiveUserSession();
  if (session == kNoSession) {
    t_lastError = GetLastError();
    t_lastErrorText = "No active session found";
    return nullptr;
  }
  Handle primary;
  if (!SessionPrimaryToken(session, primary, t_lastErrorText, t_lastError)) return nullptr;
  start.token = primary.get();
  if (!StartOnDesktop(start, pi, t_lastError)) return nullptr;
  return std::make_unique<Win32ChildProcess>(pi);
}

}  // namespace tb::platform
