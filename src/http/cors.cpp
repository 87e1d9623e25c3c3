#include "http/cors.h"

#include <algorithm>

#include "base/web_origin.h"

namespace tb {
namespace {

// The daemon's own pages are loaded by address or as localhost. A page of a
// name that merely resolves here (DNS rebinding) sends its name as Host, and
// must not count as one of them.
bool AddressedDirectly(const std::string& origin) {
  std::string host = origin.substr(origin.find("://") + 3);
  if (host.front() == '[') return true;
  host = host.substr(0, host.find(':'));
  return host == "localhost" || host.find_first_not_of("0123456789.") == std::string::npos;
}

}  // namespace

OriginCheck CheckOrigin(const httplib::Request& req, const std::vector<std::string>& allowed) {
  OriginCheck check;
  if (allowed.empty()) return check;
  if (!req.has_header("Origin")) {
    check.verdict = OriginVerdict::kNoOrigin;
    return check;
  }
  std::string error, own;
  check.verdict = OriginVerdict::kRefused;
  // "null" (sandboxed frames, files) and other unusable values are refused.
  if (!NormalizeOrigin(req.get_header_value("Origin"), check.origin, error)) return check;
  const std::string host = req.get_header_value("Host");
  const bool ownPage = !host.empty() && NormalizeOrigin("http://" + host, own, error) &&
                       own == check.origin && AddressedDirectly(own);
  if (ownPage || std::find(allowed.begin(), allowed.end(), check.origin) != allowed.end()) {
    check.verdict = OriginVerdict::kAllowed;
  }
  return check;
}

void AddCorsHeadersFor(const httplib::Request& req, const OriginCheck& check,
                       httplib::Response& res) {
  if (check.verdict == OriginVerdict::kOpen) {
    res.set_header("Access-Control-Allow-Origin", "*");
  } else if (check.verdict != OriginVerdict::kNoOrigin) {
    // Echoed as sent: the browser compares it with its own serialisation.
    res.set_header("Access-Control-Allow-Origin", req.get_header_value("Origin"));
  }
  if (check.verdict == OriginVerdict::kOpen || check.verdict == OriginVerdict::kAllowed) {
    res.set_header("Access-Control-Allow-Methods", "POST, GET, OPTIONS");
    res.set_header("Access-Control-Allow-Headers", "*");
    res.set_header("Access-Control-Allow-Private-Network", "true");
    res.set_header("Access-Control-Max-Age", "86400");
  }
  if (check.verdict != OriginVerdict::kOpen) res.set_header("Vary", "Origin");
}

}  // namespace tb
