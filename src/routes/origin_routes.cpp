#include "routes/origin_routes.h"

#include <algorithm>
#include <string>
#include <vector>

#include "base/logging.h"
#include "base/text.h"
#include "base/value_bounds.h"
#include "base/web_origin.h"
#include "http/refused_origins.h"
#include "http/replies.h"
#include "store/allowed_origins.h"

namespace tb {
namespace {

// Invalid UTF-8 counts as absent, like any failed conversion.
std::string OriginParam(const httplib::Request& req) {
  return StrictUtf8(req.get_param_value("origin"));
}

}  // namespace

void HandleAllowOrigin(const httplib::Request& req, httplib::Response& res) {
  std::string origin, error;
  // The list is kept small enough to be read for every request.
  const std::vector<std::string> listed = store::ListAllowedOrigins();
  if (listed.size() >= kMaxAllowedOrigins && NormalizeOrigin(OriginParam(req), origin, error) &&
      std::find(listed.begin(), listed.end(), origin) == listed.end()) {
    SendError(res, "There are " + std::to_string(kMaxAllowedOrigins) +
                       " allowed origins already; remove one first.", 400);
    return;
  }
  if (!store::AllowOrigin(OriginParam(req), origin, error)) {
    SendError(res, origin.empty() ? error : "Failed to allow " + origin + ": " + error,
              origin.empty() ? 400 : 500);
    return;
  }
  RefusedOrigins::Shared().Forget(origin);
  LogInfo("[Config] allowed origin " + origin);
  RedirectHome(res);
}

void HandleDenyOrigin(const httplib::Request& req, httplib::Response& res) {
  std::string origin, error;
  const int count = store::DenyOrigin(OriginParam(req), origin, error);
  if (count < 0) {
    SendError(res, origin.empty() ? error : "Failed to remove " + origin + ": " + error,
              origin.empty() ? 400 : 500);
    return;
  }
  if (count > 0) LogInfo("[Config] removed allowed origin " + origin);
  RedirectHome(res);
}

}  // namespace tb
