#include "routes/origin_routes.h"

#include <string>

#include "base/logging.h"
#include "base/text.h"
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
