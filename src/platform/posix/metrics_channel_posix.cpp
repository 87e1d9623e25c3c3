#include "platform/posix/metrics_channel_posix.h"
#include "platform/posix/child_reap.h"
#include "platform/posix/unique_fd.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstddef>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/command_line.h"

namespace tb::platform {
namespace {

using Clock = std::chrono::steady_clock;

std::string Failed(const char* call, int error) {
  return std::string(call) + " failed: " + std::to_string(static_cast<uint32_t>(error));
}

int RemainingMs(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return static_cast<int>(std::clamp<int64_t>(left, 0, INT_MAX));
}

// sockaddr_un for an abstract name: a leading NUL, then the name, no
// terminator; the length says where it ends.
bool AbstractAddress(const std::string& name, sockaddr_un& addr, socklen_t& len) {
  std::memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  if (name.empty() || name.size() + 1 > sizeof addr.sun_path) return false;
  std::memcpy(addr.sun_path + 1, name.data(), name.size());
  len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
  return true;
}

struct UserRecord : SessionUser {
  uid_t uid = 0;
  gid_t gid = 0;
  std::vector<gid_t> groups;
  std::vector<std::string> environment;
};

bool LookUpUser(uid_t uid, UserRecord& user, std::string& error) {
  long hint = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buf(hint > 0 ? static_cast<size_t>(hint) : 16384);
  passwd pw{};
  passwd* found = nullptr;
  int rc;
  while ((rc = ::getpwuid_r(uid, &pw, buf.data(), buf.size(), &found)) == ERANGE &&
         buf.size() < (1u << 20)) {
    buf.resize(buf.size() * 2);
  }
  if (rc != 0 || !found) {
    error = Failed("getpwuid_r", rc != 0 ? rc : ENOENT);
    return false;
  }
  user.uid = pw.pw_uid;
  user.gid = pw.pw_gid;
  int count = 32;
  user.groups.resize(static_cast<size_t>(count));
  while (::getgrouplist(pw.pw_name, pw.pw_gid, user.groups.data(), &count) < 0) {
    count = std::max(count, static_cast<int>(user.groups.size()) * 2);
    user.groups.resize(static_cast<size_t>(count));
  }
  user.groups.resize(static_cast<size_t>(count));

  const std::string name = pw.pw_name;
  user.environment = {
      "HOME=" + std::string(pw.pw_dir && *pw.pw_dir ? pw.pw_dir : "/"),
      "USER=" + name,
      "LOGNAME=" + name,
      "SHELL=" + std::string(pw.pw_shell && *pw.pw_shell ? pw.pw_shell : "/bin/sh"),
      "PATH=/usr/local/bin:/usr/bin:/bin",
  };
  const std::string runtimeDir = "/run/user/" + std::to_string(uid);
  struct stat st {};
  if (::stat(runtimeDir.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
    user.environment.push_back("XDG_RUNTIME_DIR=" + runtimeDir);
  return true;
}

class PosixHelperProcess : public HelperProcess {
 public:
  PosixHelperProcess(pid_t pid, int pidFd) : pid_(pid), pidFd_(pidFd) {}
  ~PosixHelperProcess() override {
    // Nobody reads a helper that is still running now; end it and collect it.
    if (!reaped_) {
      ::kill(pid_, SIGKILL);
      int status = 0;
      while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
      }
    }
    if (pidFd_ >= 0) ::close(pidFd_);
  }

  uint32_t Id() const override { return static_cast<uint32_t>(pid_); }
  int pidFd() const { return pidFd_; }

  WaitOutcome Wait(uint32_t timeoutMs, std::string& error) override {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      const int reaped = TryReap(error);
      if (reaped > 0) return WaitOutcome::kExited;
      if (reaped < 0) return WaitOutcome::kFailed;
      const int left = RemainingMs(deadline);
      if (left == 0) return WaitOutcome::kTimedOut;
      if (pidFd_ < 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min(left, 20)));
        continue;
      }
      pollfd p{pidFd_, POLLIN, 0};
      if (::poll(&p, 1, left) < 0 && errno != EINTR) {
        error = Failed("poll(metrics helper)", errno);
        return WaitOutcome::kFailed;
      }
    }
  }

