// POST /setup bodies through the parse, the printer check and the
// configuration store, against a temporary database.
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
  httplib::Response res;
  tb::HandleSetupBody(std::string_view(reinterpret_cast<const char*>(data), size), res);
  const nlohmann::json reply = fuzzenv::CheckedReply(res.status, res.body);
  if (reply["status"] == "success") {
    // Only an installed printer is ever stored, and what is stored can be
    // listed again.
    bool listed = false;
    for (const tb::store::ConfigEntry& row : tb::store::ListConfig("", "")) {
      const nlohmann::json entry{{"key", row.key}, {"value", row.value}};
      FUZZ_CHECK(!entry.dump(-1, ' ', false, nlohmann::json::error_handler_t::strict).empty());
      if (row.type == "*" || row.type.empty()) {
        bool installed = false;
        for (const auto& name : fuzzenv::InstalledPrinters()) installed |= row.value == name;
        FUZZ_CHECK(installed);
        listed = true;
      }
    }
    FUZZ_CHECK(listed);
  }
  return 0;
}
