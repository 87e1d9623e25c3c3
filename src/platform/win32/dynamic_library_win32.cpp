#include <windows.h>

#include "platform/dynamic_library.h"
#include "platform/win32/wide_text.h"

namespace tb::platform {

bool DynamicLibrary::Open(const std::string& path, uint32_t& error) {
  Close();
  std::wstring wide = Utf8ToWide(path);
  // The program folder, then System32; never the current folder or PATH,
  // which a user can write to while the daemon runs as SYSTEM. The same
  // rule applies to the library's own dependencies.
  constexpr DWORD kSearch = LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32;
  HMODULE module = wide.empty() ? nullptr : ::LoadLibraryExW(wide.c_str(), nullptr, kSearch);
  if (!module) {
    error = wide.empty() ? ERROR_INVALID_NAME : static_cast<uint32_t>(::GetLastError());
    return false;
  }
  error = 0;
  handle_ = module;
  return true;
}

void* DynamicLibrary::Symbol(const char* name) const {
  if (!handle_) return nullptr;
  return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(handle_), name));
}

void DynamicLibrary::Close() {
  if (!handle_) return;
  ::FreeLibrary(static_cast<HMODULE>(handle_));
  handle_ = nullptr;
}

const char* PdfiumLibraryFileName() { return "pdfium.dll"; }

char PathSeparator() { return '\\'; }

}  // namespace tb::platform
