#pragma once
// The names this machine goes by on the network.
#include <string>
#include <vector>

namespace tb::platform {

// The host name, its fully qualified form and (Windows) the NetBIOS name, as
// the system reports them; entries may repeat. Resolving the full name may
// ask the name service, so callers keep the result.
std::vector<std::string> MachineHostNames();

}  // namespace tb::platform
