#include "platform/platform.h"
#include "platform/win32/launcher_win32.h"
#include "platform/win32/metrics_channel_win32.h"
#include "platform/win32/printing_account_win32.h"
#include "platform/win32/process_win32.h"
#include "platform/win32/service_manager_win32.h"
#include "platform/win32/win_raw_spooler.h"
#include "platform/win32/win_spooler.h"

namespace tb::platform {

Platform& Native() {
  static Win32Process process;
  static ScmServiceManager serviceManager;
  static Win32DesktopLauncher launcher;
  static Win32MetricsChannel metricsChannel;
  static WinSpooler spooler;
  static Win32PrintingAccount printingAccount(launcher, metricsChannel, spooler);
  static WinRawSpooler rawSpooler(printingAccount);
  static Platform platform{&process,  &serviceManager, &spooler,        &launcher,
                           &metricsChannel, &printingAccount, &rawSpooler};
  return platform;
}

}  // namespace tb::platform
