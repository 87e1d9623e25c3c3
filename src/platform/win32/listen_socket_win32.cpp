#include "platform/listen_socket.h"

#include <winsock2.h>

namespace tb::platform {

void ConfigureListeningSocket(std::uintptr_t socket) {
  // Exclusive use: no other socket may bind the address while we hold it.
  BOOL yes = TRUE;
  ::setsockopt(static_cast<SOCKET>(socket), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
               reinterpret_cast<const char*>(&yes), sizeof yes);
}

// The queue length was given at the first listen (the library is compiled
// with CPPHTTPLIB_LISTEN_BACKLOG); Windows ignores a second one.
void WidenListenBacklog(std::uintptr_t) {}

}  // namespace tb::platform
