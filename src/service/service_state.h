#pragma once
// Process-wide state shared by the service control handler and the daemon.
#include "base/shutting_down.h"

namespace httplib {
class Server;
}

namespace tb {

// The running HTTP server, published by daemon_main while it exists.
// Publishing, clearing and stopping are serialised, so a stop request can never
// reach a server that is being destroyed.
void PublishActiveServer(httplib::Server* server);
void ClearActiveServer();
// Stops the published server once it listens: its listening socket is closed
// and the listening loop returns once running requests have finished. True
// when the stop was delivered (now or before); false when there is no server
// or it is not listening yet, so the caller asks again later.
bool StopActiveServer();

}  // namespace tb
