#pragma once
// The operating system's service facility: installation, the dispatcher and
// status reports. The status sequence itself is portable (service/service_runner).
#include <cstdint>
#include <functional>
#include <string>

namespace tb::platform {

// The seven fields of a service status report, in the Windows order.
struct ServiceStatus {
  uint32_t serviceType = 0x10;
  uint32_t currentState = 0;
  uint32_t controlsAccepted = 0;
  uint32_t win32ExitCode = 0;
  uint32_t serviceSpecificExitCode = 0;
  uint32_t checkPoint = 0;
  uint32_t waitHint = 0;
};

enum ServiceState : uint32_t {
  kServiceStopped = 1,
  kServiceStartPending = 2,
  kServiceStopPending = 3,
  kServiceRunning = 4,
};

enum ServiceControl : uint32_t {
  kControlStop = 1,
  kControlInterrogate = 4,
  kControlShutdown = 5,
};

class ServiceStatusSink {
 public:
  virtual ~ServiceStatusSink() = default;
  virtual void Report(const ServiceStatus& status) = 0;
};

// Callbacks the dispatcher drives. `serviceMain` runs the whole service and
// returns its exit code; `control` receives stop / shutdown / interrogate.
struct ServiceCallbacks {
  std::function<uint32_t(ServiceStatusSink& sink)> serviceMain;
  std::function<void(uint32_t control)> control;
};

class ServiceManager {
 public:
  virtual ~ServiceManager() = default;

  // Registers the service (not started). True on success.
  virtual bool Install(const std::string& executablePath) = 0;

  // The OS error of the last failed Install; 0 when unknown.
  virtual uint32_t InstallError() const { return 0; }

  // What the last Install went past without failing (one log line for the
  // caller); empty when nothing. Set whatever Install returned.
  virtual std::string InstallWarning() const { return {}; }

  // kMarkedForDeletion: deleted, but the service still runs or is held open,
  // so the removal completes only after it stops or at restart.
  enum class UninstallResult { kCannotOpen, kDeleted, kDeleteFailed, kMarkedForDeletion };
  virtual UninstallResult Uninstall() = 0;

  // Hands the process to the service manager. Returns the process exit code:
  // 0 after the service stopped, otherwise the OS error (1063 when the process
  // was not started by the service manager).
  virtual int RunDispatcher(const ServiceCallbacks& callbacks) = 0;
};

}  // namespace tb::platform