  bool ExitCode(uint32_t& code) override {
    std::string ignored;
    if (TryReap(ignored) <= 0) return false;
    if (WIFEXITED(status_)) {
      code = static_cast<uint32_t>(WEXITSTATUS(status_));
      return true;
    }
    if (WIFSIGNALED(status_)) {
      code = 128u + static_cast<uint32_t>(WTERMSIG(status_));
      return true;
    }
    return false;
  }

  // A signal cannot choose the exit code; the helper shows as killed.
  void Terminate(uint32_t) override {
    if (!reaped_) ::kill(pid_, SIGKILL);
  }

  // 1 ended (now or before), 0 running, -1 the wait failed.
  int TryReap(std::string& error) {
    if (reaped_) return 1;
    const int r = ReapIfEnded(pid_, status_);
    if (r > 0) reaped_ = true;
    if (r < 0) error = Failed("waitpid(metrics helper)", errno);
    return r;
  }

 private:
  pid_t pid_;
  int pidFd_;
  bool reaped_ = false;
  int status_ = 0;
};

class PosixPipeServer : public MetricsPipeServer {
 public:
  PosixPipeServer(std::string name, int fd) : name_(std::move(name)), listen_(fd) {}
  const std::string& Name() const override { return name_; }

  bool BeginConnect(std::string& error) override {
    if (::listen(listen_.get(), 8) != 0) {
      error = Failed("listen(metrics pipe)", errno);
      return false;
    }
    return true;
  }

  PipeWait WaitForHelper(HelperProcess& helper, uint32_t timeoutMs, std::string& error) override {
    auto& process = static_cast<PosixHelperProcess&>(helper);
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      pollfd fds[2] = {{listen_.get(), POLLIN, 0}, {process.pidFd(), POLLIN, 0}};
      const nfds_t n = process.pidFd() >= 0 ? 2 : 1;
      // Without a process descriptor the helper's end is noticed by polling.
      const int wait = n == 2 ? RemainingMs(deadline) : std::min(RemainingMs(deadline), 20);
      const int rc = ::poll(fds, n, wait);
      if (rc < 0) {
        if (errno == EINTR) continue;
        error = Failed("poll(metrics helper)", errno);
        return PipeWait::kFailed;
      }
      // A connection counts before the helper's end when both are there.
      if (fds[0].revents & POLLIN) {
        const int fd = ::accept4(listen_.get(), nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
          if (errno == EINTR || errno == EAGAIN || errno == ECONNABORTED) continue;
          error = Failed("accept(metrics pipe)", errno);
          return PipeWait::kFailed;
        }
        Fd conn(fd);
        ucred peer{};
        socklen_t len = sizeof peer;
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &len) == 0 &&
            peer.pid == static_cast<pid_t>(process.Id())) {
          conn_.Reset(conn.Release());
          return PipeWait::kConnected;
        }
        continue;  // someone else's connection: dropped, the wait goes on
      }
      std::string waitError;
      const int ended = n == 2 ? ((fds[1].revents & POLLIN) ? process.TryReap(waitError) : 0)
                               : process.TryReap(waitError);
      if (ended > 0) return PipeWait::kHelperExited;
      if (ended < 0) {
        error = waitError;
        return PipeWait::kFailed;
      }
      if (RemainingMs(deadline) == 0) return PipeWait::kTimedOut;
    }
  }

  PipeRead Read(std::string& chunk, size_t maxBytes, uint32_t timeoutMs,
                std::string& error) override {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::vector<char> buf(maxBytes);
    for (;;) {
      pollfd p{conn_.get(), POLLIN, 0};
      const int rc = ::poll(&p, 1, RemainingMs(deadline));
      if (rc < 0) {
        if (errno == EINTR) continue;
        error = Failed("poll(metrics pipe read)", errno);
        return PipeRead::kFailed;
      }
      if (rc == 0) return PipeRead::kTimedOut;
      const ssize_t got = ::recv(conn_.get(), buf.data(), buf.size(), 0);
      if (got > 0) {
        chunk.assign(buf.data(), static_cast<size_t>(got));
        return PipeRead::kData;
      }
      if (got == 0 || errno == ECONNRESET) return PipeRead::kEnd;  // the helper closed its end
      if (errno == EINTR || errno == EAGAIN) continue;
      error = Failed("recv(metrics pipe)", errno);
      return PipeRead::kFailed;
    }
  }

 private:
  std::string name_;
  Fd listen_;
  Fd conn_;
};

