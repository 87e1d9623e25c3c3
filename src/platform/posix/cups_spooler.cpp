#include "platform/posix/cups_spooler.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <iterator>
#include <string_view>

namespace tb::platform {
namespace {

thread_local uint32_t t_lastError = 0;

// Windows spooler bits the rest of the daemon reads.
constexpr uint32_t kPrinterPaused = 0x1;
constexpr uint32_t kPrinterError = 0x2;
constexpr uint32_t kPrinterPaperJam = 0x8;
constexpr uint32_t kPrinterPaperOut = 0x10;
constexpr uint32_t kPrinterOffline = 0x80;
constexpr uint32_t kPrinterIoActive = 0x100;
constexpr uint32_t kPrinterPrinting = 0x400;

constexpr uint32_t kJobPaused = 0x1;
constexpr uint32_t kJobError = 0x2;
constexpr uint32_t kJobDeleting = 0x4;
constexpr uint32_t kJobPrinting = 0x10;
constexpr uint32_t kJobPrinted = 0x80;

bool EndsWith(std::string_view s, std::string_view suffix) {
  return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

// "media-jam-error" -> "media-jam"; keywords without a severity stay as they are.
std::string_view BaseReason(std::string_view reason) {
  for (std::string_view suffix : {"-error", "-warning", "-report"}) {
    if (EndsWith(reason, suffix)) return reason.substr(0, reason.size() - suffix.size());
  }
  return reason;
}

std::vector<std::string> Strings(ipp_attribute_t* attr) {
  std::vector<std::string> out;
  const int count = ippGetCount(attr);
  for (int i = 0; i < count; ++i) {
    const char* s = ippGetString(attr, i, nullptr);
    if (s) out.emplace_back(s);
  }
  return out;
}

void AddRequestingUser(ipp_t* request) {
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr,
               cupsUser());
}

// Sends the request on `http`; null (LastError set) unless the scheduler
// answered with a success status.
IppMessage Send(http_t* http, ipp_t* request, const char* resource = "/") {
  IppMessage response(cupsDoRequest(http, request, resource));  // frees the request
  if (!response || !CupsSpooler::IppOk(ippGetStatusCode(response.get()))) {
    CupsSpooler::SetLastErrorFromIpp();
    return nullptr;
  }
  return response;
}

}  // namespace

uint32_t CupsPrinterStatusBits(int printerState, const std::vector<std::string>& reasons) {
  uint32_t bits = 0;
  if (printerState == IPP_PSTATE_STOPPED) bits |= kPrinterPaused;
  // The text "Printing " belongs to the I/O-active bit; 0x400 is the spooler's
  // own printing bit, set too so that the word reads like a busy Windows queue.
  if (printerState == IPP_PSTATE_PROCESSING) bits |= kPrinterPrinting | kPrinterIoActive;
  for (const std::string& reason : reasons) {
    std::string_view base = BaseReason(reason);
    if (base == "none") continue;
    if (base == "paused") {
      bits |= kPrinterPaused;
    } else if (base == "media-jam") {
      bits |= kPrinterPaperJam;
    } else if (base == "media-empty" || base == "media-needed") {
      bits |= kPrinterPaperOut;
    } else if (base == "offline" || base == "connecting-to-device") {
      bits |= kPrinterOffline;
    } else if (EndsWith(reason, "-error")) {
      bits |= kPrinterError;
    }
  }
  return bits;
}

uint32_t CupsJobStatusBits(int jobState, const std::vector<std::string>& reasons) {
  uint32_t bits = 0;
  switch (jobState) {
    case IPP_JSTATE_HELD:
    case IPP_JSTATE_STOPPED:
      bits |= kJobPaused;
      break;
    case IPP_JSTATE_PROCESSING:
      bits |= kJobPrinting;
      break;
    case IPP_JSTATE_CANCELED:
      bits |= kJobDeleting;
      break;
    case IPP_JSTATE_ABORTED:
      bits |= kJobError;
      break;
    case IPP_JSTATE_COMPLETED:
      bits |= kJobPrinted;
      break;
    default:  // pending
      break;
  }
  // A cancel in progress: the job is still processing until the filters stop.
  for (const std::string& reason : reasons) {
    if (reason == "processing-to-stop-point") bits |= kJobDeleting;
  }
  return bits;
}

void CupsSpooler::SetLastError(uint32_t code) { t_lastError = code; }

void CupsSpooler::SetLastErrorFromIpp() {
  SetLastError(static_cast<uint32_t>(cupsLastError()));
}

uint32_t CupsSpooler::LastError() { return t_lastError; }

CupsConnection CupsSpooler::ConnectLocal() {
  errno = 0;
  // cupsServer() is the scheduler's domain socket when there is one, so this
  // never leaves the machine unless the administrator pointed it elsewhere.
  CupsConnection http(httpConnect2(cupsServer(), ippPort(), nullptr, AF_UNSPEC,
                                   cupsEncryption(), 1, 5000, nullptr));
  if (!http) SetLastError(errno != 0 ? static_cast<uint32_t>(errno) : ECONNREFUSED);
  return http;
}

std::string CupsSpooler::PrinterUri(const std::string& name) {
  char uri[HTTP_MAX_URI];
  httpAssembleURIf(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr, "localhost", 0,
                   "/printers/%s", name.c_str());
  return uri;
}

EnumResult CupsSpooler::EnumPrinters(std::vector<PrinterEntry>& out) {
  out.clear();
  CupsConnection http = ConnectLocal();
  if (!http) return EnumResult::kFailed;

  static const char* const kAttrs[] = {"printer-name", "printer-state", "printer-state-reasons"};
  ipp_t* request = ippNewRequest(IPP_OP_CUPS_GET_PRINTERS);
  ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes",
                static_cast<int>(std::size(kAttrs)), nullptr, kAttrs);
  AddRequestingUser(request);
  IppMessage response(cupsDoRequest(http.get(), request, "/"));
  if (!response) {
    SetLastErrorFromIpp();
    return EnumResult::kFailed;
  }
  const ipp_status_t status = ippGetStatusCode(response.get());
  // The scheduler answers "not found" when no queue exists at all.
  if (status == IPP_STATUS_ERROR_NOT_FOUND) return EnumResult::kEmpty;
  if (!IppOk(status)) {
    SetLastError(static_cast<uint32_t>(status));
    return EnumResult::kFailed;
  }

