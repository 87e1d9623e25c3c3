#pragma once
// The program's entry point: picks the role from the first argument.
#include <string>
#include <vector>

namespace tb {

inline constexpr const char* kServiceName = "Orv_Tillerbrook";
inline constexpr const char* kServiceDescription = "Orv label print daemon (HTTP on port 3806).";
inline constexpr const char* kMetricsHelperSwitch = "--query-printer-metrics";

// `args` is the narrow argument vector (program name first).
int RunEntryPoint(const std::vector<std::string>& args);

// daemon_main behind a guard that turns escaping exceptions into -3 / -4.
int RunDaemonGuarded();

}  // namespace tb
