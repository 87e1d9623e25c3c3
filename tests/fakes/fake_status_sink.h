#pragma once
#include <mutex>
#include <vector>

#include "platform/service_manager.h"

namespace tbtest {

// Records every status report, in order.
class FakeStatusSink : public tb::platform::ServiceStatusSink {
 public:
  void Report(const tb::platform::ServiceStatus& status) override {
    std::lock_guard<std::mutex> lock(mutex_);
    reports_.push_back(status);
  }
  std::vector<tb::platform::ServiceStatus> Reports() {
    std::lock_guard<std::mutex> lock(mutex_);
    return reports_;
  }

 private:
  std::mutex mutex_;
  std::vector<tb::platform::ServiceStatus> reports_;
};

}  // namespace tbtest
