#include "platform/platform.h"
#include "platform/posix/process_posix.h"
#include "platform/posix/service_manager_posix.h"

namespace tb::platform {

Platform& Native() {
  static PosixProcess process;
  static SystemdServiceManager serviceManager("/etc/systemd/system", RunCommand);
  static Platform platform{&process, &serviceManager, nullptr, nullptr};
  return platform;
}

}  // namespace tb::platform
