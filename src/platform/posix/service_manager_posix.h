#pragma once
// The service facility on Linux: a systemd unit, sd_notify status reports and
// SIGTERM / SIGINT as the stop and shutdown controls.
#include <functional>
#include <string>
#include <vector>

#include "platform/service_manager.h"

namespace tb::platform {

// Runs a program with arguments and returns its exit status (-1 when it could
// not be run). Tests replace it so that no real systemctl is needed.
using CommandRunner = std::function<int(const std::vector<std::string>& argv)>;
int RunCommand(const std::vector<std::string>& argv);

// Whether a named account exists; tests answer for the machine.
using AccountCheck = std::function<bool(const std::string& name)>;
bool AccountExists(const std::string& name);

class SystemdServiceManager : public ServiceManager {
 public:
  SystemdServiceManager(std::string unitDir, CommandRunner runner,
                        std::function<void(unsigned ms)> sleeper = nullptr,
                        AccountCheck accountExists = nullptr);

  // Also makes the system account headless prints run as, when missing; the
  // service still works without it (prints then run as nobody), and the
  // failure to make it is kept for InstallWarning().
  bool Install(const std::string& executablePath) override;
  std::string InstallWarning() const override;
  // kCannotOpen also when the caller may not remove the unit: nothing is
  // stopped or disabled then.
  UninstallResult Uninstall() override;
  int RunDispatcher(const ServiceCallbacks& callbacks) override;

  std::string UnitPath() const;
  // Empty when the path cannot be written into a unit (a control character).
  static std::string UnitText(const std::string& executablePath);

 private:
  std::string unitDir_;
  CommandRunner run_;
  std::function<void(unsigned ms)> sleep_;
  AccountCheck accountExists_;
  std::string installWarning_;
};

// Translates status reports into sd_notify messages.
class SdNotifyStatusSink : public ServiceStatusSink {
 public:
  void Report(const ServiceStatus& status) override;
  static std::string MessageFor(const ServiceStatus& status);
};

}  // namespace tb::platform
