#include "platform/listen_socket.h"

namespace tb::platform {

// Plain bind: a second daemon still fails to bind while the first listens,
// and Windows keeps other accounts off a port SYSTEM holds. An exclusive bind
// (SO_EXCLUSIVEADDRUSE) would also be refused while earlier connections
// linger in TIME_WAIT, so a restart right after traffic would fail for
// minutes.
void ConfigureListeningSocket(std::uintptr_t) {}

// The queue length was given at the first listen (the library is compiled
// with CPPHTTPLIB_LISTEN_BACKLOG); Windows ignores a second one.
void WidenListenBacklog(std::uintptr_t) {}

}  // namespace tb::platform
