#include "platform/listen_socket.h"

#include <winsock2.h>

namespace tb::platform {

void ConfigureListeningSocket(std::uintptr_t socket) {
  // Exclusive use: no other socket may bind the address while we hold it.
  BOOL yes = TRUE;
  ::setsockopt(static_cast<SOCKET>(socket), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
               reinterpret_cast<const char*>(&yes), sizeof yes);
}

}  // namespace tb::platform
