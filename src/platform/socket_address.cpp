// Peer and local addresses as numeric text: the same calls on both systems,
// only the headers differ.
#include "platform/socket_io.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netdb.h>
#include <sys/socket.h>
#endif

#include <cstdlib>

namespace tb::platform {
namespace {

#ifdef _WIN32
using NativeSocket = SOCKET;
#else
using NativeSocket = int;
#endif

std::optional<SocketAddress> AddressText(const sockaddr_storage& addr, socklen_t length) {
  char host[NI_MAXHOST] = {};
  char service[NI_MAXSERV] = {};
  if (::getnameinfo(reinterpret_cast<const sockaddr*>(&addr), length, host, sizeof host, service,
                    sizeof service, NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
    return std::nullopt;
  }
  return SocketAddress{host, std::atoi(service)};
}

// getpeername or getsockname, read as text.
template <class Query>
std::optional<SocketAddress> QueryAddress(SocketHandle socket, Query query) {
  sockaddr_storage addr{};
  socklen_t length = sizeof addr;
  if (query(static_cast<NativeSocket>(socket), reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
    return std::nullopt;
  }
  return AddressText(addr, length);
}

}  // namespace

std::optional<SocketAddress> PeerAddress(SocketHandle socket) { return QueryAddress(socket, ::getpeername); }

std::optional<SocketAddress> LocalAddress(SocketHandle socket) { return QueryAddress(socket, ::getsockname); }

}  // namespace tb::platform