class PosixPipeClient : public MetricsPipeClient {
 public:
  explicit PosixPipeClient(int fd) : fd_(fd) {}
  bool Write(const char* data, size_t size, size_t& written, std::string& error) override {
    for (;;) {
      const ssize_t n = ::send(fd_.get(), data, size, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        error = Failed("send(metrics pipe)", errno);
        return false;
      }
      if (n == 0) {
        error = "send(metrics pipe) wrote zero bytes";
        return false;
      }
      written = static_cast<size_t>(n);
      return true;
    }
  }

 private:
  Fd fd_;
};

// Credentials of the calling thread only (see the header). Only the
// effective ids change (and with them the file-system ids the kernel checks
// files against); the real and saved ids stay the daemon's, so the user
// cannot signal or trace the daemon while a thread acts for them, and the
// saved id is the way back.
long ThreadSetGroups(const std::vector<gid_t>& groups) {
  return ::syscall(SYS_setgroups, groups.size(), groups.data());
}
long ThreadSetEffectiveGid(gid_t gid) { return ::syscall(SYS_setresgid, -1, gid, -1); }
long ThreadSetEffectiveUid(uid_t uid) { return ::syscall(SYS_setresuid, -1, uid, -1); }

class ThreadImpersonation : public Impersonation {
 public:
  ThreadImpersonation(uid_t uid, gid_t gid, std::vector<gid_t> groups)
      : savedUid_(::geteuid()), savedGid_(::getegid()) {
    const int n = ::getgroups(0, nullptr);
    if (n > 0) {
      savedGroups_.resize(static_cast<size_t>(n));
      savedGroups_.resize(static_cast<size_t>(std::max(0, ::getgroups(n, savedGroups_.data()))));
    }
    targetUid_ = uid;
    targetGid_ = gid;
    targetGroups_ = std::move(groups);
  }

  // Switches; on failure whatever was changed is undone by the destructor.
  bool Begin(std::string& error) {
    if (ThreadSetGroups(targetGroups_) != 0) {
      error = Failed("setgroups", errno);
      return false;
    }
    groupsChanged_ = true;
    if (ThreadSetEffectiveGid(targetGid_) != 0) {
      error = Failed("setresgid", errno);
      return false;
    }
    gidChanged_ = true;
    if (ThreadSetEffectiveUid(targetUid_) != 0) {
      error = Failed("setresuid", errno);
      return false;
    }
    uidChanged_ = true;
    return true;
  }

  ~ThreadImpersonation() override {
    // The uids first: only the restored identity may set gids and groups again.
    if (uidChanged_) ThreadSetEffectiveUid(savedUid_);
    if (gidChanged_) ThreadSetEffectiveGid(savedGid_);
    if (groupsChanged_) ThreadSetGroups(savedGroups_);
  }

 private:
  uid_t savedUid_;
  gid_t savedGid_;
  std::vector<gid_t> savedGroups_;
  uid_t targetUid_ = 0;
  gid_t targetGid_ = 0;
  std::vector<gid_t> targetGroups_;
  bool groupsChanged_ = false;
  bool gidChanged_ = false;
  bool uidChanged_ = false;
};

// The thread already is that user: nothing to switch or undo.
class NoImpersonation : public Impersonation {};

