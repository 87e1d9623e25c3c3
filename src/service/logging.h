#pragma once
// The daemon's log: two process-wide streams. Information goes to standard
// output, warnings and errors to standard error. In the service both are
// redirected into logs/Tillerbrook.log beside the executable.
#include <cstdint>
#include <string>
#include <string_view>

namespace tb {

// Each call writes one whole line (a "\n" is appended) and flushes it, so lines
// from different threads never interleave.
void LogInfo(std::string_view text);
void LogError(std::string_view text);

inline constexpr std::uintmax_t kLogRotateBytes = 8388608;  // 8 MiB

// Service mode with a known program folder: redirects both streams into
// <folder>/logs/Tillerbrook.log and rotates it if already too large.
// Otherwise prepares the console.
void OpenLog(const std::string& programFolder, bool inServiceSession);

// Moves the log aside to "<log>.1" once it has reached kLogRotateBytes.
void RotateLogIfLarge();

// The remembered log path; empty in a console run.
std::string LogFilePath();

}  // namespace tb
