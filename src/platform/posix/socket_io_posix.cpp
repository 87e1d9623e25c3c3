#include "platform/socket_io.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>

namespace tb::platform {
namespace {

int Fd(SocketHandle socket) { return static_cast<int>(socket); }

// A signal delivered to the waiting thread is not the peer's doing: the
// call is simply made again (with the whole timeout: signals are rare here).
bool WaitFor(SocketHandle socket, short events, int timeoutMs) {
  pollfd pfd{};
  pfd.fd = Fd(socket);
  pfd.events = events;
  int r;
  do {
    r = ::poll(&pfd, 1, timeoutMs);
  } while (r < 0 && errno == EINTR);
  return r > 0;
}

}  // namespace

bool WaitReadable(SocketHandle socket, int timeoutMs) { return WaitFor(socket, POLLIN, timeoutMs); }

bool WaitWritable(SocketHandle socket, int timeoutMs) { return WaitFor(socket, POLLOUT, timeoutMs); }

bool PeerClosed(SocketHandle socket) {
  if (!WaitReadable(socket, 0)) return false;  // nothing to read: still open
  char byte;
  ssize_t r;
  do {
    r = ::recv(Fd(socket), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  } while (r < 0 && errno == EINTR);
  return r == 0 || (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

std::ptrdiff_t Receive(SocketHandle socket, char* data, std::size_t size) {
  const size_t n = std::min<size_t>(size, INT_MAX);
  ssize_t r;
  do {
    r = ::recv(Fd(socket), data, n, 0);
  } while (r < 0 && errno == EINTR);
  return r;
}

std::ptrdiff_t Send(SocketHandle socket, const char* data, std::size_t size) {
  const size_t n = std::min<size_t>(size, INT_MAX);
  ssize_t r;
  do {
    // MSG_NOSIGNAL: a peer that has gone away is an error, not SIGPIPE.
    r = ::send(Fd(socket), data, n, MSG_NOSIGNAL);
  } while (r < 0 && errno == EINTR);
  return r;
}

bool ShutdownBoth(SocketHandle socket) { return ::shutdown(Fd(socket), SHUT_RDWR) == 0; }

bool ShutdownSend(SocketHandle socket) { return ::shutdown(Fd(socket), SHUT_WR) == 0; }

}  // namespace tb::platform
