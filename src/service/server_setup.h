#pragma once
// The HTTP server as the daemon configures it: settings, handlers, routes.
#include <httplib.h>

#include "http/guarded_server.h"
#include "http/request_body.h"

namespace tb {

inline constexpr int kHttpPort = 3806;
inline constexpr const char* kListenAddress = "0.0.0.0";

// Applies the server settings (32 handlers at once, keep-alive, time-outs,
// body limit).
void ApplyServerSettings(GuardedServer& server);

// After bind_to_port: gives the socket the server listens on the full
// connection queue, so a burst of clients is not turned away.
void WidenListenQueueAfterBind();

// Registers the exception handler, the post-routing handler and every route.
void RegisterHandlersAndRoutes(httplib::Server& server);

}  // namespace tb
