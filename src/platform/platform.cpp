#include "platform/platform.h"

#include <atomic>

namespace tb::platform {
namespace {
std::atomic<Platform*> g_override{nullptr};
}

Platform& Current() {
  Platform* p = g_override.load(std::memory_order_acquire);
  return p ? *p : Native();
}

ScopedPlatformOverride::ScopedPlatformOverride(Platform& replacement)
    : previous_(g_override.exchange(&replacement)) {}

ScopedPlatformOverride::~ScopedPlatformOverride() { g_override.store(previous_); }

}  // namespace tb::platform
