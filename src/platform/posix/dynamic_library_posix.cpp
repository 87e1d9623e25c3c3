#include <dlfcn.h>

#include <cerrno>

#include "platform/dynamic_library.h"

namespace tb::platform {

bool DynamicLibrary::Open(const std::string& path, uint32_t& error) {
  Close();
  // dlopen reports through dlerror(); errno holds the cause of the failed
  // open (ENOENT, EACCES) or is left at 0 for anything else.
  errno = 0;
  handle_ = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  error = handle_ ? 0 : static_cast<uint32_t>(errno);
  return handle_ != nullptr;
}

void* DynamicLibrary::Symbol(const char* name) const {
  if (!handle_) return nullptr;
  return ::dlsym(handle_, name);
}

void DynamicLibrary::Close() {
  if (!handle_) return;
  ::dlclose(handle_);
  handle_ = nullptr;
}

const char* PdfiumLibraryFileName() { return "libpdfium.so"; }

char PathSeparator() { return '/'; }

}  // namespace tb::platform