struct ChildFailure {
  int stage = 0;  // 1 working folder, 2 groups, 3 gid, 4 uid, 5 exec
  int error = 0;
};

[[noreturn]] void ChildFail(int fd, int stage) {
  ChildFailure f{stage, errno};
  ssize_t ignored = ::write(fd, &f, sizeof f);
  (void)ignored;
  ::_exit(127);
}

}  // namespace

PosixMetricsChannel::PosixMetricsChannel(SessionUserLookup lookup) : lookup_(std::move(lookup)) {}

std::unique_ptr<SessionUser> PosixMetricsChannel::OpenSessionUser(uint32_t session,
                                                                  std::string& error) {
  uid_t uid = 0;
  errno = 0;
  if (!lookup_(session, uid)) {
    error = Failed(("sd_session_get_uid(" + std::to_string(session) + ")").c_str(),
                   errno ? errno : ENOENT);
    return nullptr;
  }
  auto user = std::make_unique<UserRecord>();
  if (!LookUpUser(uid, *user, error)) return nullptr;
  return user;
}

uint64_t PosixMetricsChannel::TickCount() {
  timespec ts{};
  ::clock_gettime(CLOCK_BOOTTIME, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

std::unique_ptr<MetricsPipeServer> PosixMetricsChannel::CreateMetricsPipe(
    const std::string& baseName, std::string& error) {
  sockaddr_un addr{};
  socklen_t len = 0;
  if (!AbstractAddress(baseName, addr, len)) {
    error = Failed("bind(metrics pipe)", ENAMETOOLONG);
    return nullptr;
  }
  Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (fd.get() < 0) {
    error = Failed("socket(metrics pipe)", errno);
    return nullptr;
  }
  // An existing socket of that name makes this fail: never share a pipe.
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), len) != 0) {
    error = Failed("bind(metrics pipe)", errno);
    return nullptr;
  }
  return std::make_unique<PosixPipeServer>(baseName, fd.Release());
}

bool PosixMetricsChannel::ExecutablePath(std::string& path, std::string& error) {
  std::vector<char> buf(PATH_MAX + 1);
  const ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size());
  if (n <= 0 || static_cast<size_t>(n) >= buf.size()) {
    error = Failed("readlink(/proc/self/exe)", n < 0 ? errno : ENAMETOOLONG);
    return false;
  }
  path.assign(buf.data(), static_cast<size_t>(n));
  return true;
}

std::unique_ptr<HelperProcess> PosixMetricsChannel::StartHelper(SessionUser& sessionUser,
                                                                const std::string& executable,
                                                                const std::string& commandLine,
                                                                const std::string& workingDir,
                                                                std::string& error) {
  auto& user = static_cast<UserRecord&>(sessionUser);
  // The same splitting the helper's counterpart on Windows applies to the
  // command line, so both see the same arguments.
  std::vector<std::string> args = SplitCommandLine(commandLine);
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (std::string& e : user.environment) envp.push_back(e.data());
  envp.push_back(nullptr);
  const bool changeIds = user.uid != ::geteuid();

  Fd devNull(::open("/dev/null", O_RDWR | O_CLOEXEC));
  // Kept above the standard three: a copy onto itself would stay close-on-exec.
  if (devNull.get() >= 0 && devNull.get() <= 2)
    devNull.Reset(::fcntl(devNull.get(), F_DUPFD_CLOEXEC, 3));
  if (devNull.get() < 0) {
    error = Failed("open(/dev/null)", errno);
    return nullptr;
  }
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    error = Failed("pipe2(metrics helper)", errno);
    return nullptr;
  }
  Fd errRead(fds[0]), errWrite(fds[1]);

  const pid_t pid = ::fork();
  if (pid < 0) {
    error = Failed("fork(metrics helper)", errno);
    return nullptr;
  }
  if (pid == 0) {
    // Child: system calls only until exec.
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; ++sig) ::sigaction(sig, &dfl, nullptr);
    // Hidden: no terminal, no log; the answer goes through the pipe only.
    for (int target = 0; target <= 2; ++target) ::dup2(devNull.get(), target);
    if (!workingDir.empty() && ::chdir(workingDir.c_str()) != 0) ChildFail(errWrite.get(), 1);
    if (changeIds) {
      if (::setgroups(user.groups.size(), user.groups.data()) != 0) ChildFail(errWrite.get(), 2);
      if (::setgid(user.gid) != 0) ChildFail(errWrite.get(), 3);
      if (::setuid(user.uid) != 0) ChildFail(errWrite.get(), 4);
    }
    // No descriptor of the daemon survives the exec.
    if (::syscall(SYS_close_range, 3u, ~0u, 4u /* CLOSE_RANGE_CLOEXEC */) != 0) {
      for (int fd = 3; fd < 65536; ++fd) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    ::execve(executable.c_str(), argv.data(), envp.data());
    ChildFail(errWrite.get(), 5);
  }

  errWrite.Reset();
  ChildFailure failure;
  ssize_t got;
  do {
    got = ::read(errRead.get(), &failure, sizeof failure);
  } while (got < 0 && errno == EINTR);
  if (got == static_cast<ssize_t>(sizeof failure)) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    static const char* const kStage[] = {"",       "chdir(metrics helper)", "setgroups(metrics helper)",
                                         "setgid(metrics helper)", "setuid(metrics helper)",
                                         "execve(metrics helper)"};
    const int stage = failure.stage >= 1 && failure.stage <= 5 ? failure.stage : 5;
    error = Failed(kStage[stage], failure.error);
    return nullptr;
  }
  const int pidFd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  return std::make_unique<PosixHelperProcess>(pid, pidFd);
}

