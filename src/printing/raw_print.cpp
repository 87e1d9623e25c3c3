#include "printing/raw_print.h"

#include <array>
#include <memory>
#include <string>

#include "base/local_timestamp.h"
#include "base/logging.h"
#include "platform/file_ops.h"
#include "platform/platform.h"
#include "platform/raw_spooler.h"
#include "printing/print_execution.h"
#include "store/print_records.h"

namespace tb::printing {
namespace {

using nlohmann::json;

PrintOutcome Refusal(const char* message, int code) {
  return {200, json{{"status", "error"}, {"message", message}, {"code", code}}};
}

// Labels in a printer's language are small; the job is held in memory
// whole, so a larger document (a path may name up to 1 GiB) is refused.
constexpr int64_t kMaxRawDocument = 64ll << 20;

// The whole document, read through the same guarded open as the digest (no
// FIFO or device can hold the request). False when it cannot be read.
bool ReadDocument(const std::string& path, std::string& data) {
  std::string refusal;
  std::unique_ptr<platform::RegularFileReader> file = platform::OpenRegularFile(path, refusal);
  if (!file) {
    if (!refusal.empty()) LogError("[Print] raw document refused (" + refusal + "): " + LogValue(path));
    return false;
  }
  if (file->Size() > kMaxRawDocument) {
    LogError("[Print] raw document refused (larger than 64 MiB): " + LogValue(path));
    return false;
  }
  data.resize(static_cast<size_t>(file->Size() > 0 ? file->Size() : 0));
  size_t used = 0;
  for (;;) {
    if (used == data.size()) {
      if (data.size() >= static_cast<size_t>(kMaxRawDocument)) return false;  // grew since the open
      data.resize(data.size() + 65536);
    }
    const int64_t got = file->Read(data.data() + used, data.size() - used);
    if (got < 0) return false;
    if (got == 0) break;
    used += static_cast<size_t>(got);
  }
  data.resize(used);
  return true;
}

std::string FileName(const std::string& path) {
  const size_t cut = path.find_last_of("\\/");
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

}  // namespace

bool IsRawExtension(std::string_view extension) {
  static constexpr std::array<std::string_view, 7> kRaw = {"zpl",    "epl", "tspl", "dpl",
                                                           "escpos", "prn", "raw"};
  for (std::string_view raw : kRaw) {
    if (extension == raw) return true;
  }
  return false;
}

bool DrivesPrinterControlLanguage(std::string_view data) {
  // The universal exit language switches a printer to PJL wherever it comes.
  if (data.find("\x1b%-12345X") != std::string_view::npos) return true;
  size_t i = 0;
  while (i < data.size() && (data[i] == ' ' || data[i] == '\t' || data[i] == '\r' ||
                             data[i] == '\n' || data[i] == '\f' || data[i] == '\0')) {
    ++i;
  }
  return data.substr(i, 2) == "%!";
}

PrintOutcome ExecuteRawPrint(PrintRequest&& request, const PrintServices& services) {
  // Everything is judged before the spooler hears of the job.
  if (!services.rawPrintingAllowed || !services.rawPrintingAllowed(request.printerName)) {
    LogError("[Print] raw printing is not switched on for " + LogValue(request.printerName));
    return Refusal(kRawNotAllowedMessage, kRawNotAllowed);
  }
  std::string data;
  const bool read = ReadDocument(request.documentPath, data);
  if (request.cacheLock.owns_lock()) {
    platform::SetFileTimesToNow(request.documentPath);
    request.cacheLock.unlock();
  }
  if (!read) return Refusal("读取打印文件失败！", -2);
  if (DrivesPrinterControlLanguage(data)) {
    LogError("[Print] raw document refused: it would switch " + LogValue(request.printerName) +
             " to PJL or PostScript");
    return Refusal(kRawControlLanguageMessage, kRawControlLanguage);
  }

  platform::RawSpooler* spooler = platform::Current().rawSpooler;
  json reply;
  {
    MutexLock printLock(PrintMutex());
    platform::RawJobResult job;
    if (spooler) {
      // The job's title names the caller's file, not the cached copy.
      job = spooler->SendRawJob(request.printerName,
                                FileName(request.callerPath.empty() ? request.documentPath
                                                                    : request.callerPath),
                                data);
    } else {
      job.error = "raw printing is not available on this system";
    }
    store::PrintRecord record;
    record.md5sum = request.md5;
    record.requestTrackingNumber = request.trackingNumber;
    record.filePath = request.callerPath.empty() ? request.documentPath : request.callerPath;
    record.fileSize = static_cast<int64_t>(data.size());
    record.printerName = request.printerName;
    record.code = job.ok ? 0 : kRawSpoolerFailed;
    record.printStartTime = request.startTime;
    record.printEndTime = LocalTimestamp();
    store::RecordPrint(record);
    if (job.ok) {
      LogInfo("[Print] raw job " + std::to_string(job.jobId) + " to " +
              LogValue(request.printerName) + ", " + std::to_string(data.size()) + " bytes");
      reply = {{"status", "success"}, {"md5sum", request.md5}, {"jobId", job.jobId}};
    } else {
      LogError("[Print] raw job to " + LogValue(request.printerName) + " failed: " +
               LogValue(job.error));
      reply = {{"status", "error"}, {"message", "Print failed: " + job.error},
               {"code", kRawSpoolerFailed}};
    }
  }
  return {200, std::move(reply)};
}

}  // namespace tb::printing
