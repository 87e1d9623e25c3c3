#include "printers/job_queue.h"

#include <cctype>
#include <memory>
#include <stdexcept>
#include <vector>

#include "base/text.h"
#include "platform/platform.h"
#include "platform/spooler.h"
#include "printers/printer_list.h"

namespace tb::printers {
namespace {

using nlohmann::json;
using platform::EnumResult;
using platform::JobControl;
using platform::PrinterAccess;

constexpr uint32_t kUnknownPrinterError = 1801;  // ERROR_INVALID_PRINTER_NAME

struct JobBitText {
  uint32_t bit;
  const char* text;
};

// Order matters: a job that prints with an error bit still reads "Printing".
constexpr JobBitText kJobBits[] = {
    {0x10, "Printing"}, {0x1, "Paused"},  {0x2, "Error"},
    {0x4, "Deleting"},  {0x20, "Offline"}, {0x40, "Paper Out"},
};

json JobEntryJson(const platform::JobEntry& job, const std::string& printerName) {
  return json{
      {"jobId", job.jobId},
      {"document", job.document ? StrictUtf8(*job.document) : std::string("Untitled")},
      {"submitter", job.userName ? StrictUtf8(*job.userName) : std::string("Unknown")},
      {"printerName", printerName},
      {"statusInt", job.status},
      {"totalPages", job.totalPages},
      {"pagesPrinted", job.pagesPrinted},
      {"statusText", JobStatusText(job.status)},
  };
}

platform::Spooler& SpoolerOrThrow() {
  platform::Spooler* spooler = platform::Current().spooler;
  if (!spooler) throw std::runtime_error("no print spooler on this system");
  return *spooler;
}

bool SameOwner(const std::string& a, const std::string& b) {
#ifdef _WIN32
  // Windows account names compare without regard to case.
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
#else
  return a == b;
#endif
}

bool Takes(const JobFilter& filter, const platform::JobEntry& job) {
  if (filter.owner.empty() || !job.userName || !SameOwner(*job.userName, filter.owner)) {
    return false;
  }
  if (filter.document.empty()) return true;
  if (!job.document) return false;
  const std::string& name = *job.document;
  if (name == filter.document) return true;
  if (name.size() <= filter.document.size()) return false;
  const char before = name[name.size() - filter.document.size() - 1];
  return (before == '/' || before == '\\') &&
         name.compare(name.size() - filter.document.size(), std::string::npos, filter.document) == 0;
}

}  // namespace

std::string JobStatusText(uint32_t status) {
  for (const JobBitText& b : kJobBits) {
    if (status & b.bit) return b.text;
  }
  return "Pending";
}

json ListPrintJobs(const std::string& printerName) {
  json jobs = json::array();
  platform::Spooler* spooler = platform::Current().spooler;
  if (!spooler) return jobs;
  if (IsUnlistedRemotePrinter(printerName)) return jobs;  // as if it could not be opened
  std::unique_ptr<platform::PrinterHandle> printer =
      spooler->OpenPrinter(printerName, PrinterAccess::kNoDefaults);
  if (!printer) return jobs;
  std::vector<platform::JobEntry> entries;
  if (spooler->EnumJobs(*printer, kListJobsMax, entries) != EnumResult::kOk) return jobs;
  for (const platform::JobEntry& job : entries) jobs.push_back(JobEntryJson(job, printerName));
  return jobs;
}

int CancelPrintJob(std::string& printerName, const JobFilter& filter) {
  if (printerName.empty()) printerName = ResolveDefaultPrinter();
  SpoolerOrThrow();
  if (IsUnlistedRemotePrinter(printerName)) {
    throw std::runtime_error("OpenPrinter failed. Error: " + std::to_string(kUnknownPrinterError));
  }
  return CancelOwnJobs(printerName, filter);
}

int CancelOwnJobs(const std::string& printerName, const JobFilter& filter) {
  platform::Spooler& spooler = SpoolerOrThrow();

  std::unique_ptr<platform::PrinterHandle> printer =
      spooler.OpenPrinter(printerName, PrinterAccess::kAdminister);
  if (!printer) printer = spooler.OpenPrinter(printerName, PrinterAccess::kUse);
  if (!printer) {
    throw std::runtime_error("OpenPrinter failed. Error: " + std::to_string(spooler.LastError()));
  }

  std::vector<platform::JobEntry> jobs;
  switch (spooler.EnumJobs(*printer, kCancelJobsMax, jobs)) {
    case EnumResult::kEmpty:
      return 0;
    case EnumResult::kFailed:
      throw std::runtime_error("EnumJobs failed. Error: " + std::to_string(spooler.LastError()));
    case EnumResult::kOk:
      break;
  }
  int deleted = 0;
  for (const platform::JobEntry& job : jobs) {
    if (!Takes(filter, job)) continue;
    spooler.SetJob(*printer, job.jobId, JobControl::kPause);  // result deliberately unused
    if (spooler.SetJob(*printer, job.jobId, JobControl::kDelete)) ++deleted;
  }
  return deleted;
}

}  // namespace tb::printers
