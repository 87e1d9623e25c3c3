#include "platform/win32/process_win32.h"

#include <windows.h>
#include <shellapi.h>
// The interface's method shares its name with the Win32 macro.
#undef SetCurrentDirectory

#include <memory>

#include "platform/win32/folder_access_win32.h"
#include "platform/win32/wide_text.h"

namespace tb::platform {

namespace {

// Grows the buffer through 260, 520, ... 33280 units: a result that fills the
// whole buffer means the path was cut, and Windows paths end at 32767 units.
std::string ReadModulePath() {
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD capacity = static_cast<DWORD>(buffer.size());
    const DWORD length = ::GetModuleFileNameW(nullptr, buffer.data(), capacity);
    if (length == 0) return {};
    if (length < capacity) {
      buffer.resize(length);
      return WideToUtf8(buffer);
    }
    if (capacity >= 32768) return {};
    buffer.resize(static_cast<size_t>(capacity) * 2);
  }
}

}  // namespace

std::string Win32Process::ExecutablePath() { return ReadModulePath(); }

bool Win32Process::SetCurrentDirectory(const std::string& dir) {
  std::wstring wide = Utf8ToWide(dir);
  if (wide.empty()) {
    ::SetLastError(ERROR_INVALID_NAME);
    return false;
  }
  return ::SetCurrentDirectoryW(wide.c_str()) != 0;
}

Process::Session Win32Process::OwnSession() {
  DWORD session = 0;
  if (!::ProcessIdToSessionId(::GetCurrentProcessId(), &session)) return Session::kUnknown;
  return session == 0 ? Session::kService : Session::kConsole;
}

std::string Win32Process::ServiceFolderProblem(const std::string& folder) {
  return ServiceFolderProblemWin32(folder);
}

uint32_t Win32Process::LastError() { return static_cast<uint32_t>(::GetLastError()); }

std::vector<std::string> Win32Process::CommandLineArguments() {
  int count = 0;
  LPWSTR* raw = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  if (!raw) return {};
  std::unique_ptr<LPWSTR, decltype(&::LocalFree)> argv(raw, &::LocalFree);
  std::vector<std::string> args;
  args.reserve(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) args.push_back(WideToUtf8(argv.get()[i]));
  return args;
}

uint32_t Win32Process::ProcessId() { return static_cast<uint32_t>(::GetCurrentProcessId()); }

}  // namespace tb::platform
