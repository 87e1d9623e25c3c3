#include "platform/launcher.h"

namespace tb::platform {

uint32_t ChooseActiveSession(const std::vector<SessionState>& sessions, uint32_t fallback) {
  // Session 0 hosts services; disconnected and idle sessions have nobody at
  // a desktop to print for.
  for (const SessionState& s : sessions) {
    if (s.active && s.id != 0 && s.id != kNoSession) return s.id;
  }
  return fallback;
}

}  // namespace tb::platform
