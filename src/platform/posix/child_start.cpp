#include "platform/posix/child_start.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/posix/unique_fd.h"

namespace tb::platform {
namespace {

// Marks every descriptor from 3 up close-on-exec (async-signal-safe).
void CloseOnExecFrom3(int maxFd) {
#ifdef SYS_close_range
  if (::syscall(SYS_close_range, 3u, ~0u, 4u /* CLOSE_RANGE_CLOEXEC */) == 0) return;
#endif
  for (int fd = 3; fd < maxFd; ++fd) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
}

[[noreturn]] void ChildFail(int pipeFd, StartStep step) {
  StartFailure failure{step, errno};
  ssize_t ignored = ::write(pipeFd, &failure, sizeof failure);
  (void)ignored;
  ::_exit(127);
}

}  // namespace

int OpenDevNull() {
  Fd fd(::open("/dev/null", O_RDWR | O_CLOEXEC));
  if (fd.get() < 0 || fd.get() > 2) return fd.Release();
  return ::fcntl(fd.get(), F_DUPFD_CLOEXEC, 3);
}

int OpenPidFd(pid_t pid) {
#ifdef SYS_pidfd_open
  return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
  (void)pid;
  errno = ENOSYS;
  return -1;
#endif
}

bool ForkExec(const std::string& program, char** argv, char** env, int devNull,
              const UserIdentity* user, const std::string& workingDir, pid_t& pid,
              StartFailure& failure) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    failure = {StartStep::kPipe, errno};
    return false;
  }
  Fd errRead(fds[0]), errWrite(fds[1]);

  // Read before the fork: the child may only make system calls.
  rlimit limit{};
  const int maxFd = ::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY
                        ? static_cast<int>(std::min<rlim_t>(limit.rlim_cur, 65536))
                        : 65536;

  pid = ::fork();
  if (pid < 0) {
    failure = {StartStep::kFork, errno};
    return false;
  }
  if (pid == 0) {
    // Child: only async-signal-safe calls until exec.
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; ++sig) ::sigaction(sig, &dfl, nullptr);
    for (int target = 0; target <= 2; ++target) {
      if (::dup2(devNull, target) < 0) ChildFail(errWrite.get(), StartStep::kStreams);
    }
    if (!workingDir.empty() && ::chdir(workingDir.c_str()) != 0)
      ChildFail(errWrite.get(), StartStep::kWorkingDir);
    if (user) {
      if (::setgroups(user->groups.size(), user->groups.data()) != 0)
        ChildFail(errWrite.get(), StartStep::kGroups);
      if (::setgid(user->gid) != 0) ChildFail(errWrite.get(), StartStep::kGid);
      if (::setuid(user->uid) != 0) ChildFail(errWrite.get(), StartStep::kUid);
    }
    CloseOnExecFrom3(maxFd);
    ::execve(program.c_str(), argv, env);
    ChildFail(errWrite.get(), StartStep::kExec);
  }

  errWrite.Reset();
  StartFailure reported;
  ssize_t got;
  do {
    got = ::read(errRead.get(), &reported, sizeof reported);
  } while (got < 0 && errno == EINTR);
  if (got != static_cast<ssize_t>(sizeof reported)) return true;
  // The exec did not happen: collect the child and report its reason.
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  failure = reported;
  return false;
}

}  // namespace tb::platform
