#pragma once
// The service facility on Windows: the Service Control Manager.
#include "platform/service_manager.h"

namespace tb::platform {

class ScmServiceManager : public ServiceManager {
 public:
  bool Install(const std::string& executablePath) override;
  uint32_t InstallError() const override;
  UninstallResult Uninstall() override;
  int RunDispatcher(const ServiceCallbacks& callbacks) override;

 private:
  uint32_t installError_ = 0;
};

}  // namespace tb::platform
