#include <windows.h>

#include <cstdlib>

#include "platform/end_process.h"

namespace tb::platform {

// ExitProcess would run every library's detach code under threads in any
// state; terminating does not.
void EndProcessNow(uint32_t code) {
  TerminateProcess(GetCurrentProcess(), code);
  std::_Exit(static_cast<int>(code));  // not reached: a process can always end itself
}

}  // namespace tb::platform
