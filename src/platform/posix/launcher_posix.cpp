#include "platform/posix/launcher_posix.h"
#include "platform/posix/child_reap.h"
#include "platform/posix/child_start.h"
#include "platform/posix/unique_fd.h"
#include "platform/posix/user_account.h"

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <systemd/sd-login.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <thread>

#include "platform/command_line.h"

extern char** environ;

namespace tb::platform {
namespace {

thread_local uint32_t t_lastError = 0;
thread_local std::string t_lastErrorText;

uint32_t Fail(int error) {
  t_lastError = static_cast<uint32_t>(error);
  return t_lastError;
}

std::string FolderOfExecutable() {
  char buf[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return {};
  std::string path(buf, static_cast<size_t>(n));
  size_t cut = path.rfind('/');
  return cut == std::string::npos ? std::string() : path.substr(0, cut);
}

bool IsExecutableFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// A program named with a folder is taken as it is; a bare name is looked for
// in the program folder first, then along PATH. The current directory is not
// searched: it is the program folder anyway.
bool FindProgram(const std::string& name, const std::string& programFolder, std::string& path) {
  if (name.empty()) return false;
  if (name.find('/') != std::string::npos) {
    path = name;
    return IsExecutableFile(path);
  }
  if (!programFolder.empty() && IsExecutableFile(programFolder + "/" + name)) {
    path = programFolder + "/" + name;
    return true;
  }
  const char* env = std::getenv("PATH");
  std::string search = env && *env ? env : "/usr/local/bin:/usr/bin:/bin";
  size_t start = 0;
  for (;;) {
    size_t end = search.find(':', start);
    std::string dir = search.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (!dir.empty() && IsExecutableFile(dir + "/" + name)) {
      path = dir + "/" + name;
      return true;
    }
    if (end == std::string::npos) return false;
    start = end + 1;
  }
}

// The uid of a named account; false when it does not exist.
bool AccountUid(const char* name, uid_t& uid) {
  AccountEntry entry;
  if (FindAccount(name, entry) != 0) return false;
  uid = entry.pw.pw_uid;
  return true;
}

// Nobody is logged in: the service's own account, else nobody. An account
// that maps to root does not count; a root service never runs a caller's
// document as root.
bool HeadlessAccount(UserIdentity& runAs) {
  for (const char* name : {kServiceAccount, kFallbackAccount}) {
    uid_t uid = 0;
    if (AccountUid(name, uid) && uid != 0) {
      if (const int rc = LookUpUser(uid, runAs); rc != 0) {
        Fail(rc);
        return false;
      }
      return true;
    }
  }
  Fail(ENOENT);
  return false;
}

// Where a session ranks when the service picks the user to print for: someone
// at the machine (a seat) first, then a local session without a seat, then a
// remote login, which must not be able to take over everyone's prints simply
// by being listed first.
int SessionRank(const LoginSession& s) {
  if (s.onSeat) return 0;
  return s.remote ? 2 : 1;
}

// posix_spawn with what the forked child does by hand: no blocked signals,
// every signal at its default, the standard streams on /dev/null, no
// inherited descriptor beyond them. Zero or the error number (the exec's
// own failure included).
int SpawnWithCleanSlate(const std::string& program, char** argv, char** env, int devNull,
                        pid_t& pid) {
  posix_spawnattr_t attr;
  if (int e = ::posix_spawnattr_init(&attr); e != 0) return e;
  posix_spawn_file_actions_t actions;
  if (int e = ::posix_spawn_file_actions_init(&actions); e != 0) {
    ::posix_spawnattr_destroy(&attr);
    return e;
  }
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  int error = ::posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  if (error == 0) error = ::posix_spawnattr_setsigmask(&attr, &none);
  if (error == 0) error = ::posix_spawnattr_setsigdefault(&attr, &all);
  for (int target = 0; target <= 2 && error == 0; ++target)
    error = ::posix_spawn_file_actions_adddup2(&actions, devNull, target);
  if (error == 0) error = ::posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  if (error == 0) error = ::posix_spawn(&pid, program.c_str(), &actions, &attr, argv, env);
  ::posix_spawn_file_actions_destroy(&actions);
  ::posix_spawnattr_destroy(&attr);
  return error;
}

class PosixChildProcess : public ChildProcess {
 public:
  PosixChildProcess(pid_t pid, int pidFd) : pid_(pid), pidFd_(pidFd) {}
  ~PosixChildProcess() override { Close(); }

  bool HasUsableHandle() const override { return pid_ > 0; }
  uint32_t Id() const override { return pid_ > 0 ? static_cast<uint32_t>(pid_) : 0; }

  WaitOutcome Wait(uint32_t timeoutMs) override {
    if (pid_ <= 0) {
      lastError_ = EBADF;
      return WaitOutcome::kFailed;
    }
    if (reaped_) return WaitOutcome::kExited;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      int reap = TryReap();
      if (reap > 0) return WaitOutcome::kExited;
      if (reap < 0) return WaitOutcome::kFailed;
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return WaitOutcome::kTimedOut;
      if (pidFd_ >= 0) {
        pollfd p{pidFd_, POLLIN, 0};
        int rc = ::poll(&p, 1, static_cast<int>(std::min<int64_t>(left.count(), INT_MAX)));
        if (rc < 0 && errno != EINTR) {
          lastError_ = static_cast<uint32_t>(errno);
          return WaitOutcome::kFailed;
        }
      } else {
        std::this_thread::sleep_for(std::min(left, std::chrono::milliseconds(10)));
      }
    }
  }

  bool ExitCode(uint32_t& code) override {
    if (!reaped_ && TryReap() <= 0) return false;
    return ExitCodeOf(status_, code);
  }

  bool Terminate(uint32_t) override {
    // Until it is reaped the id cannot have been given to another process.
    if (pid_ <= 0 || reaped_) {
      lastError_ = ESRCH;
      return false;
    }
    if (::kill(pid_, SIGKILL) != 0) {
      lastError_ = static_cast<uint32_t>(errno);
      return false;
    }
    return true;
  }

  uint32_t LastError() const override { return lastError_; }

  void Close() override {
    if (pidFd_ >= 0) {
      ::close(pidFd_);
      pidFd_ = -1;
    }
    if (pid_ > 0 && !reaped_ && TryReap() == 0) {
      // Still running: someone must collect it when it ends, or it would
      // stay behind as a zombie for the daemon's lifetime.
      pid_t pid = pid_;
      std::thread([pid] {
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
      }).detach();
    }
    pid_ = -1;
  }

 private:
  // 1 reaped (now or before), 0 still running, -1 error.
  int TryReap() {
    if (reaped_) return 1;
    const int r = ReapIfEnded(pid_, status_);
    if (r > 0) reaped_ = true;
    if (r < 0) lastError_ = static_cast<uint32_t>(errno);
    return r;
  }

  pid_t pid_;
  int pidFd_;
  bool reaped_ = false;
  int status_ = 0;
  uint32_t lastError_ = 0;
};

}  // namespace

bool LogindSessionSource::ListSessions(std::vector<LoginSession>& sessions) {
  sessions.clear();
  char** ids = nullptr;
  int n = sd_get_sessions(&ids);
  if (n < 0) {
    errno = -n;
    return false;
  }
  for (int i = 0; i < n; ++i) {
    LoginSession s;
    s.id = ids[i];
    uid_t uid = 0;
    bool known = sd_session_get_uid(ids[i], &uid) >= 0;
    s.uid = static_cast<uint32_t>(uid);
    s.active = sd_session_is_active(ids[i]) > 0;
    char* cls = nullptr;
    if (sd_session_get_class(ids[i], &cls) >= 0 && cls) s.sessionClass = cls;
    std::free(cls);
    char* seat = nullptr;
    s.onSeat = sd_session_get_seat(ids[i], &seat) >= 0 && seat && *seat;
    std::free(seat);
    s.remote = sd_session_is_remote(ids[i]) > 0;
    std::free(ids[i]);
    if (known) sessions.push_back(std::move(s));
  }
  std::free(ids);
  return true;
}

uint32_t SessionNumber(const std::string& id) {
  std::string digits = id;
  uint32_t high = 0;
  if (!digits.empty() && digits[0] == 'c') {
    digits.erase(0, 1);
    high = 0x80000000u;
  }
  if (digits.empty() || digits.size() > 10 ||
      !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return kNoSession;
  }
  unsigned long long value = std::stoull(digits);
  if (value >= 0x80000000ull) return kNoSession;
  return high | static_cast<uint32_t>(value);
}

PosixDesktopLauncher::PosixDesktopLauncher(LoginSessionSource& sessions,
                                           std::function<bool()> inServiceSession,
                                           std::string programFolder)
    : sessions_(sessions),
      inServiceSession_(std::move(inServiceSession)),
      programFolder_(std::move(programFolder)) {}

uint32_t PosixDesktopLauncher::ActiveUserSession() {
  std::vector<LoginSession> list;
  if (!sessions_.ListSessions(list)) return kNoSession;
  std::stable_sort(list.begin(), list.end(), [](const LoginSession& a, const LoginSession& b) {
    return SessionRank(a) < SessionRank(b);
  });
  std::vector<SessionState> states;
  for (const LoginSession& s : list) {
    if (s.sessionClass != "user") continue;
    uint32_t number = SessionNumber(s.id);
    if (number == kNoSession) continue;
    states.push_back({number, s.active});
  }
  return ChooseActiveSession(states, kNoSession);
}

bool PosixDesktopLauncher::SessionUser(uint32_t session, uid_t& uid) {
  std::vector<LoginSession> list;
  if (!sessions_.ListSessions(list)) return false;
  for (const LoginSession& s : list) {
    if (SessionNumber(s.id) == session) {
      uid = static_cast<uid_t>(s.uid);
      return true;
    }
  }
  return false;
}

uint32_t PosixDesktopLauncher::LastError() { return t_lastError; }

std::string PosixDesktopLauncher::LastErrorText() { return t_lastErrorText; }

bool PosixDesktopLauncher::PrintingUid(uid_t& uid, std::string& error) {
  uid = ::geteuid();
  if (!inServiceSession_ || !inServiceSession_()) return true;
  const uint32_t session = ActiveUserSession();
  if (session != kNoSession) {
    if (SessionUser(session, uid)) return true;
    error = "No user for session " + std::to_string(session);
    return false;
  }
  if (uid != 0) return true;
  for (const char* name : {kServiceAccount, kFallbackAccount}) {
    if (AccountUid(name, uid) && uid != 0) return true;
  }
  error = std::string("No account to run the program as: neither ") + kServiceAccount + " nor " +
          kFallbackAccount + " exists";
  return false;
}

std::unique_ptr<ChildProcess> PosixDesktopLauncher::CreateProcessOnUserDesktop(
    const std::string& commandLine, WindowMode) {
  t_lastErrorText.clear();
  std::vector<std::string> args = SplitCommandLine(commandLine);
  std::string folder = programFolder_.empty() ? FolderOfExecutable() : programFolder_;
  std::string program;
  if (args.empty() || !FindProgram(args[0], folder, program)) {
    Fail(ENOENT);
    return nullptr;
  }

  bool switchUser = false;
  UserIdentity runAs;
  if (inServiceSession_ && inServiceSession_()) {
    uint32_t session = ActiveUserSession();
    if (session != kNoSession) {
      uid_t uid = 0;
      if (!SessionUser(session, uid)) {
        Fail(ENOENT);
        t_lastErrorText = "No user for session " + std::to_string(session);
        return nullptr;
      }
      if (const int rc = LookUpUser(uid, runAs); rc != 0) {
        Fail(rc);
        t_lastErrorText =
            "Cannot look up user " + std::to_string(uid) + ": " + std::to_string(t_lastError);
        return nullptr;
      }
      switchUser = true;
    } else if (::geteuid() == 0) {
      if (!HeadlessAccount(runAs)) {
        t_lastErrorText = std::string("No account to run the program as: neither ") +
                          kServiceAccount + " nor " + kFallbackAccount + " exists";
        return nullptr;
      }
      switchUser = true;
    }
  }

  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<char*> envp;
  char** childEnv = environ;
  if (switchUser) {
    for (std::string& e : runAs.environment) envp.push_back(e.data());
    envp.push_back(nullptr);
    childEnv = envp.data();
  }
  const bool changeIds = switchUser && runAs.uid != ::geteuid();

  Fd devNull(OpenDevNull());
  if (devNull.get() < 0) {
    Fail(errno);
    return nullptr;
  }
  pid_t pid = 0;
  if (!changeIds) {
    // Nothing to change but the usual clean slate: the C library's spawn
    // starts the program without copying the daemon's page tables, which a
    // fork of this many-threaded process does (milliseconds per print).
    const int error = SpawnWithCleanSlate(program, argv.data(), childEnv, devNull.get(), pid);
    if (error != 0) {
      Fail(error);
      return nullptr;
    }
    return std::make_unique<PosixChildProcess>(pid, OpenPidFd(pid));
  }
  StartFailure failure;
  if (!ForkExec(program, argv.data(), childEnv, devNull.get(), &runAs, {}, pid, failure)) {
    Fail(failure.error);
    return nullptr;
  }
  return std::make_unique<PosixChildProcess>(pid, OpenPidFd(pid));
}

}  // namespace tb::platform
