#pragma once
// The server's hooks for the allow-list of origins: a request from a page
// that is not listed is refused before routing, so no handler runs and no
// body is read; every answer gets the CORS headers that fit its caller.
#include <httplib.h>

namespace tb {

// Pre-routing handler: 403 {"msg": "origin not allowed: ...", "status":
// "error"} for an unlisted Origin while the list is on.
httplib::Server::HandlerResponse RefuseUnlistedOrigin(const httplib::Request& req,
                                                      httplib::Response& res);

// The same refusal for a client that waits for "100 Continue" before it
// sends its body: 403 instead, so the body is never asked for.
int RefuseUnlistedOriginBeforeBody(const httplib::Request& req, httplib::Response& res);

// Post-routing handler: the CORS headers, unless the refusal check already
// set them. Reads the list once per request either way.
void AddCorsHeaders(const httplib::Request& req, httplib::Response& res);

}  // namespace tb
