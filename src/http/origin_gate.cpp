#include "http/origin_gate.h"

#include "base/logging.h"
#include "http/cors.h"
#include "http/guarded_server.h"
#include "http/refused_origins.h"
#include "http/replies.h"
#include "store/allowed_origins.h"

namespace tb {
namespace {

bool CorsDecided(const httplib::Response& res) {
  return res.has_header("Access-Control-Allow-Origin") || res.has_header("Vary");
}

bool AnnouncesBody(const httplib::Request& req) {
  if (req.has_header("Transfer-Encoding")) return true;
  const std::string length = req.get_header_value("Content-Length");
  return !length.empty() && length.find_first_not_of('0') != std::string::npos;
}

// Decides once per request and sets the CORS headers; true when refused,
// with the answer written.
bool Refused(const httplib::Request& req, httplib::Response& res) {
  if (CorsDecided(res)) return false;  // decided before "100 Continue"
  const OriginCheck check = CheckOrigin(req, store::ListAllowedOrigins());
  AddCorsHeadersFor(req, check, res);
  if (check.verdict != OriginVerdict::kRefused) return false;

  std::string msg = "origin not allowed";
  if (!check.origin.empty()) {
    msg += ": " + check.origin + " (it can be allowed on the daemon's status page)";
    if (RefusedOrigins::Shared().Note(check.origin)) LogInfo("[HTTP] refused origin " + check.origin);
  }
  SendError(res, msg, 403);
  if (AnnouncesBody(req)) {
    // The body stays unread: the connection cannot carry another request.
    AbandonRequestBody();
    res.set_header("Connection", "close");
  }
  return true;
}

}  // namespace

httplib::Server::HandlerResponse RefuseUnlistedOrigin(const httplib::Request& req,
                                                      httplib::Response& res) {
  // Without an Origin nothing is refused: the post-routing handler reads the
  // list for the headers alone.
  if (!req.has_header("Origin") || !Refused(req, res)) {
    return httplib::Server::HandlerResponse::Unhandled;
  }
  return httplib::Server::HandlerResponse::Handled;
}

int RefuseUnlistedOriginBeforeBody(const httplib::Request& req, httplib::Response& res) {
  return req.has_header("Origin") && Refused(req, res) ? 403 : 100;
}

void AddCorsHeaders(const httplib::Request& req, httplib::Response& res) {
  if (!CorsDecided(res)) AddCorsHeadersFor(req, CheckOrigin(req, store::ListAllowedOrigins()), res);
}

}  // namespace tb
