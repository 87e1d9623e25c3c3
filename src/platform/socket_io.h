#pragma once
// Reading and writing one connected socket with bounded waits, for a server
// that runs its own stream over the sockets its HTTP library accepted.
//
// Common to every function: the socket is the caller's, connected and open
// for the whole call (these functions never close it); any thread may call
// them, and one socket may be waited on, read and written from different
// threads at once, as the system allows. Failures are reported through the
// result only (nothing is logged, no exception is thrown); the error stays
// the system's (errno, WSAGetLastError) for a caller that wants it.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace tb::platform {

// A socket as the system knows it: a descriptor, or a SOCKET on Windows.
using SocketHandle = std::uintptr_t;

// Waits up to `timeoutMs` (0: only looks) until a read would not block: data,
// the peer's end of stream or a pending error. False on timeout or when the
// wait itself failed; nothing is consumed either way.
bool WaitReadable(SocketHandle socket, int timeoutMs);

// Whether the peer has closed its end or the connection broke, judged at
// once and without consuming anything: false while it is open, also when
// data is waiting.
bool PeerClosed(SocketHandle socket);

// As WaitReadable, until a write would not block.
bool WaitWritable(SocketHandle socket, int timeoutMs);

// Reads at most `size` bytes (at most INT_MAX) into `data`, which stays the
// caller's. Returns the count, 0 at the peer's end of stream, negative on
// failure (with nothing read). Blocks while nothing has arrived.
std::ptrdiff_t Receive(SocketHandle socket, char* data, std::size_t size);

// Writes at most `size` bytes (at most INT_MAX) from `data`. Returns the count
// taken by the system, which may be fewer, or negative on failure; a peer that
// has gone away is a failure, never a signal to the process.
std::ptrdiff_t Send(SocketHandle socket, const char* data, std::size_t size);

// Ends both directions: a thread waiting on the socket wakes at once and its
// reads see the end. The socket stays open until its owner closes it. False
// when the system refused (the socket is then unchanged).
bool ShutdownBoth(SocketHandle socket);

// Ends our sending only: the peer reads the end of our data and may still
// send. False when the system refused (the socket is then unchanged).
bool ShutdownSend(SocketHandle socket);

struct SocketAddress {
  std::string ip;  // numeric: "127.0.0.1", "::1"
  int port = 0;
};

// The connected peer's address, or nothing when the system cannot tell (the
// peer is already gone, the address does not print as a number).
std::optional<SocketAddress> PeerAddress(SocketHandle socket);

// Our end's address, or nothing when the system cannot tell.
std::optional<SocketAddress> LocalAddress(SocketHandle socket);

}  // namespace tb::platform
