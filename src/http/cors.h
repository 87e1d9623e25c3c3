#pragma once
// Which calling page a request comes from, as the allow-list of origins sees
// it, and the CORS headers that answer it.
#include <string>
#include <vector>

#include <httplib.h>

namespace tb {

enum class OriginVerdict {
  kOpen,      // no list: every page may, CORS "*" as always
  kNoOrigin,  // a list, and a request without Origin (a local program)
  kAllowed,   // a listed origin, or the daemon's own pages
  kRefused,   // a list, and an Origin that is not on it
};

struct OriginCheck {
  OriginVerdict verdict = OriginVerdict::kOpen;
  std::string origin;  // the sent Origin normalised; empty when it is none
};

// `allowed` holds the listed origins in normalised form. A page served by
// the daemon itself sends the origin "http://" + the Host it asked for.
OriginCheck CheckOrigin(const httplib::Request& req, const std::vector<std::string>& allowed);

// Without a list the five headers with "*". With one: for an allowed origin
// the same five with the origin echoed; for a refused one only the echo, so
// that its page can read the refusal while its preflights fail; always
// "Vary: Origin".
void AddCorsHeadersFor(const httplib::Request& req, const OriginCheck& check,
                       httplib::Response& res);

}  // namespace tb
