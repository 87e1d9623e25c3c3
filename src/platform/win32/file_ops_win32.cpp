#include <windows.h>

#include <limits>

#include "platform/caller_path.h"
#include "platform/file_ops.h"
#include "platform/win32/unique_handle.h"
#include "platform/win32/wide_text.h"

namespace tb::platform {
namespace {

// Reads and writes take a 32-bit length.
DWORD Piece(size_t size) {
  return static_cast<DWORD>(size > (std::numeric_limits<DWORD>::max)()
                                ? (std::numeric_limits<DWORD>::max)()
                                : size);
}

class WinRegularFileReader : public RegularFileReader {
 public:
  WinRegularFileReader(HANDLE h, int64_t size) : file_(h), size_(size) {}
  int64_t Size() const override { return size_; }
  int64_t Read(char* data, size_t size) override {
    DWORD got = 0;
    if (!::ReadFile(file_.get(), data, Piece(size), &got, nullptr)) return -1;
    return got;
  }

 private:
  Handle file_;
  int64_t size_;
};

class WinNewFile : public NewFile {
 public:
  explicit WinNewFile(HANDLE h) : file_(h) {}
  bool Write(const void* data, size_t size) override {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
      DWORD done = 0;
      if (!::WriteFile(file_.get(), p, Piece(size), &done, nullptr) || done == 0) return false;
      p += done;
      size -= done;
    }
    return true;
  }
  bool Sync() override { return ::FlushFileBuffers(file_.get()) != 0; }
  bool Close() override {
    HANDLE h = file_.Release();
    return !UsableHandle(h) || ::CloseHandle(h) != 0;
  }

 private:
  Handle file_;
};

// A drive letter mapped to a share is a network path too, also when named
// through the \\?\ prefix.
bool OnNetworkDrive(std::wstring path) {
  if (path.size() >= 4 && path.compare(0, 4, L"\\\\?\\") == 0) path.erase(0, 4);
  if (path.size() < 2 || path[1] != L':') return false;
  const wchar_t root[] = {path[0], L':', L'\\', L'\0'};
  return ::GetDriveTypeW(root) == DRIVE_REMOTE;
}

// Whether an open file lies on another machine: only a network redirector
// answers the remote-protocol query. The handle decides, whatever the path
// went through (a link, a junction, a mapped drive under any spelling).
bool IsRemoteFile(HANDLE file) {
  FILE_REMOTE_PROTOCOL_INFO info{};
  return ::GetFileInformationByHandleEx(file, FileRemoteProtocolInfo, &info, sizeof info) != FALSE;
}

}  // namespace

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

std::unique_ptr<RegularFileReader> OpenRegularFile(const std::string& path,
                                                   std::string& refusal) {
  refusal = WindowsPathRefusal(path);
  if (!refusal.empty()) return nullptr;
  std::wstring wide = Utf8ToWide(path);
  if (wide.empty()) return nullptr;
  if (OnNetworkDrive(wide)) {
    refusal = "network path";
    return nullptr;
  }
  const DWORD attributes = ::GetFileAttributesW(wide.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    refusal = "not a regular file";
    return nullptr;
  }
  Handle file(::CreateFileW(wide.c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN,
                            nullptr));
  if (!file.valid()) return nullptr;
  if (IsRemoteFile(file.get())) {
    refusal = "network path";
    return nullptr;
  }
  // The handle decides: a disk file that is not a folder.
  BY_HANDLE_FILE_INFORMATION info;
  if (::GetFileType(file.get()) != FILE_TYPE_DISK ||
      !::GetFileInformationByHandle(file.get(), &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    refusal = "not a regular file";
    return nullptr;
  }
  LARGE_INTEGER size;
  if (!::GetFileSizeEx(file.get(), &size)) return nullptr;
  return std::make_unique<WinRegularFileReader>(file.Release(), size.QuadPart);
}

std::unique_ptr<NewFile> CreateNewFile(const std::string& path, uint32_t& error) {
  std::wstring wide = Utf8ToWide(path);
  if (wide.empty()) {
    error = ERROR_INVALID_NAME;
    return nullptr;
  }
  // CREATE_NEW fails on any existing name, a link included, so nothing is
  // followed. The folder's inherited rights decide who may read the file.
  HANDLE h = ::CreateFileW(wide.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    error = static_cast<uint32_t>(::GetLastError());
    return nullptr;
  }
  error = 0;
  return std::make_unique<WinNewFile>(h);
}

// Files and folders inherit the rights of the program folder, which the
// installer sets; there is no creation mask to narrow.
void RestrictNewFileModes() {}
void ShareFolderForReading(const std::string&) {}

}  // namespace tb::platform
