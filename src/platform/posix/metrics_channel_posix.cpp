#include "platform/posix/metrics_channel_posix.h"
#include "platform/posix/child_reap.h"
#include "platform/posix/child_start.h"
#include "platform/posix/unique_fd.h"
#include "platform/posix/user_account.h"

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
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
  UserIdentity identity;
};

// The account lookup with its failure as the channel's error text.
bool ReadUser(uid_t uid, UserIdentity& user, std::string& error) {
  if (const int rc = LookUpUser(uid, user); rc != 0) {
    error = Failed("getpwuid_r", rc);
    return false;
  }
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
    return TryReap(ignored) > 0 && ExitCodeOf(status_, code);
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

// The session's user through the daemon's lookup; false with the failure text.
bool SessionUid(const PosixMetricsChannel::SessionUserLookup& lookup, uint32_t session,
                uid_t& uid, std::string& error) {
  errno = 0;
  if (lookup(session, uid)) return true;
  error = Failed(("sd_session_get_uid(" + std::to_string(session) + ")").c_str(),
                 errno ? errno : ENOENT);
  return false;
}

}  // namespace

PosixMetricsChannel::PosixMetricsChannel(SessionUserLookup lookup) : lookup_(std::move(lookup)) {}

std::unique_ptr<SessionUser> PosixMetricsChannel::OpenSessionUser(uint32_t session,
                                                                  std::string& error) {
  uid_t uid = 0;
  if (!SessionUid(lookup_, session, uid, error)) return nullptr;
  auto user = std::make_unique<UserRecord>();
  if (!ReadUser(uid, user->identity, error)) return nullptr;
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
  UserIdentity& user = static_cast<UserRecord&>(sessionUser).identity;
  // The same splitting the helper's counterpart on Windows applies to the
  // command line, so both see the same arguments.
  std::vector<std::string> args = SplitCommandLine(commandLine);
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (std::string& e : user.environment) envp.push_back(e.data());
  envp.push_back(nullptr);

  // Hidden: no terminal, no log; the answer goes through the pipe only.
  Fd devNull(OpenDevNull());
  if (devNull.get() < 0) {
    error = Failed("open(/dev/null)", errno);
    return nullptr;
  }
  pid_t pid = 0;
  StartFailure failure;
  const UserIdentity* switchTo = user.uid != ::geteuid() ? &user : nullptr;
  if (!ForkExec(executable, argv.data(), envp.data(), devNull.get(), switchTo, workingDir, pid,
                failure)) {
    static const char* const kStep[] = {
        "pipe2(metrics helper)",     "fork(metrics helper)",   "dup2(metrics helper)",
        "chdir(metrics helper)",     "setgroups(metrics helper)", "setgid(metrics helper)",
        "setuid(metrics helper)",    "execve(metrics helper)"};
    error = Failed(kStep[static_cast<int>(failure.step)], failure.error);
    return nullptr;
  }
  return std::make_unique<PosixHelperProcess>(pid, OpenPidFd(pid));
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
  if (!SessionUid(lookup_, session, uid, error)) return nullptr;
  return ImpersonateUser(uid, error);
}

std::unique_ptr<Impersonation> PosixMetricsChannel::ImpersonateUser(uid_t uid,
                                                                    std::string& error) {
  if (uid == ::geteuid()) return std::make_unique<NoImpersonation>();
  UserIdentity user;
  if (!ReadUser(uid, user, error)) return nullptr;
  auto context = std::make_unique<ThreadImpersonation>(user.uid, user.gid, user.groups);
  if (!context->Begin(error)) return nullptr;  // the destructor undoes a partial switch
  return context;
}

}  // namespace tb::platform
