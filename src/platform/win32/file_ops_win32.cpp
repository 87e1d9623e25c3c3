#include <windows.h>

#include "platform/file_ops.h"
#include "platform/win32/wide_text.h"

namespace tb::platform {

bool MoveFileReplacing(const std::string& from, const std::string& to, uint32_t& error,
                       MoveDurability durability) {
  std::wstring wideFrom = Utf8ToWide(from);
  std::wstring wideTo = Utf8ToWide(to);
  if (wideFrom.empty() || wideTo.empty()) {
    error = ERROR_INVALID_NAME;
    return false;
  }
  DWORD flags = MOVEFILE_REPLACE_EXISTING;
  if (durability == MoveDurability::kWriteThrough) flags |= MOVEFILE_WRITE_THROUGH;
  if (!::MoveFileExW(wideFrom.c_str(), wideTo.c_str(), flags)) {
    error = static_cast<uint32_t>(::GetLastError());
    return false;
  }
  error = 0;
  return true;
}

void SetFileTimesToNow(const std::string& path) {
  std::wstring wide = Utf8ToWide(path);
  if (wide.empty()) return;
  HANDLE file = ::CreateFileW(wide.c_str(), FILE_WRITE_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  FILETIME now;
  ::GetSystemTimeAsFileTime(&now);
  ::SetFileTime(file, nullptr, &now, &now);
  ::CloseHandle(file);
}

}  // namespace tb::platform
