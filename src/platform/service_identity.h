#pragma once
// Who the daemon is to the service manager, and the switch of its helper role.
// Kept at the platform floor because the service managers register these.

namespace tb {

inline constexpr const char* kServiceName = "Orv_Tillerbrook";
inline constexpr const char* kServiceDescription = "Orv label print daemon (HTTP on port 3806).";
inline constexpr const char* kMetricsHelperSwitch = "--query-printer-metrics";

}  // namespace tb