  ipp_attribute_t* attr = ippFirstAttribute(response.get());
  while (attr) {
    while (attr && ippGetGroupTag(attr) != IPP_TAG_PRINTER) attr = ippNextAttribute(response.get());
    if (!attr) break;
    PrinterEntry entry;
    int state = IPP_PSTATE_IDLE;
    std::vector<std::string> reasons;
    for (; attr && ippGetGroupTag(attr) == IPP_TAG_PRINTER; attr = ippNextAttribute(response.get())) {
      const char* attrName = ippGetName(attr);
      if (!attrName) continue;
      std::string_view n(attrName);
      if (n == "printer-name" && ippGetValueTag(attr) == IPP_TAG_NAME) {
        if (const char* s = ippGetString(attr, 0, nullptr)) entry.name = s;
      } else if (n == "printer-state" && ippGetValueTag(attr) == IPP_TAG_ENUM) {
        state = ippGetInteger(attr, 0);
      } else if (n == "printer-state-reasons") {
        reasons = Strings(attr);
      }
    }
    entry.status = CupsPrinterStatusBits(state, reasons);
    out.push_back(std::move(entry));
  }
  return out.empty() ? EnumResult::kEmpty : EnumResult::kOk;
}

bool CupsSpooler::GetDefaultPrinter(std::string& name) {
  name.clear();
  CupsConnection http = ConnectLocal();
  if (!http) return false;
  // Follows LPDEST, PRINTER, the lpoptions "Default" line, then the server.
  cups_dest_t* dest = cupsGetNamedDest(http.get(), nullptr, nullptr);
  if (!dest) {
    ipp_status_t status = cupsLastError();
    SetLastError(IppOk(status) ? static_cast<uint32_t>(IPP_STATUS_ERROR_NOT_FOUND)
                               : static_cast<uint32_t>(status));
    return false;
  }
  name = dest->name ? dest->name : "";
  cupsFreeDests(1, dest);
  if (name.empty()) {
    SetLastError(IPP_STATUS_ERROR_NOT_FOUND);
    return false;
  }
  return true;
}

std::unique_ptr<PrinterHandle> CupsSpooler::OpenPrinter(const std::string& name,
                                                        PrinterAccess /*access*/) {
  // CUPS has no access rights on a queue handle: the scheduler checks each
  // operation against its policy when it is asked (a cancel may be refused).
  if (name.empty() || name.find('/') != std::string::npos) {
    SetLastError(IPP_STATUS_ERROR_NOT_FOUND);
    return nullptr;
  }
  CupsConnection http = ConnectLocal();
  if (!http) return nullptr;

  static const char* const kAttrs[] = {"printer-name"};
  ipp_t* request = ippNewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES);
  const std::string uri = PrinterUri(name);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri.c_str());
  ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes",
                static_cast<int>(std::size(kAttrs)), nullptr, kAttrs);
  AddRequestingUser(request);
  if (!Send(http.get(), request)) return nullptr;
  return std::make_unique<CupsPrinterHandle>(name, std::move(http));
}

