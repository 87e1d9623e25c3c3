#pragma once

namespace tb {
// Shown in the start-up line, by /version and on the status page.
inline constexpr const char* kAppVersion = "v1.4.0";
}  // namespace tb
