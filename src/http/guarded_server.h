#pragma once
// The HTTP server with the connection handling hardened against hostile
// peers. Parsing, routing and answering stay the library's; only the socket
// stream and the keep-alive loop around each request are ours:
// - a request head must arrive whole within a few seconds of its first byte
//   and within a size bound (the library allows 30 s per read, unbounded);
// - a chunked or unframed body is cut off once it passes the body limit with
//   room for framing (the library reads those whole);
// - a body must keep pace with its size once the head is in;
// - many connections may wait for their peers, but only `handlers` requests
//   to a route that reads a body or does costly work are handled at once
//   (three quarters of them for one address), and none waits for a slot
//   longer than `slotWait` (then 503), so idle and slow peers never block
//   the handlers, and uploads never block the cheap routes;
// - past `perPeer` connections of one address, a new one evicts the one of
//   that address that has waited longest (at least `evictAfter`) for its
//   peer; with none that idle it is let in only while the pool keeps room
//   for other peers, and closed otherwise.
// What the library would do on the request's behalf without any route
// asking is kept from it: bodies are never decoded (415), answers never
// compressed or cut into ranges, a body framed two ways or with any other
// transfer coding than a lone "chunked" is refused (400), and a body that no
// route reads is never read or stored (the connection closes after the
// answer instead).
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <httplib.h>

#include "http/connection_limits.h"

namespace tb {

class Admission;

// An answer the server gives in place of the route's, before any of the
// body is read.
struct Refusal {
  int status = 0;    // 0: none
  std::string text;  // the answer's plain-text body
};

// What the server's owner tells it about the routes.
struct RouteRules {
  // Paths whose POST handler reads the body; every other body is left unread.
  std::vector<std::string> bodyPaths;
  // GET paths whose work costs like a body's: they take a handler slot.
  std::vector<std::string> costlyPaths;
  // Asked for each request whose framing is sound, before any slot is taken.
  std::function<Refusal(const httplib::Request&)> check;
  // The owner's own pre-routing and "100 Continue" decisions, asked only for
  // requests the server itself let through (the library keeps one of each).
  httplib::Server::HandlerWithResponse preRouting;
  httplib::Server::Expect100ContinueHandler beforeBody;
};

class GuardedServer : public httplib::Server {
 public:
  explicit GuardedServer(ConnectionLimits limits = {});
  ~GuardedServer() override;

  const ConnectionLimits& limits() const { return limits_; }
  void SetRouteRules(RouteRules rules) { rules_ = std::move(rules); }

 protected:
  // One accepted connection, served until it ends; closes the socket.
  bool process_and_close_socket(socket_t sock) override;

 private:
  // Judges a parsed head: the refusal to answer, if any; whether a route
  // reads its body, and whether it takes a handler slot.
  Refusal Judge(httplib::Request& req, bool& readsBody, bool& takesSlot) const;

  ConnectionLimits limits_;
  RouteRules rules_;
  std::unique_ptr<Admission> admission_;
};

// For a handler about to do costly work the head did not show (a stale
// cache to refresh): takes a handler slot for the rest of the request,
// waiting at most the server's slotWait. False when none came free; the
// handler then answers SendBusy. True outside a served request.
bool TakeHandlerSlot();

// True on a request thread while the current request's chunked or unframed
// body has been cut off at the body limit.
bool RequestBodyOverLimit();

// True on a request thread once the client of the current request has closed
// its connection (or it broke): nobody is left to read the answer.
bool RequestPeerGone();

// Called by a handler that stopped reading its body part way: the rest is
// then read and dropped after the answer, and the connection closed.
void AbandonRequestBody();

}  // namespace tb
