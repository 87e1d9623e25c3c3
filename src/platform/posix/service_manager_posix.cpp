#include "platform/posix/service_manager_posix.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/posix/launcher_posix.h"
#include "platform/posix/process_posix.h"
#include "platform/posix/user_account.h"

extern char** environ;

namespace tb::platform {

namespace {
constexpr const char* kUnitName = "Orv_Tillerbrook.service";

// A path as one word of a unit line: quoted, with the characters systemd
// would read as escapes or specifiers written literally.
std::string QuoteForUnit(const std::string& path) {
  std::string out = "\"";
  for (char c : path) {
    if (c == '"' || c == '\\') out.push_back('\\');
    if (c == '%') out.push_back('%');
    out.push_back(c);
  }
  out.push_back('"');
  return out;
}

bool HasControlCharacter(const std::string& text) {
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7f) return true;
  }
  return false;
}

std::string FolderOf(const std::string& path) {
  const size_t cut = path.rfind('/');
  if (cut == std::string::npos) return ".";
  return cut == 0 ? "/" : path.substr(0, cut);
}
}  // namespace

int RunCommand(const std::vector<std::string>& argv) {
  if (argv.empty()) return -1;
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid;
  if (::posix_spawnp(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0) return -1;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

SystemdServiceManager::SystemdServiceManager(std::string unitDir, CommandRunner runner,
                                             std::function<void(unsigned ms)> sleeper,
                                             AccountCheck accountExists)
    : unitDir_(std::move(unitDir)),
      run_(std::move(runner)),
      sleep_(std::move(sleeper)),
      accountExists_(std::move(accountExists)) {
  if (!sleep_) sleep_ = [](unsigned ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); };
  if (!accountExists_) accountExists_ = AccountExists;
}

std::string SystemdServiceManager::InstallWarning() const { return installWarning_; }

std::string SystemdServiceManager::UnitPath() const { return unitDir_ + "/" + kUnitName; }

std::string SystemdServiceManager::UnitText(const std::string& executablePath) {
  if (executablePath.empty() || HasControlCharacter(executablePath)) return {};
  const std::string folder = FolderOf(executablePath);
  // The sandbox still lets the daemon switch to the users it prints for
  // (NoNewPrivileges would not) and write its own folder (database, logs,
  // document cache). The user's lpoptions is only read; the CUPS socket is
  // AF_UNIX. /tmp stays the real one: callers' documents lie there too.
  // Capabilities: setting a thread's or a child's uid, gid and groups, and
  // signalling the print program and the metrics helper, which run as
  // another user; files of others are only ever opened as their users.
  // Limits: room for 64 prints at once, each holding a request body of up
  // to 64 MiB about twice, and their threads and programs.
  const std::string sandbox =
      "ProtectSystem=full\n"
      "ProtectHome=read-only\n"
      "ProtectKernelTunables=yes\n"
      "ProtectKernelModules=yes\n"
      "ProtectKernelLogs=yes\n"
      "ProtectControlGroups=yes\n"
      "PrivateDevices=yes\n"
      "LockPersonality=yes\n"
      "RestrictSUIDSGID=yes\n"
      "RestrictNamespaces=yes\n"
      "RestrictAddressFamilies=AF_UNIX AF_INET AF_INET6\n"
      "SystemCallFilter=@system-service\n"
      "SystemCallErrorNumber=EPERM\n"
      "CapabilityBoundingSet=CAP_SETUID CAP_SETGID CAP_KILL\n"
      "MemoryMax=9G\n"
      "TasksMax=512\n"
      "ReadWritePaths=" + QuoteForUnit(folder) + "\n";
  return "[Unit]\n"
         "Description=Orv label print daemon (HTTP on port 3806).\n"
         "After=network.target cups.service\n"
         "\n"
         "[Service]\n"
         "Type=notify\n"
         "ExecStart=" + QuoteForUnit(executablePath) + "\n"
         "Restart=on-failure\n"
         "RestartSec=5\n"
         "TimeoutStopSec=45\n" +
         sandbox +
         "\n"
         "[Install]\n"
         "WantedBy=multi-user.target\n";
}

bool AccountExists(const std::string& name) {
  AccountEntry entry;
  return FindAccount(name, entry) == 0;
}

bool SystemdServiceManager::Install(const std::string& executablePath) {
  namespace fs = std::filesystem;
  std::error_code ec;
  installWarning_.clear();
  // Like the Windows service manager: an existing service is a failure.
  if (fs::exists(UnitPath(), ec)) return false;
  const std::string unit = UnitText(executablePath);
  if (unit.empty()) return false;
  // Made before the unit exists, so the service never starts without it. A
  // failure costs nothing but the fallback account.
  if (!accountExists_(kServiceAccount)) {
    const int rc = run_({"useradd", "--system", "--no-create-home", "--shell",
                         "/usr/sbin/nologin", kServiceAccount});
    if (rc != 0) {
      installWarning_ = std::string("useradd ") + kServiceAccount + " failed (" +
                        std::to_string(rc) + "); prints without a logged-in user will run as " +
                        kFallbackAccount;
    }
  }
  {
    std::ofstream out(UnitPath(), std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out << unit;
    out.flush();
    if (!out) {
      out.close();
      fs::remove(UnitPath(), ec);
      return false;
    }
  }
  if (run_({"systemctl", "daemon-reload"}) != 0 ||
      run_({"systemctl", "enable", kUnitName}) != 0) {
    fs::remove(UnitPath(), ec);
    run_({"systemctl", "daemon-reload"});
    return false;
  }
  return true;
}

ServiceManager::UninstallResult SystemdServiceManager::Uninstall() {
  namespace fs = std::filesystem;
  std::error_code ec;
  if (!fs::exists(UnitPath(), ec)) return UninstallResult::kCannotOpen;
  // Removing the unit needs write access to its folder. Without it nothing is
  // stopped either: the service could not be opened for deletion.
  if (::faccessat(AT_FDCWD, unitDir_.c_str(), W_OK | X_OK, AT_EACCESS) != 0)
    return UninstallResult::kCannotOpen;
  if (run_({"systemctl", "stop", kUnitName}) == 0) {
    // Poll like the Windows stop: up to 120 times, 500 ms apart.
    for (int i = 0; i < 120; ++i) {
      if (run_({"systemctl", "is-active", "--quiet", kUnitName}) != 0) break;
      sleep_(500);
    }
  }
  run_({"systemctl", "disable", kUnitName});
  if (!fs::remove(UnitPath(), ec)) return UninstallResult::kDeleteFailed;
  run_({"systemctl", "daemon-reload"});
  return UninstallResult::kDeleted;
}

int SystemdServiceManager::RunDispatcher(const ServiceCallbacks& callbacks) {
  // Outside the service manager there is nobody to dispatch to: the same
  // answer Windows gives a console start without a switch.
  if (!StartedByServiceManager()) return 1063;

  // Block the stop signals in every thread; one thread takes them with sigwait,
  // so the control handler never runs inside a signal handler.
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);

  std::thread signals([set, control = callbacks.control] {
    for (;;) {
      int sig = 0;
      if (sigwait(&set, &sig) != 0) continue;
      control(sig == SIGTERM ? kControlStop : kControlShutdown);
    }
  });
  signals.detach();  // lives until the process ends

  SdNotifyStatusSink sink;
  uint32_t exitCode = callbacks.serviceMain(sink);
  return static_cast<int>(exitCode);
}

std::string SdNotifyStatusSink::MessageFor(const ServiceStatus& s) {
  const std::string extend = "EXTEND_TIMEOUT_USEC=" + std::to_string(uint64_t{s.waitHint} * 1000);
  switch (s.currentState) {
    case kServiceStartPending:
      return "STATUS=Starting\n" + extend;
    case kServiceRunning:
      return "READY=1\nSTATUS=Running";
    case kServiceStopPending:
      return "STOPPING=1\nSTATUS=Stopping\n" + extend;
    case kServiceStopped:
      return "STATUS=Stopped, exit code " + std::to_string(s.serviceSpecificExitCode) +
             "\nEXIT_STATUS=" + std::to_string(s.serviceSpecificExitCode & 0xFF);
    default:
      return "STATUS=Unknown";
  }
}

void SdNotifyStatusSink::Report(const ServiceStatus& status) {
  sd_notify(0, MessageFor(status).c_str());
}

}  // namespace tb::platform
