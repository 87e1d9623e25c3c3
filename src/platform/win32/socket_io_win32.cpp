#include "platform/socket_io.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <climits>
#include <cstdlib>

namespace tb::platform {
namespace {

SOCKET Sock(SocketHandle socket) { return static_cast<SOCKET>(socket); }

int Length(std::size_t size) { return static_cast<int>(std::min<std::size_t>(size, INT_MAX)); }

bool WaitFor(SocketHandle socket, short events, int timeoutMs) {
  WSAPOLLFD pfd{};
  pfd.fd = Sock(socket);
  pfd.events = events;
  return ::WSAPoll(&pfd, 1, timeoutMs) > 0;
}

}  // namespace

// Only normal data counts: HTTP has no out-of-band data.
bool WaitReadable(SocketHandle socket, int timeoutMs) { return WaitFor(socket, POLLRDNORM, timeoutMs); }

bool WaitWritable(SocketHandle socket, int timeoutMs) { return WaitFor(socket, POLLWRNORM, timeoutMs); }

bool PeerClosed(SocketHandle socket) {
  if (!WaitFor(socket, POLLRDNORM, 0)) return false;
  char byte;
  const int r = ::recv(Sock(socket), &byte, 1, MSG_PEEK);
  return r == 0 || (r < 0 && ::WSAGetLastError() != WSAEWOULDBLOCK);
}

// Winsock is not interrupted by signals, and a send to a gone peer fails with
// WSAECONNRESET: no retry loop and no flags.
std::ptrdiff_t Receive(SocketHandle socket, char* data, std::size_t size) {
  return ::recv(Sock(socket), data, Length(size), 0);
}

std::ptrdiff_t Send(SocketHandle socket, const char* data, std::size_t size) {
  return ::send(Sock(socket), data, Length(size), 0);
}

bool ShutdownBoth(SocketHandle socket) { return ::shutdown(Sock(socket), SD_BOTH) == 0; }

bool ShutdownSend(SocketHandle socket) { return ::shutdown(Sock(socket), SD_SEND) == 0; }

}  // namespace tb::platform
