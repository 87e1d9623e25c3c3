#pragma once
// The program's entry point: picks the role from the first argument.
#include <string>
#include <vector>

#include "platform/service_identity.h"

namespace tb {


// `args` is the narrow argument vector (program name first).
int RunEntryPoint(const std::vector<std::string>& args);

// daemon_main behind a guard that turns escaping exceptions into -3 / -4.
int RunDaemonGuarded();

}  // namespace tb
