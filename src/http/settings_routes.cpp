#include "http/settings_routes.h"

#include "http/replies.h"
#include "service/app_version.h"

namespace tb {

void HandleVersion(const httplib::Request&, httplib::Response& res) {
  SendJson(res, nlohmann::json{{"version", kAppVersion}}, 200);
}

}  // namespace tb
