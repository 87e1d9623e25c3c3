#pragma once
// Whether the process takes the service's part.
#include "platform/process.h"

namespace tb {

// True in the service context, and also when the system cannot tell (which
// is logged): the service's checks are the safe side, and a service taken
// for a console program would skip them.
bool ActsAsService(platform::Process& process);

}  // namespace tb