EnumResult CupsSpooler::EnumJobs(PrinterHandle& printer, uint32_t maxJobs,
                                 std::vector<JobEntry>& out) {
  out.clear();
  auto& handle = static_cast<CupsPrinterHandle&>(printer);

  // The same Get-Jobs request cupsGetJobs2 sends for active jobs, asked
  // directly so that the count limit and the page counters come along and a
  // job without a name or user stays distinguishable from one named "untitled".
  static const char* const kAttrs[] = {
      "job-id",          "job-name",         "job-originating-user-name",
      "job-state",       "job-state-reasons", "job-impressions",
      "job-impressions-completed", "job-media-sheets-completed"};
  ipp_t* request = ippNewRequest(IPP_OP_GET_JOBS);
  const std::string uri = PrinterUri(handle.name());
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri.c_str());
  AddRequestingUser(request);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "which-jobs", nullptr,
               "not-completed");
  ippAddBoolean(request, IPP_TAG_OPERATION, "my-jobs", 0);
  if (maxJobs > 0 && maxJobs <= static_cast<uint32_t>(INT_MAX)) {
    ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "limit",
                  static_cast<int>(maxJobs));
  }
  ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes",
                static_cast<int>(std::size(kAttrs)), nullptr, kAttrs);
  IppMessage response = Send(handle.http(), request);
  if (!response) return EnumResult::kFailed;

  ipp_attribute_t* attr = ippFirstAttribute(response.get());
  while (attr) {
    while (attr && ippGetGroupTag(attr) != IPP_TAG_JOB) attr = ippNextAttribute(response.get());
    if (!attr) break;
    JobEntry job;
    int state = IPP_JSTATE_PENDING;
    std::vector<std::string> reasons;
    int sheetsCompleted = -1, impressionsCompleted = -1;
    for (; attr && ippGetGroupTag(attr) == IPP_TAG_JOB; attr = ippNextAttribute(response.get())) {
      const char* attrName = ippGetName(attr);
      if (!attrName) continue;
      std::string_view n(attrName);
      const ipp_tag_t tag = ippGetValueTag(attr);
      const bool isInt = tag == IPP_TAG_INTEGER || tag == IPP_TAG_ENUM;
      if (n == "job-id" && isInt) {
        job.jobId = static_cast<uint32_t>(ippGetInteger(attr, 0));
      } else if (n == "job-name" && (tag == IPP_TAG_NAME || tag == IPP_TAG_NAMELANG)) {
        if (const char* s = ippGetString(attr, 0, nullptr)) job.document = s;
      } else if (n == "job-originating-user-name" &&
                 (tag == IPP_TAG_NAME || tag == IPP_TAG_NAMELANG)) {
        if (const char* s = ippGetString(attr, 0, nullptr)) job.userName = s;
      } else if (n == "job-state" && isInt) {
        state = ippGetInteger(attr, 0);
      } else if (n == "job-state-reasons") {
        reasons = Strings(attr);
      } else if (n == "job-impressions" && isInt) {
        job.totalPages = static_cast<uint32_t>(std::max(0, ippGetInteger(attr, 0)));
      } else if (n == "job-impressions-completed" && isInt) {
        impressionsCompleted = ippGetInteger(attr, 0);
      } else if (n == "job-media-sheets-completed" && isInt) {
        sheetsCompleted = ippGetInteger(attr, 0);
      }
    }
    const int printed = impressionsCompleted >= 0 ? impressionsCompleted : sheetsCompleted;
    job.pagesPrinted = static_cast<uint32_t>(std::max(0, printed));
    job.status = CupsJobStatusBits(state, reasons);
    out.push_back(std::move(job));
    if (maxJobs > 0 && out.size() >= maxJobs) break;
  }
  return out.empty() ? EnumResult::kEmpty : EnumResult::kOk;
}

bool CupsSpooler::SetJob(PrinterHandle& printer, uint32_t jobId, JobControl control) {
  auto& handle = static_cast<CupsPrinterHandle&>(printer);
  if (jobId == 0 || jobId > static_cast<uint32_t>(INT_MAX)) {
    SetLastError(IPP_STATUS_ERROR_NOT_FOUND);
    return false;
  }
  if (control == JobControl::kDelete) {
    ipp_status_t status =
        cupsCancelJob2(handle.http(), handle.name().c_str(), static_cast<int>(jobId), 0);
    if (!IppOk(status)) {
      SetLastError(static_cast<uint32_t>(status));
      return false;
    }
    return true;
  }
  // Pause holds the job. The scheduler refuses to hold a job that is already
  // printing; the caller deletes it next either way.
  ipp_t* request = ippNewRequest(IPP_OP_HOLD_JOB);
  const std::string uri = PrinterUri(handle.name());
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri.c_str());
  ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "job-id", static_cast<int>(jobId));
  AddRequestingUser(request);
  return Send(handle.http(), request, "/jobs/") != nullptr;
}

}  // namespace tb::platform
