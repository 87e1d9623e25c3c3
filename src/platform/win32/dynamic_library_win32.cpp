#include <windows.h>

#include "platform/dynamic_library.h"
#include "platform/win32/wide_text.h"

namespace tb::platform {

bool DynamicLibrary::Open(const std::string& path, uint32_t& error) {
  Close();
  std::wstring wide = Utf8ToWide(path);
  HMODULE module = wide.empty() ? nullptr : ::LoadLibraryW(wide.c_str());
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
