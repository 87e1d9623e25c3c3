#pragma once
// Collecting a child process without waiting for it.
#include <sys/types.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdint>

namespace tb::platform {

// 1 the child has ended and `status` holds its wait status, 0 it is still
// running, -1 waitpid failed (errno tells why).
// `status` is only written when the child has ended.
inline int ReapIfEnded(pid_t pid, int& status) {
  int seen = 0;
  pid_t r;
  do {
    r = ::waitpid(pid, &seen, WNOHANG);
  } while (r < 0 && errno == EINTR);
  if (r == pid) {
    status = seen;
    return 1;
  }
  return r == 0 ? 0 : -1;
}

// The exit code a wait status stands for: the program's own, or 128 plus the
// signal that ended it, as shells report it. False for any other status.
inline bool ExitCodeOf(int status, uint32_t& code) {
  if (WIFEXITED(status)) {
    code = static_cast<uint32_t>(WEXITSTATUS(status));
    return true;
  }
  if (WIFSIGNALED(status)) {
    code = 128u + static_cast<uint32_t>(WTERMSIG(status));
    return true;
  }
  return false;
}

}  // namespace tb::platform
