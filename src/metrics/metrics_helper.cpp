#include "metrics/metrics_helper.h"

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "base/json_body.h"
#include "platform/command_line.h"
#include "platform/launcher.h"
#include "platform/metrics_channel.h"
#include "platform/platform.h"
#include "platform/process.h"
#include "base/program_folder.h"
#include "platform/service_identity.h"

namespace tb::metrics {
namespace {

using platform::PipeRead;
using platform::PipeWait;
using platform::WaitOutcome;

std::atomic<uint64_t> g_pipeSequence{0};

// Ends a helper that overran its time: terminate, then give it a moment to go.
void TerminateHelper(platform::HelperProcess& helper, const HelperLimits& limits) {
  helper.Terminate(2);
  std::string ignored;
  helper.Wait(limits.afterTerminateMs, ignored);
}

bool Decode(const std::string& bytes, PageMetrics& out, std::string& error) {
  nlohmann::json doc;
  try {
    doc = ParseJsonDocument(bytes);
  } catch (const std::exception& e) {
    error = std::string("cannot parse printer metrics helper response: ") + e.what() +
            "; output=" + bytes;
    return false;
  }
  return PageMetricsFromJson(doc, out, error);
}

}  // namespace

std::string MetricsPipeBaseName(uint32_t processId, uint64_t tick, uint64_t sequence) {
  return "Tillerbrook_PrinterMetrics_" + std::to_string(processId) + "_" + std::to_string(tick) +
         "_" + std::to_string(sequence);
}

std::string BuildHelperCommandLine(const std::string& executable, const std::string& printerName,
                                   const std::string& pipeName) {
  return platform::QuoteCommandLineArgument(executable) + " " + kMetricsHelperSwitch + " " +
         platform::QuoteCommandLineArgument(printerName) + " " +
         platform::QuoteCommandLineArgument(pipeName);
}

bool QueryMetricsViaHelper(const std::string& printerName, PageMetrics& out, std::string& error) {
  return QueryMetricsViaHelper(printerName, HelperOptions{}, out, error);
}

bool QueryMetricsViaHelper(const std::string& printerName, const HelperOptions& options,
                           PageMetrics& out, std::string& error) {
  const HelperLimits& limits = options.limits;
  platform::Platform& p = platform::Current();
  if (!p.metricsChannel || !p.process) {
    error = "printer metrics helper is not available on this system";
    return false;
  }
  platform::MetricsChannel& channel = *p.metricsChannel;

  const uint32_t session = p.launcher ? p.launcher->ActiveUserSession() : platform::kNoSession;
  if (session == platform::kNoSession) {
    error = "No active user session found";
    return false;
  }
  std::unique_ptr<platform::SessionUser> user = channel.OpenSessionUser(session, error);
  if (!user) return false;

  const uint64_t sequence = ++g_pipeSequence;
  std::unique_ptr<platform::MetricsPipeServer> pipe = channel.CreateMetricsPipe(
      MetricsPipeBaseName(p.process->ProcessId(), channel.TickCount(), sequence), error);
  if (!pipe) return false;
  if (!pipe->BeginConnect(error)) return false;

  std::string executable = options.executable;
  if (executable.empty() && !channel.ExecutablePath(executable, error)) return false;

  const std::string commandLine = BuildHelperCommandLine(executable, printerName, pipe->Name());
  std::unique_ptr<platform::HelperProcess> helper =
      channel.StartHelper(*user, executable, commandLine, ProgramFolder(), error);
  if (!helper) return false;

  switch (pipe->WaitForHelper(*helper, limits.connectMs, error)) {
    case PipeWait::kConnected:
      break;
    case PipeWait::kHelperExited: {
      uint32_t code = 0;
      if (!helper->ExitCode(code)) code = 0;
      error = "printer metrics helper exited before connecting, code=" + std::to_string(code);
      return false;
    }
    case PipeWait::kTimedOut:
      TerminateHelper(*helper, limits);
      error = "printer metrics helper connect timeout";
      return false;
    case PipeWait::kFailed:
      return false;
  }

  std::string waitError;
  const WaitOutcome ended = helper->Wait(limits.runMs, waitError);
  if (ended != WaitOutcome::kExited) {
    TerminateHelper(*helper, limits);
    error = ended == WaitOutcome::kTimedOut ? "printer metrics helper execution timeout" : waitError;
    return false;
  }
  uint32_t exitCode = 0;
  if (!helper->ExitCode(exitCode)) exitCode = 0;

  std::string bytes;
  std::string chunk;
  for (;;) {
    chunk.clear();
    const PipeRead r = pipe->Read(chunk, limits.readChunkBytes, limits.readMs, error);
    if (r == PipeRead::kEnd) break;
    if (r == PipeRead::kTimedOut) {
      error = "printer metrics pipe read timeout";
      return false;
    }
    if (r == PipeRead::kFailed) return false;
    if (bytes.size() + chunk.size() > limits.maxResponseBytes) {
      error = "printer metrics helper response too large";
      return false;
    }
    bytes += chunk;
  }

  if (exitCode != 0 && bytes.empty()) {
    error = "printer metrics helper exited with code " + std::to_string(exitCode);
    return false;
  }
  return Decode(bytes, out, error);
}

bool SendMetricsResponse(const std::string& pipeName, const std::string& bytes,
                         std::string& error) {
  return SendMetricsResponse(pipeName, bytes, HelperLimits{}, error);
}

bool SendMetricsResponse(const std::string& pipeName, const std::string& bytes,
                         const HelperLimits& limits, std::string& error) {
  platform::MetricsChannel* channel = platform::Current().metricsChannel;
  if (!channel) {
    error = "cannot connect to printer metrics named pipe";
    return false;
  }
  std::unique_ptr<platform::MetricsPipeClient> client;
  for (uint32_t attempt = 1; attempt <= limits.connectAttempts; ++attempt) {
    platform::PipeOpen result = platform::PipeOpen::kFailed;
    client = channel->OpenMetricsPipe(pipeName, result, error);
    if (result == platform::PipeOpen::kConnected && client) break;
    if (result == platform::PipeOpen::kFailed) return false;
    client.reset();
    if (attempt < limits.connectAttempts) channel->WaitForMetricsPipe(pipeName, limits.connectRetryMs);
  }
  if (!client) {
    error = "cannot connect to printer metrics named pipe";
    return false;
  }
  size_t offset = 0;
  while (offset < bytes.size()) {
    size_t written = 0;
    if (!client->Write(bytes.data() + offset, bytes.size() - offset, written, error)) return false;
    offset += written;
  }
  return true;
}

bool RunMetricsHelperMode(int& exitCode) {
  platform::Platform& p = platform::Current();
  if (!p.process) return false;
  const std::vector<std::string> args = p.process->CommandLineArguments();
  if (args.size() < 2 || args[1] != kMetricsHelperSwitch) return false;

  exitCode = 1;
  if (args.size() < 4 || args[2].empty() || args[3].empty()) return true;

  PageMetrics metrics;
  std::string deriveError;
  const bool ok = DerivePageMetrics(args[2], "helper:", metrics, deriveError);
  const nlohmann::json doc = ok ? PageMetricsToJson(metrics) : PageMetricsFailureJson(deriveError);
  // A stray byte in a driver's text must not cost the whole answer.
  const std::string bytes = doc.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);

  std::string sendError;
  if (SendMetricsResponse(args[3], bytes, sendError)) exitCode = ok ? 0 : 1;
  return true;
}

}  // namespace tb::metrics
