#include "platform/win32/launcher_win32.h"

#include <windows.h>
#include <userenv.h>
#include <wtsapi32.h>

#include <vector>

#include "platform/win32/wide_text.h"
#include "base/logging.h"

namespace tb::platform {
namespace {

// The reason of this thread's last failed launch, kept apart from
// GetLastError so that logging on the way out cannot overwrite it.
thread_local DWORD t_lastError = 0;

bool Failed() {
  t_lastError = GetLastError();
  return false;
}

bool UsableHandle(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }

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

class Token {
 public:
  ~Token() {
    if (h) CloseHandle(h);
  }
  HANDLE h = nullptr;
};

class EnvironmentBlock {
 public:
  ~EnvironmentBlock() {
    if (block) DestroyEnvironmentBlock(block);
  }
  void* block = nullptr;
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

std::unique_ptr<ChildProcess> Win32DesktopLauncher::CreateProcessOnUserDesktop(
    const std::string& commandLine, WindowMode mode) {
  std::wstring wide = Utf8ToWide(commandLine);
  if (wide.empty()) {
    t_lastError = ERROR_INVALID_PARAMETER;
    return nullptr;
  }
  // The creation call may write into the command line.
  std::vector<wchar_t> buffer(wide.begin(), wide.end());
  buffer.push_back(L'\0');
  wchar_t desktop[] = L"winsta0\\default";

  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.lpDesktop = desktop;
  si.dwFlags = STARTF_USESHOWWINDOW;
  si.wShowWindow = mode == WindowMode::kShown ? SW_SHOWNORMAL : SW_HIDE;
  PROCESS_INFORMATION pi{};

  uint32_t ownSession = 0;
  if (!OwnSession(ownSession)) {
    // Not knowing whether this is the service, starting the program here
    // could run it as SYSTEM: fail instead.
    Failed();
    LogError("ProcessIdToSessionId failed: " + std::to_string(t_lastError));
    return nullptr;
  }
  if (ownSession != 0) {
    // A console run already lives in the user's session.
    if (!CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                        &pi)) {
      Failed();
      return nullptr;
    }
    return std::make_unique<Win32ChildProcess>(pi);
  }

  DWORD session = ActiveUserSession();
  if (session == 0xFFFFFFFF) {
    t_lastError = GetLastError();
    LogError("No active session found");
    return nullptr;
  }
  Token primary;
  BOOL duplicated;
  {
    Token user;  // closed right after the duplication, whatever its outcome
    if (!WTSQueryUserToken(session, &user.h)) {
      user.h = nullptr;
      t_lastError = GetLastError();
      LogError("WTSQueryUserToken failed: " + std::to_string(t_lastError));
      return nullptr;
    }
    duplicated = DuplicateTokenEx(user.h, TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation,
                                  TokenPrimary, &primary.h);
    if (!duplicated) t_lastError = GetLastError();
  }
  if (!duplicated) {
    primary.h = nullptr;
    return nullptr;
  }
  // Without the user's environment the program gets the service's; it still
  // runs as the user.
  EnvironmentBlock env;
  if (!CreateEnvironmentBlock(&env.block, primary.h, FALSE)) env.block = nullptr;
  if (!CreateProcessAsUserW(primary.h, nullptr, buffer.data(), nullptr, nullptr, FALSE,
                            env.block ? CREATE_UNICODE_ENVIRONMENT : 0, env.block, nullptr, &si,
                            &pi)) {
    Failed();
    return nullptr;
  }
  return std::make_unique<Win32ChildProcess>(pi);
}

}  // namespace tb::platform
