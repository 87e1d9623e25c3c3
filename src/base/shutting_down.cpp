#include "base/shutting_down.h"

namespace tb {

std::atomic<bool>& ShuttingDown() {
  static std::atomic<bool> flag{false};
  return flag;
}

}  // namespace tb
