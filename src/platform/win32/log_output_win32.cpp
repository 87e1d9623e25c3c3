#include "platform/log_output.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdio>
#include <string>

#include "platform/win32/wide_text.h"

namespace tb::platform {
namespace {

enum class OutputMode { kUnset, kConsole, kFile };
std::atomic<OutputMode> g_mode{OutputMode::kUnset};

// Log lines must never vanish because one byte is malformed (a path from the
// file system, a library message), so the log uses the replacing conversion
// rather than the strict one that gives empty text.
std::wstring LogTextToWide(std::string_view text) {
  if (text.empty()) return {};
  const int size = static_cast<int>(text.size());
  int needed = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
  if (needed <= 0) return {};
  std::wstring wide(static_cast<size_t>(needed), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, text.data(), size, wide.data(), needed);
  return wide;
}

// The console handle behind a stream, or null when it goes to a file or pipe.
HANDLE ConsoleOf(FILE* stream) {
  const int fd = _fileno(stream);
  if (fd < 0) return nullptr;
  HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  DWORD consoleMode = 0;
  if (handle == INVALID_HANDLE_VALUE || !::GetConsoleMode(handle, &consoleMode)) return nullptr;
  return handle;
}

// A console shows UTF-16 correctly whatever its code page.
bool WriteConsoleText(HANDLE console, const std::wstring& text) {
  const wchar_t* p = text.data();
  size_t left = text.size();
  while (left > 0) {
    DWORD written = 0;
    const DWORD chunk = static_cast<DWORD>(left > 16384 ? 16384 : left);
    if (!::WriteConsoleW(console, p, chunk, &written, nullptr) || written == 0) return false;
    p += written;
    left -= written;
  }
  return true;
}

void SetFileModes() {
  // Wide text is stored as UTF-8 (no byte-order mark); both streams turn "\n"
  // into CR LF. Standard error is never held back in a buffer.
  _setmode(_fileno(stdout), _O_U8TEXT);
  _setmode(_fileno(stderr), _O_TEXT);
  std::setvbuf(stderr, nullptr, _IONBF, 0);
}

// A process the service manager starts has no standard handles: its
// streams have no descriptor (_fileno is negative) that could be moved.
// Reopening such a stream on the null device gives it one.
bool EnsureDescriptor(FILE* stream, int standardFd) {
  if (_fileno(stream) >= 0) return true;
  if (_wfreopen(L"NUL", L"w", stream) != nullptr && _fileno(stream) >= 0) return true;
#if !defined(_UCRT)
  // Some msvcrt builds refuse to reopen a stream that never had a
  // descriptor: give the standard descriptor a file and tie the stream to it.
  const int nul = _wopen(L"NUL", _O_WRONLY | _O_TEXT | _O_NOINHERIT);
  if (nul < 0) return false;
  const bool ok = _dup2(nul, standardFd) == 0;
  _close(nul);
  if (!ok) return false;
  stream->_file = standardFd;
  return _fileno(stream) == standardFd;
#else
  (void)standardFd;
  return false;
#endif
}

// _dup2 makes inheritable handles: a program the daemon starts must not get
// the log file (it would hold it open across rotation and could write to it).
void KeepFromChildren(FILE* stream) {
  const int fd = _fileno(stream);
  if (fd < 0) return;
  HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  if (handle != INVALID_HANDLE_VALUE) ::SetHandleInformation(handle, HANDLE_FLAG_INHERIT, 0);
}

// Points both standard streams at the open descriptor `fd` (which is closed).
// Either both move or neither: when the second step fails, standard output is
// put back where it was.
bool RedirectBoth(int fd) {
  std::fflush(stdout);
  std::fflush(stderr);
  if (!EnsureDescriptor(stdout, 1) || !EnsureDescriptor(stderr, 2)) {
    _close(fd);
    return false;
  }
  const int out = _fileno(stdout);
  const int err = _fileno(stderr);
  const int savedOut = _dup(out);
  bool ok = _dup2(fd, out) == 0;
  if (ok && _dup2(fd, err) != 0) {
    ok = false;
    if (savedOut >= 0) _dup2(savedOut, out);
  }
  if (savedOut >= 0) _close(savedOut);
  _close(fd);
  KeepFromChildren(stdout);
  KeepFromChildren(stderr);
  return ok;
}

}  // namespace

void WriteLogLine(LogStream stream, std::string_view line) {
  if (stream == LogStream::kInfo) {
    if (g_mode.load() == OutputMode::kUnset) PrepareConsoleOutput();
    std::wstring wide = LogTextToWide(line);
    if (g_mode.load() != OutputMode::kFile) {
      if (HANDLE console = ConsoleOf(stdout)) {
        WriteConsoleText(console, wide);
        return;
      }
    }
    std::fputws(wide.c_str(), stdout);
    std::fflush(stdout);
    return;
  }
  if (g_mode.load() != OutputMode::kFile) {
    if (HANDLE console = ConsoleOf(stderr)) {
      // Narrow UTF-8 would show as the console code page's characters.
      std::fflush(stderr);
      WriteConsoleText(console, LogTextToWide(line));
      return;
    }
  }
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

bool RedirectStandardStreams(const std::string& path) {
  std::wstring wide = Utf8ToWide(path);
  if (wide.empty()) return false;
  // Open first, redirect second: a file that cannot be opened leaves both
  // streams where they were.
  const int fd = _wopen(wide.c_str(), _O_WRONLY | _O_CREAT | _O_APPEND | _O_TEXT | _O_NOINHERIT,
                        _S_IREAD | _S_IWRITE);
  if (fd < 0) return false;
  if (!RedirectBoth(fd)) return false;
  SetFileModes();
  g_mode.store(OutputMode::kFile);
  return true;
}

void RedirectStandardStreamsToNull() {
  const int fd = _wopen(L"NUL", _O_WRONLY | _O_TEXT | _O_NOINHERIT);
  if (fd < 0) return;
  if (RedirectBoth(fd)) SetFileModes();
}

void PrepareConsoleOutput() {
  if (g_mode.load() == OutputMode::kFile) return;
  // Standard output carries wide text only; UTF-16 mode lets a console, a
  // pipe or a file receive it without a code page in between.
  if (_fileno(stdout) >= 0) _setmode(_fileno(stdout), _O_U16TEXT);
  g_mode.store(OutputMode::kConsole);
}

void FlushStandardStreams() {
  std::fflush(stdout);
  std::fflush(stderr);
}

}  // namespace tb::platform
