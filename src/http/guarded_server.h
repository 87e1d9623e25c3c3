#pragma once
// The HTTP server with the connection handling hardened against hostile
// peers. Parsing, routing and answering stay the library's; only the socket
// stream and the keep-alive loop around each request are ours:
// - a request head must arrive whole within a few seconds of its first byte
//   and within a size bound (the library allows 30 s per read, unbounded);
// - a chunked or unframed body is cut off once it passes the body limit with
//   room for framing (the library reads those whole);
// - many connections may wait for their peers, but only `handlers` requests
//   with a body are read and handled at once (three quarters of them for
//   one address), so idle and slow peers never block the handlers, and
//   uploads never block requests without a body;
// - past `perPeer` connections of one address, a new one evicts the one of
//   that address that has waited longest (at least `evictAfter`) for its
//   next request; with none that idle it is let in only while the pool keeps
//   room for other peers, and closed otherwise.
#include <memory>

#include <httplib.h>

#include "http/connection_limits.h"

namespace tb {

class Admission;

class GuardedServer : public httplib::Server {
 public:
  explicit GuardedServer(ConnectionLimits limits = {});
  ~GuardedServer() override;

  const ConnectionLimits& limits() const { return limits_; }

 private:
  bool process_and_close_socket(socket_t sock) override;

  ConnectionLimits limits_;
  std::unique_ptr<Admission> admission_;
};

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
