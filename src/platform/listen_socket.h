#pragma once
// Options for the daemon's listening socket.
#include <cstdint>

namespace tb::platform {

// Replaces the HTTP library's socket options (which allow sharing the port):
// a second daemon must fail to bind, while a restart still binds at once
// despite connections lingering in TIME_WAIT. Called before bind; a failure
// is ignored and leaves the system's defaults.
void ConfigureListeningSocket(std::uintptr_t socket);

// Connections the system queues for the daemon before it accepts them. The
// HTTP library listens with a queue of 5, which a burst of clients overflows
// (they are reset or wait a second for a retried handshake).
constexpr int kListenBacklog = 512;

// Gives the bound, listening socket the full queue. Linux takes a second
// listen() as a new queue length; Windows keeps the first one, so there the
// library is built to listen with kListenBacklog from the start.
// A failure leaves the library's queue, which still works.
void WidenListenBacklog(std::uintptr_t socket);

}  // namespace tb::platform