std::unique_ptr<MetricsPipeClient> PosixMetricsChannel::OpenMetricsPipe(const std::string& name,
                                                                        PipeOpen& result,
                                                                        std::string& error) {
  result = PipeOpen::kFailed;
  sockaddr_un addr{};
  socklen_t len = 0;
  if (!AbstractAddress(name, addr, len)) {
    error = Failed("connect(metrics pipe)", ENAMETOOLONG);
    return nullptr;
  }
  Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (fd.get() < 0) {
    error = Failed("socket(metrics pipe)", errno);
    return nullptr;
  }
  int rc;
  do {
    rc = ::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), len);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    // Nobody listening yet, or its queue is full: the pipe is not there or busy.
    if (errno == ECONNREFUSED || errno == ENOENT || errno == EAGAIN) {
      result = PipeOpen::kUnavailable;
      return nullptr;
    }
    error = Failed("connect(metrics pipe)", errno);
    return nullptr;
  }
  result = PipeOpen::kConnected;
  return std::make_unique<PosixPipeClient>(fd.Release());
}

void PosixMetricsChannel::WaitForMetricsPipe(const std::string&, uint32_t timeoutMs) {
  // A listening socket cannot be waited for; waiting the whole time is what
  // a pipe that never becomes free costs on Windows too.
  std::this_thread::sleep_for(std::chrono::milliseconds(timeoutMs));
}

std::unique_ptr<Impersonation> PosixMetricsChannel::ImpersonateSessionUser(uint32_t session,
                                                                           std::string& error) {
  uid_t uid = 0;
  errno = 0;
  if (!lookup_(session, uid)) {
    error = Failed(("sd_session_get_uid(" + std::to_string(session) + ")").c_str(),
                   errno ? errno : ENOENT);
    return nullptr;
  }
  return ImpersonateUser(uid, error);
}

std::unique_ptr<Impersonation> PosixMetricsChannel::ImpersonateUser(uid_t uid,
                                                                    std::string& error) {
  if (uid == ::geteuid()) return std::make_unique<NoImpersonation>();
  UserRecord user;
  if (!LookUpUser(uid, user, error)) return nullptr;
  auto context = std::make_unique<ThreadImpersonation>(user.uid, user.gid, user.groups);
  if (!context->Begin(error)) return nullptr;  // the destructor undoes a partial switch
  return context;
}

}  // namespace tb::platform
