#pragma once
// The daemon's log: two process-wide streams. Information goes to standard
// output, warnings and errors to standard error. In the service both are
// redirected into logs/Tillerbrook.log beside the executable.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tb {

// Each call writes one whole line (a "\n" is appended) and flushes it, so lines
// from different threads never interleave. Any thread; a line the stream
// refuses is lost without a report (there is nowhere left to report it).
void LogInfo(std::string_view text);
void LogError(std::string_view text);

inline constexpr std::uintmax_t kLogRotateBytes = 8388608;  // 8 MiB

// Service mode with a known program folder: redirects both streams into
// <folder>/logs/Tillerbrook.log and rotates it if already too large.
// Otherwise prepares the console. Start-up only, before other threads log; a
// log file that cannot be opened leaves the streams where they were.
void OpenLog(const std::string& programFolder, bool inServiceSession);

// Moves the log aside to "<log>.1" once it has reached kLogRotateBytes. Any
// thread (maintenance calls it); other threads' lines wait for the move. A
// failed move keeps writing to the same file.
void RotateLogIfLarge();

// The remembered log path; empty in a console run. Any thread.
std::string LogFilePath();

// A value that came from a request (printer name, key, path, parser text),
// made safe for one log line: control characters (C0, DEL, and the Unicode
// line breaks U+0085, U+2028, U+2029) are written as \n, \r, \t or \xHH /
// \u{HHHH}, so a value can never start a line of its own; a value longer
// than maxBytes is cut at a character boundary and marked with the number of
// bytes left out. Other bytes, invalid UTF-8 included, pass unchanged.
// Pure: any thread.
inline constexpr std::size_t kLogValueMaxBytes = 512;
std::string LogValue(std::string_view value, std::size_t maxBytes = kLogValueMaxBytes);

}  // namespace tb
