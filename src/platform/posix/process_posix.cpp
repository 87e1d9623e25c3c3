#include "platform/posix/process_posix.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>

namespace tb::platform {

bool StartedByServiceManager() {
  const char* notify = std::getenv("NOTIFY_SOCKET");
  const char* invocation = std::getenv("INVOCATION_ID");
  return (notify && *notify) || (invocation && *invocation);
}

std::string PosixProcess::ExecutablePath() {
  std::string buf(256, '\0');
  for (;;) {
    ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size());
    if (n <= 0) return {};
    if (static_cast<size_t>(n) < buf.size()) {
      buf.resize(static_cast<size_t>(n));
      return buf;
    }
    if (buf.size() >= 65536) return {};
    buf.resize(buf.size() * 2);
  }
}

bool PosixProcess::SetCurrentDirectory(const std::string& dir) { return ::chdir(dir.c_str()) == 0; }

Process::Session PosixProcess::OwnSession() {
  return StartedByServiceManager() ? Session::kService : Session::kConsole;
}

uint32_t PosixProcess::LastError() { return static_cast<uint32_t>(errno); }

std::vector<std::string> PosixProcess::CommandLineArguments() {
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::string> args;
  size_t start = 0;
  while (start < all.size()) {
    size_t end = all.find('\0', start);
    if (end == std::string::npos) end = all.size();
    args.push_back(all.substr(start, end - start));
    start = end + 1;
  }
  return args;
}

uint32_t PosixProcess::ProcessId() { return static_cast<uint32_t>(::getpid()); }

}  // namespace tb::platform
