#include <unistd.h>

#include "platform/end_process.h"

namespace tb::platform {

void EndProcessNow(uint32_t code) { ::_exit(static_cast<int>(code)); }

}  // namespace tb::platform
