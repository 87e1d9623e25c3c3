#pragma once
// The process's two log streams: standard output (information and progress)
// and standard error (warnings, errors, library texts).
#include <string>
#include <string_view>

namespace tb::platform {

enum class LogStream { kInfo, kError };

// Writes one whole line (UTF-8, already ending in "\n") and flushes it.
// Callers serialise; the function itself is not locked.
void WriteLogLine(LogStream stream, std::string_view line);

// Points both standard streams at `path` (opened for appending), both or
// neither: when the file cannot be opened the streams stay where they were.
// Like WriteLogLine, the callers serialise this and the two below.
bool RedirectStandardStreams(const std::string& path);

// Points both standard streams at the null device (used while the log file
// is moved aside).
void RedirectStandardStreamsToNull();

// Console configuration: makes wide text show correctly on a console.
void PrepareConsoleOutput();

// Flushes both standard streams.
void FlushStandardStreams();

}  // namespace tb::platform
