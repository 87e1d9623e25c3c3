#include "platform/win32/desktop_start.h"

#include <userenv.h>
#include <wtsapi32.h>

#include <vector>

#include "platform/win32/user_job_win32.h"

namespace tb::platform {
namespace {

class EnvironmentBlock {
 public:
  ~EnvironmentBlock() {
    if (block) DestroyEnvironmentBlock(block);
  }
  void* block = nullptr;
};

}  // namespace

bool SessionPrimaryToken(DWORD session, Handle& primary, std::string& error, DWORD& code) {
  Handle user;  // closed right after the duplication, whatever its outcome
  const char* call = "WTSQueryUserToken";
  if (WTSQueryUserToken(session, user.out())) {
    call = "DuplicateTokenEx";
    if (DuplicateTokenEx(user.get(), TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation,
                         TokenPrimary, primary.out()))
      return true;
  }
  code = GetLastError();
  primary.Release();  // whatever a failed call left there is no handle
  error = std::string(call) + " failed: " + std::to_string(static_cast<uint32_t>(code));
  return false;
}

namespace {

bool CreateOnDesktop(const DesktopStart& start, PROCESS_INFORMATION& pi, DWORD& error) {
  // The creation call may write into the command line.
  std::vector<wchar_t> line(start.commandLine.begin(), start.commandLine.end());
  line.push_back(L'\0');
  wchar_t desktop[] = L"winsta0\\default";
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.lpDesktop = desktop;
  si.dwFlags = STARTF_USESHOWWINDOW;
  si.wShowWindow = start.mode == WindowMode::kShown ? SW_SHOWNORMAL : SW_HIDE;
  const wchar_t* app = start.application.empty() ? nullptr : start.application.c_str();
  const wchar_t* dir = start.workingDir.empty() ? nullptr : start.workingDir.c_str();

  // Suspended until it is in the job that ends it with the daemon.
  const DWORD suspended = start.flags | CREATE_SUSPENDED;
  if (!start.token) {
    if (CreateProcessW(app, line.data(), nullptr, nullptr, FALSE, suspended, nullptr, dir, &si,
                       &pi))
      return true;
    error = GetLastError();
    return false;
  }
  // Without the user's environment the program gets the service's; it still
  // runs as the user.
  EnvironmentBlock env;
  if (!CreateEnvironmentBlock(&env.block, start.token, FALSE)) env.block = nullptr;
  const DWORD flags = suspended | (env.block ? CREATE_UNICODE_ENVIRONMENT : 0);
  if (CreateProcessAsUserW(start.token, app, line.data(), nullptr, nullptr, FALSE, flags,
                           env.block, dir, &si, &pi))
    return true;
  error = GetLastError();  // before the block is destroyed
  return false;
}

}  // namespace

bool StartOnDesktop(const DesktopStart& start, PROCESS_INFORMATION& pi, DWORD& error) {
  if (!CreateOnDesktop(start, pi, error)) return false;
  // A program that cannot be put into the job is ended, never left running
  // where nothing ends it with the daemon.
  error = RunInUserJob(pi);
  if (error == ERROR_SUCCESS) return true;
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  pi = PROCESS_INFORMATION{};
  return false;
}

}  // namespace tb::platform
