#include "store/allowed_origins.h"

#include "base/local_timestamp.h"
#include "base/web_origin.h"
#include "store/config_store.h"

namespace tb::store {

std::vector<std::string> ListAllowedOrigins() {
  std::vector<std::string> origins;
  for (ConfigEntry& row : ListConfig(kAllowedOriginType, "")) {
    // A row written around the daemon (by hand in the database) is matched in
    // its normalised form, as a browser sends it; one that is no origin
    // matches nothing but still turns the list on.
    std::string origin, error;
    origins.push_back(NormalizeOrigin(row.key, origin, error) ? origin : row.key);
  }
  return origins;
}

bool AllowOrigin(const std::string& text, std::string& origin, std::string& error) {
  if (!NormalizeOrigin(text, origin, error)) return false;
  return SetConfigValue(kAllowedOriginType, origin, LocalTimestamp(), &error);
}

int DenyOrigin(const std::string& text, std::string& origin, std::string& error) {
  if (!NormalizeOrigin(text, origin, error)) return -1;
  const int count = DeleteConfig(kAllowedOriginType, origin);
  if (count < 0) error = "the database could not be changed";
  return count;
}

}  // namespace tb::store
