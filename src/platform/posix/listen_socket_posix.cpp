#include "platform/listen_socket.h"

#include <sys/socket.h>

namespace tb::platform {

void ConfigureListeningSocket(std::uintptr_t socket) {
  int fd = static_cast<int>(socket);
  int yes = 1;
  // SO_REUSEADDR only; no SO_REUSEPORT, which would let a second process
  // listen on the same port.
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
}

void WidenListenBacklog(std::uintptr_t socket) {
  // A failure leaves the library's queue, which still works.
  ::listen(static_cast<int>(socket), kListenBacklog);
}

}  // namespace tb::platform
