#include "platform/log_output.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace tb::platform {
namespace {

// Writes the whole buffer to a descriptor, retrying short writes.
void WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return;  // a stream that cannot be written loses the line
    }
    data.remove_prefix(static_cast<size_t>(n));
  }
}

bool RedirectBoth(int fd) {
  std::fflush(stdout);
  std::fflush(stderr);
  bool ok = ::dup2(fd, STDOUT_FILENO) >= 0 && ::dup2(fd, STDERR_FILENO) >= 0;
  ::close(fd);
  return ok;
}

}  // namespace

void WriteLogLine(LogStream stream, std::string_view line) {
  // Unbuffered descriptor writes: a line is in the file or pipe when this returns.
  WriteAll(stream == LogStream::kInfo ? STDOUT_FILENO : STDERR_FILENO, line);
}

bool RedirectStandardStreams(const std::string& path) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  return RedirectBoth(fd);
}

void RedirectStandardStreamsToNull() {
  int fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (fd >= 0) RedirectBoth(fd);
}

void PrepareConsoleOutput() {}

void FlushStandardStreams() {
  std::fflush(stdout);
  std::fflush(stderr);
}

}  // namespace tb::platform
