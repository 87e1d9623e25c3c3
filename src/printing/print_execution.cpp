#include "printing/print_execution.h"

#include <sqlite3.h>

#include <algorithm>
#include <fstream>
#include <thread>

#include "pdffit/pdf_fit.h"
#include "platform/command_line.h"
#include "platform/file_ops.h"
#include "platform/platform.h"
#include "platform/printing_account.h"
#include "platform/utf8_path.h"
#include "printing/raw_print.h"
#include "base/local_timestamp.h"
#include "base/logging.h"
#include "store/print_records.h"

namespace tb::printing {
namespace {

using nlohmann::json;
using platform::WaitOutcome;
using platform::WindowMode;

std::string WithoutQuotes(std::string text) {
  text.erase(std::remove(text.begin(), text.end(), '"'), text.end());
  return text;
}

uint32_t Millis(std::chrono::milliseconds d) {
  return static_cast<uint32_t>(std::clamp<int64_t>(d.count(), 0, 0xFFFFFFFE));
}

// The launcher's own account of a failed start, where it has one.
void LogLaunchFailure(platform::DesktopLauncher& launcher) {
  if (const std::string text = launcher.LastErrorText(); !text.empty()) LogError(text);
}

// The jobs the killed program queued: only the printing account's, of this
// document, cancelled while acting as the account (never with the service's
// rights over every user's jobs).
void CancelJobsOfDocument(const std::string& printer, const std::string& document,
                          const PrintServices& services) {
  platform::PrintingAccount* account = platform::Current().printingAccount;
  printers::JobFilter filter;
  std::string error = "no printing account on this system";
  if (!account || !account->UserName(filter.owner, error)) {
    LogError("CancelPrintJob failed: " + LogValue(error));
    return;
  }
  filter.document = PathToUtf8(PathFromUtf8(document).filename());
  std::unique_ptr<platform::Impersonation> acting =
      account->Act(platform::ActingFor::kSpooler, error);
  if (!acting) {
    LogError("CancelPrintJob failed: " + LogValue(error));
    return;
  }
  try {
    std::string name = printer;
    services.cancelPrintJob(name, filter);
  } catch (const std::exception& e) {
    LogError("CancelPrintJob failed: " + LogValue(e.what()));
  }
}

// The graceful close, then the forced one. Always ends with the program
// counted as hung.
void EndHungProgram(platform::ChildProcess& program, const std::string& printer,
                    const std::string& document, const PrintServices& services) {
  platform::DesktopLauncher& launcher = *platform::Current().launcher;
  const PrintTimeLimits& limits = services.limits;
  LogInfo("Print process timeout, attempting graceful close.");

  bool closed = false;
  std::unique_ptr<platform::ChildProcess> helper = launcher.CreateProcessOnUserDesktop(
      BuildCloseHelperCommandLine(program.Id()), WindowMode::kHidden);
  if (helper) {
    if (helper->HasUsableHandle()) helper->Wait(Millis(limits.helperFinish));
    closed = program.Wait(Millis(limits.programAfterHelper)) == WaitOutcome::kExited;
    helper->Close();
  } else {
    LogLaunchFailure(launcher);
  }
  if (closed) return;

  LogInfo("Graceful close failed, forcing termination.");
  if (!program.Terminate(1)) {
    LogError("TerminateProcess failed: " + std::to_string(program.LastError()));
  }
  program.Wait(Millis(limits.afterTerminate));
  std::this_thread::sleep_for(limits.pauseBeforeCancel);
  // Whatever the killed program had already queued must not print later.
  CancelJobsOfDocument(printer, document, services);
}

}  // namespace

Mutex& PrintMutex() {
  static Mutex m;
  return m;
}

std::string BuildPrintCommandLine(const std::string& printer, const std::string& setting,
                                  const std::string& document) {
  // Each value goes in quotes with the splitter's own escapes, so that a
  // printer or path ending in a backslash cannot swallow its closing quote
  // and spill into the next argument. Without quotes and trailing
  // backslashes that is the plain "value".
  std::string line = "\"";
  line += kPrintProgram;
  line += "\" -silent -print-to ";
  line += platform::EncloseCommandLineArgument(WithoutQuotes(printer));
  line += " -print-settings ";
  line += platform::EncloseCommandLineArgument(setting);
  line += " ";
  line += platform::EncloseCommandLineArgument(WithoutQuotes(document));
  return line;
}

std::string BuildCloseHelperCommandLine(uint32_t processId) {
  return std::string("\"") + kCloseHelper + "\" " + std::to_string(processId);
}

PrintRun RunPrintProgram(const std::string& commandLine, const std::string& printer,
                         const std::string& document, const PrintServices& services) {
  platform::DesktopLauncher& launcher = *platform::Current().launcher;
  PrintRun run;
  run.process = launcher.CreateProcessOnUserDesktop(commandLine, WindowMode::kShown);
  if (!run.process) {
    run.launchError = launcher.LastError();
    LogLaunchFailure(launcher);
    run.outcome = LaunchOutcome::kNotStarted;
    return run;
  }
  if (!run.process->HasUsableHandle()) {
    run.outcome = LaunchOutcome::kNoUsableHandle;
    return run;
  }
  run.outcome = LaunchOutcome::kRan;
  switch (run.process->Wait(Millis(services.limits.programExit))) {
    case WaitOutcome::kExited: {
      uint32_t exitCode = 0;
      if (run.process->ExitCode(exitCode)) run.code = static_cast<int>(exitCode);
      break;
    }
    case WaitOutcome::kFailed:
      LogError("WaitForSingleObject error: " + std::to_string(run.process->LastError()));
      break;
    case WaitOutcome::kTimedOut:
      EndHungProgram(*run.process, printer, document, services);
      run.code = kProgramHung;
      break;
  }
  return run;
}

PrintOutcome ExecutePrint(PrintRequest&& request, const PrintServices& services) {
  if (IsRawExtension(request.extension)) return ExecuteRawPrint(std::move(request), services);
  const bool fitsToPrinter = request.fromBase64 && request.autoScale && request.extension == "pdf";

  // The PDF fit step runs while CacheMutex is still held so that the cache
  // cleaner cannot remove the stored document or its fitted copy meanwhile.
  if (fitsToPrinter) {
    request.documentPath = pdffit::FitDocumentForPrinter(request.documentPath, request.printerName);
  }

  if (request.cacheLock.owns_lock()) {
    platform::SetFileTimesToNow(request.documentPath);  // fresh for the cache cleaner
    request.cacheLock.unlock();
  }

  const std::string printer = WithoutQuotes(request.printerName);
  request.documentPath = WithoutQuotes(std::move(request.documentPath));

  int64_t fileSize = request.fileSize;
  {
    std::ifstream in(PathFromUtf8(request.documentPath), std::ios::binary | std::ios::ate);
    if (in.good()) {
      std::streamoff end = in.tellg();
      if (end >= 0) fileSize = static_cast<int64_t>(end);
    }
  }

  std::string setting = services.printSettings();
  if (fitsToPrinter && setting != "fit") {
    LogError("[Print] AUTO_SCALE_PDF_TO_PRINTER requires Sumatra fit; overriding print-settings=" +
             setting + " -> fit for this job.");
    setting = "fit";
  }
  const std::string commandLine = BuildPrintCommandLine(printer, setting, request.documentPath);
  LogInfo("[Print] Sumatra print-settings=" + setting +
          ", autoScalePdfToPrinter=" + (request.autoScale ? "1" : "0"));

  json reply;
  {
    MutexLock printLock(PrintMutex());
    PrintRun run = RunPrintProgram(commandLine, printer, request.documentPath, services);
    switch (run.outcome) {
      case LaunchOutcome::kNotStarted:
        LogError("CreateProcessOnUserDesktop failed: " + std::to_string(run.launchError));
        reply = {{"status", "error"}, {"message", "SumatraPDF.exe not found or failed to start"}};
        break;
      case LaunchOutcome::kNoUsableHandle:
        LogError("Invalid process handle after CreateProcess");
        reply = {{"status", "error"}, {"message", "Invalid process handle"}};
        run.process->Close();
        break;
      case LaunchOutcome::kRan: {
        store::PrintRecord record;
        record.md5sum = request.md5;
        record.requestTrackingNumber = request.trackingNumber;
        // A path document is recorded as the caller named it, not as the
        // copy that was printed.
        record.filePath = request.callerPath.empty() ? request.documentPath : request.callerPath;
        record.fileSize = fileSize;
        record.printerName = request.printerName;
        record.code = run.code;
        record.printStartTime = request.startTime;
        record.printEndTime = LocalTimestamp();
        store::RecordPrint(record);
        run.process->Close();
        if (run.code == 0) {
          reply = {{"status", "success"}, {"md5sum", request.md5}};
        } else {
          reply = {{"status", "error"}, {"message", "Print failed"}, {"code", run.code}};
        }
        break;
      }
    }
  }
  return {200, std::move(reply)};
}

}  // namespace tb::printing
