#pragma once
// Starting a program on the interactive desktop, as the daemon or as a
// session's user: the one creation path the launcher and the metrics helper
// share.
#include <windows.h>

#include <string>

#include "platform/launcher.h"
#include "platform/win32/unique_handle.h"

namespace tb::platform {

// The primary token of the user logged on to `session` (WTSQueryUserToken,
// then DuplicateTokenEx). False with the failed call's text ("WTSQueryUserToken
// failed: 5") in `error` and its number in `code`; `primary` is empty then.
bool SessionPrimaryToken(DWORD session, Handle& primary, std::string& error, DWORD& code);

struct DesktopStart {
  HANDLE token = nullptr;    // the primary token to run as; null: the daemon itself
  std::wstring application;  // empty: the command line's first token names it
  std::wstring commandLine;
  std::wstring workingDir;   // empty: the daemon's
  WindowMode mode = WindowMode::kShown;
  DWORD flags = 0;           // creation flags besides the environment's
};

// Starts the program on winsta0\default; run as a token's user it gets that
// user's environment (the daemon's when it cannot be made). The program runs
// in the job that ends it when the daemon ends (user_job_win32.h). True with
// `pi` holding handles the caller now owns; false with the failed call's
// GetLastError in `error`.
bool StartOnDesktop(const DesktopStart& start, PROCESS_INFORMATION& pi, DWORD& error);

}  // namespace tb::platform
