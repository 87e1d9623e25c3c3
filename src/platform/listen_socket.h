#pragma once
// Options for the daemon's listening socket.
#include <cstdint>

namespace tb::platform {

// Makes the port the daemon's alone: a second daemon must fail to bind instead
// of sharing the port (the HTTP library's defaults allow sharing), while a
// restart still binds at once despite connections lingering in TIME_WAIT.
void ConfigureListeningSocket(std::uintptr_t socket);

}  // namespace tb::platform
