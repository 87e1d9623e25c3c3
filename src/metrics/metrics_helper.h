#pragma once
// The metrics helper: a copy of this program started in the interactive
// user's session that measures a printer as that user sees it and hands the
// answer back through a pipe made for that one query.
#include <cstddef>
#include <cstdint>
#include <string>

#include "metrics/page_metrics.h"

namespace tb::metrics {

struct HelperLimits {
  uint32_t connectMs = 30000;          // helper connects after starting
  uint32_t runMs = 30000;              // helper ends after connecting
  uint32_t afterTerminateMs = 2000;    // helper ends after being terminated
  uint32_t readMs = 5000;              // one pending read
  size_t maxResponseBytes = 65536;
  size_t readChunkBytes = 2048;
  uint32_t connectAttempts = 10;       // helper side
  uint32_t connectRetryMs = 500;       // helper side, between attempts
};

struct HelperOptions {
  HelperLimits limits;
  // The program to start; empty means this executable (the real helper).
  std::string executable;
};

// Daemon side: starts the helper in the active user's session and decodes
// its answer. Blocks for the whole exchange.
bool QueryMetricsViaHelper(const std::string& printerName, PageMetrics& out, std::string& error);
bool QueryMetricsViaHelper(const std::string& printerName, const HelperOptions& options,
                           PageMetrics& out, std::string& error);

// "Tillerbrook_PrinterMetrics_<pid>_<tick>_<seq>"; the platform adds its own
// namespace (\\.\pipe\ on Windows).
std::string MetricsPipeBaseName(uint32_t processId, uint64_t tick, uint64_t sequence);

// The helper command line: executable, switch, printer and pipe, each quoted
// so that the platform's argument splitting gives them back unchanged.
std::string BuildHelperCommandLine(const std::string& executable, const std::string& printerName,
                                   const std::string& pipeName);

// Helper side. False when the process was not started as the helper;
// otherwise true with the exit code the process must end with.
bool RunMetricsHelperMode(int& exitCode);

// Helper side: delivers `bytes` to the daemon's pipe.
bool SendMetricsResponse(const std::string& pipeName, const std::string& bytes,
                         std::string& error);
bool SendMetricsResponse(const std::string& pipeName, const std::string& bytes,
                         const HelperLimits& limits, std::string& error);

}  // namespace tb::metrics
