#include "platform/posix/service_manager_posix.h"

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

#include "platform/posix/process_posix.h"

extern char** environ;

namespace tb::platform {

namespace {
constexpr const char* kUnitName = "Orv_Tillerbrook.service";

std::string QuoteForUnit(const std::string& path) {
  std::string out = "\"";
  for (char c : path) {
    if (c == '"' || c == '\\') out.push_back('\\');
    out.push_back(c);
  }
  out.push_back('"');
  return out;
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
                                             std::function<void(unsigned ms)> sleeper)
    : unitDir_(std::move(unitDir)), run_(std::move(runner)), sleep_(std::move(sleeper)) {
  if (!sleep_) sleep_ = [](unsigned ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); };
}

std::string SystemdServiceManager::UnitPath() const { return unitDir_ + "/" + kUnitName; }

std::string SystemdServiceManager::UnitText(const std::string& executablePath) {
  return "[Unit]\n"
         "Description=Orv label print daemon (HTTP on port 3806).\n"
         "After=network.target cups.service\n"
         "\n"
         "[Service]\n"
         "Type=notify\n"
         "ExecStart=" + QuoteForUnit(executablePath) + "\n"
         "Restart=on-failure\n"
         "RestartSec=5\n"
         "TimeoutStopSec=45\n"
         "\n"
         "[Install]\n"
         "WantedBy=multi-user.target\n";
}

bool SystemdServiceManager::Install(const std::string& executablePath) {
  namespace fs = std::filesystem;
  std::error_code ec;
  // Like the Windows service manager: an existing service is a failure.
  if (fs::exists(UnitPath(), ec)) return false;
  {
    std::ofstream out(UnitPath(), std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out << UnitText(executablePath);
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
