#include "platform/platform.h"
#include "platform/posix/cups_raw_spooler.h"
#include "platform/posix/cups_spooler.h"
#include "platform/posix/launcher_posix.h"
#include "platform/posix/metrics_channel_posix.h"
#include "platform/posix/printing_account_posix.h"
#include "platform/posix/process_posix.h"
#include "platform/posix/service_manager_posix.h"

namespace tb::platform {

Platform& Native() {
  static PosixProcess process;
  static SystemdServiceManager serviceManager("/etc/systemd/system", RunCommand);
  static CupsSpooler spooler;
  static LogindSessionSource sessions;
  static PosixDesktopLauncher launcher(sessions, StartedByServiceManager);
  static PosixMetricsChannel metricsChannel(
      [](uint32_t session, uid_t& uid) { return launcher.SessionUser(session, uid); });
  static PosixPrintingAccount printingAccount(launcher);
  static CupsRawSpooler rawSpooler(printingAccount);
  static Platform platform{&process,  &serviceManager, &spooler,        &launcher,
                           &metricsChannel, &printingAccount, &rawSpooler};
  return platform;
}

}  // namespace tb::platform
