#pragma once
// The service facility on Windows: the Service Control Manager.
#include "platform/service_manager.h"

namespace tb::platform {

class ScmServiceManager : public ServiceManager {
 public:
  bool Install(const std::string& executablePath) override;
  UninstallResult Uninstall() override;
  int RunDispatcher(const ServiceCallbacks& callbacks) override;
};

}  // namespace tb::platform
