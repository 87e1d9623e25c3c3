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

}  // namespace tb::platform
