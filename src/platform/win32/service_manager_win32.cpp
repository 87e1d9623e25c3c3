#include "platform/win32/service_manager_win32.h"

#include <windows.h>

#include <string>

#include "platform/win32/wide_text.h"
#include "platform/service_identity.h"

namespace tb::platform {
namespace {

constexpr DWORD kCreateServiceRight = 0x0002;      // SC_MANAGER_CREATE_SERVICE
constexpr DWORD kConnectRight = 0x0001;            // SC_MANAGER_CONNECT
constexpr DWORD kAllServiceAccess = 0xF01FF;       // SERVICE_ALL_ACCESS
constexpr DWORD kUninstallRights = 0x10024;        // DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS
constexpr DWORD kResetPeriodSeconds = 86400;
constexpr DWORD kRestartDelaysMs[] = {5000, 15000, 60000};
constexpr int kStopPolls = 120;
constexpr DWORD kStopPollIntervalMs = 500;

class ScHandle {
 public:
  explicit ScHandle(SC_HANDLE handle = nullptr) : handle_(handle) {}
  ~ScHandle() { Close(); }
  void Close() {
    if (handle_) ::CloseServiceHandle(handle_);
    handle_ = nullptr;
  }
  ScHandle(const ScHandle&) = delete;
  ScHandle& operator=(const ScHandle&) = delete;
  SC_HANDLE get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }

 private:
  SC_HANDLE handle_;
};

std::wstring ServiceName() { return Utf8ToWide(kServiceName); }

// Writes the recovery settings; their results are not looked at, as a
// service without them still runs.
void ConfigureRecovery(SC_HANDLE service) {
  SC_ACTION actions[3];
  for (int i = 0; i < 3; ++i) {
    actions[i].Type = SC_ACTION_RESTART;
    actions[i].Delay = kRestartDelaysMs[i];
  }
  SERVICE_FAILURE_ACTIONSW failure{};
  failure.dwResetPeriod = kResetPeriodSeconds;
  failure.lpRebootMsg = nullptr;
  failure.lpCommand = nullptr;
  failure.cActions = 3;
  failure.lpsaActions = actions;
  ::ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failure);

  // Also restart after a stop with a non-zero exit code, not only after a crash.
  SERVICE_FAILURE_ACTIONS_FLAG flag{};
  flag.fFailureActionsOnNonCrashFailures = TRUE;
  ::ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &flag);

  std::wstring text = Utf8ToWide(kServiceDescription);
  SERVICE_DESCRIPTIONW description{};
  description.lpDescription = text.data();
  ::ChangeServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, &description);
}

// The dispatcher calls ServiceMain and the handler without a context pointer,
// so the callbacks of the one running dispatcher live here.
const ServiceCallbacks* g_callbacks = nullptr;

class ScmStatusSink : public ServiceStatusSink {
 public:
  explicit ScmStatusSink(SERVICE_STATUS_HANDLE handle) : handle_(handle) {}
  void Report(const ServiceStatus& s) override {
    SERVICE_STATUS status{};
    status.dwServiceType = s.serviceType;
    status.dwCurrentState = s.currentState;
    status.dwControlsAccepted = s.controlsAccepted;
    status.dwWin32ExitCode = s.win32ExitCode;
    status.dwServiceSpecificExitCode = s.serviceSpecificExitCode;
    status.dwCheckPoint = s.checkPoint;
    status.dwWaitHint = s.waitHint;
    ::SetServiceStatus(handle_, &status);
  }

 private:
  SERVICE_STATUS_HANDLE handle_;
};

void WINAPI ServiceControlHandler(DWORD control) {
  const ServiceCallbacks* callbacks = g_callbacks;
  if (callbacks && callbacks->control) callbacks->control(control);
}

void WINAPI ServiceMainEntry(DWORD /*argc*/, LPWSTR* /*argv*/) {
  const ServiceCallbacks* callbacks = g_callbacks;
  std::wstring name = ServiceName();
  SERVICE_STATUS_HANDLE handle = ::RegisterServiceCtrlHandlerW(name.c_str(), ServiceControlHandler);
  if (!handle) return;  // nothing can be reported without a handle
  ScmStatusSink sink(handle);
  if (callbacks && callbacks->serviceMain) callbacks->serviceMain(sink);
}

}  // namespace

bool ScmServiceManager::Install(const std::string& executablePath) {
  installError_ = 0;
  ScHandle manager(::OpenSCManagerW(nullptr, nullptr, kCreateServiceRight));
  if (!manager) {
    installError_ = ::GetLastError();
    return false;
  }
  std::wstring path = Utf8ToWide(executablePath);
  if (path.empty()) return false;
  // Quoted, so that a folder name with spaces is not split into arguments.
  std::wstring command = L"\"" + path + L"\"";
  std::wstring name = ServiceName();
  ScHandle service(::CreateServiceW(manager.get(), name.c_str(), name.c_str(), kAllServiceAccess,
                                    SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                    SERVICE_ERROR_NORMAL, command.c_str(), nullptr, nullptr,
                                    nullptr, nullptr, nullptr));
  if (!service) {
    installError_ = ::GetLastError();  // 1072 while an earlier removal is pending
    return false;
  }
  ConfigureRecovery(service.get());
  return true;
}

ServiceManager::UninstallResult ScmServiceManager::Uninstall() {
  ScHandle manager(::OpenSCManagerW(nullptr, nullptr, kConnectRight));
  if (!manager) return UninstallResult::kCannotOpen;
  std::wstring name = ServiceName();
  ScHandle service(::OpenServiceW(manager.get(), name.c_str(), kUninstallRights));
  if (!service) return UninstallResult::kCannotOpen;

  SERVICE_STATUS status{};
  if (::ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) {
    for (int i = 0; i < kStopPolls; ++i) {
      if (!::QueryServiceStatus(service.get(), &status)) break;
      if (status.dwCurrentState == SERVICE_STOPPED) break;
      ::Sleep(kStopPollIntervalMs);
    }
  }
  if (!::DeleteService(service.get())) return UninstallResult::kDeleteFailed;
  // DeleteService only marks the service: it goes once it has stopped and
  // every handle to it is closed. Still there after ours is closed means the
  // removal is pending (a stop that outlasted the polls, or another program
  // holding it open).
  service.Close();
  ScHandle again(::OpenServiceW(manager.get(), name.c_str(), SERVICE_QUERY_STATUS));
  if (again || ::GetLastError() == ERROR_SERVICE_MARKED_FOR_DELETE)
    return UninstallResult::kMarkedForDeletion;
  return UninstallResult::kDeleted;
}

uint32_t ScmServiceManager::InstallError() const { return installError_; }

int ScmServiceManager::RunDispatcher(const ServiceCallbacks& callbacks) {
  std::wstring name = ServiceName();
  SERVICE_TABLE_ENTRYW table[] = {{name.data(), ServiceMainEntry}, {nullptr, nullptr}};
  g_callbacks = &callbacks;
  const BOOL ran = ::StartServiceCtrlDispatcherW(table);
  const DWORD error = ran ? 0 : ::GetLastError();
  // Handler calls can no longer arrive once the dispatcher has returned.
  g_callbacks = nullptr;
  return static_cast<int>(error);
}

}  // namespace tb::platform
