// POST /remove bodies through the parse and the configuration store, against
// a temporary database holding one client mapping that an input may remove.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include <httplib.h>

#include "routes/settings_routes.h"
#include "settings_env.h"
#include "store/config_store.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzenv::SettingsEnvironment& env = fuzzenv::SettingsEnvironment::Get();
  tb::platform::ScopedPlatformOverride use(env.platform);
  // Written anew only after an input removed it: every write waits for the
  // disk, and most inputs never get that far.
  static bool stored = false;
  if (!stored) {
    FUZZ_CHECK(tb::store::SetConfigValues({nlohmann::json{{"key", "shop"}, {"value", "Brother"}}}));
    stored = true;
  }
  httplib::Response res;
  tb::HandleRemoveBody(std::string_view(reinterpret_cast<const char*>(data), size), res);
  const nlohmann::json reply = fuzzenv::CheckedReply(res.status, res.body);
  if (reply["status"] == "success") {
    const nlohmann::json& count = reply["count"];
    FUZZ_CHECK(count.is_number_integer() && count.get<int>() >= 0 && count.get<int>() <= 1);
    if (count.get<int>() == 1) stored = false;
  }
  return 0;
}
