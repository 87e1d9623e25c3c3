#pragma once
// A shared library loaded at run time (LoadLibraryW / dlopen), released when
// the object goes away.
#include <cstdint>
#include <string>

namespace tb::platform {

// One owner, one thread at a time; symbols are valid only while it stays open.
class DynamicLibrary {
 public:
  DynamicLibrary() = default;
  ~DynamicLibrary() { Close(); }
  DynamicLibrary(const DynamicLibrary&) = delete;
  DynamicLibrary& operator=(const DynamicLibrary&) = delete;

  // Loads the library at `path` (UTF-8). A bare file name is looked for in the
  // program's folder and then the system folder only on Windows (dlopen's
  // order elsewhere). Any library held before is released first. False with the
  // OS error number (GetLastError / errno, 0 when the OS gave none).
  bool Open(const std::string& path, uint32_t& error);

  // The address of an exported symbol; null when absent or nothing is loaded.
  void* Symbol(const char* name) const;

  // Releases the library; nothing when none is loaded.
  void Close();

  bool IsOpen() const { return handle_ != nullptr; }

 private:
  void* handle_ = nullptr;
};

// The file name under which the daemon looks for the PDF library.
const char* PdfiumLibraryFileName();

// Separator between a folder and a file name in this platform's paths.
char PathSeparator();

}  // namespace tb::platform
