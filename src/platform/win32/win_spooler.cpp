#include "platform/win32/win_spooler.h"

#include "platform/sized_fetch.h"
#include "platform/win32/wide_text.h"
#include "platform/win32/winspool_api.h"

#include <vector>

namespace tb::platform {
namespace {

thread_local uint32_t t_lastError = 0;

// Spooler texts are zero-terminated UTF-16; null stays absent.
std::optional<std::string> Text(const wchar_t* text) {
  if (!text) return std::nullopt;
  return WideToUtf8(std::wstring_view(text));
}

// One enumeration into `buffer`; `returned` gets the number of entries.
// `enumerate(data, size, &needed, &returned)` makes the spooler call. A failed
// call (the spooler stopped, for example) is not the same answer as an empty
// list, and its error is kept for LastError().
template <typename Enumerate>
EnumResult FetchEntries(std::vector<unsigned char>& buffer, DWORD& returned,
                        Enumerate&& enumerate) {
  uint32_t error = 0;
  const FetchResult r = FetchGrowing(
      buffer,
      [&](unsigned char* data, uint32_t size, uint32_t& needed, uint32_t& e) {
        DWORD want = 0;
        returned = 0;
        if (enumerate(data, static_cast<DWORD>(size), &want, &returned)) return true;
        e = static_cast<uint32_t>(::GetLastError());
        needed = want;
        return false;
      },
      error);
  if (r == FetchResult::kFailed) {
    t_lastError = error;
    return EnumResult::kFailed;
  }
  if (r == FetchResult::kEmpty || returned == 0) return EnumResult::kEmpty;
  return EnumResult::kOk;
}

}  // namespace

WinPrinterHandle::~WinPrinterHandle() {
  if (handle_) ::ClosePrinter(static_cast<HANDLE>(handle_));
}

void WinSpooler::SetLastError(uint32_t code) { t_lastError = code; }

void WinSpooler::CaptureLastError() { t_lastError = static_cast<uint32_t>(::GetLastError()); }

uint32_t WinSpooler::LastError() { return t_lastError; }

EnumResult WinSpooler::EnumPrinters(std::vector<PrinterEntry>& out) {
  out.clear();
  constexpr DWORD kFlags = PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS;  // 6
  std::vector<unsigned char> buffer;
  DWORD returned = 0;
  const EnumResult r = FetchEntries(
      buffer, returned, [&](unsigned char* data, DWORD size, DWORD* want, DWORD* count) {
        return ::EnumPrintersW(kFlags, nullptr, 2, data, size, want, count) != FALSE;
      });
  if (r != EnumResult::kOk) return r;
  const auto* info = reinterpret_cast<const PRINTER_INFO_2W*>(buffer.data());
  for (DWORD i = 0; i < returned; ++i) {
    PrinterEntry entry;
    entry.name = Text(info[i].pPrinterName);
    entry.status = info[i].Status;
    out.push_back(std::move(entry));
  }
  return EnumResult::kOk;
}

bool WinSpooler::GetDefaultPrinter(std::string& name) {
  name.clear();
  DWORD length = 0;
  ::GetDefaultPrinterW(nullptr, &length);
  if (length == 0) {
    CaptureLastError();
    return false;
  }
  std::wstring buffer(length, L'\0');
  if (!::GetDefaultPrinterW(buffer.data(), &length)) {
    CaptureLastError();
    return false;
  }
  name = WideToUtf8(buffer.c_str());  // up to the terminating zero
  return true;
}

std::unique_ptr<PrinterHandle> WinSpooler::OpenPrinter(const std::string& name,
                                                       PrinterAccess access) {
  std::wstring wide = Utf8ToWide(name);
  // Text that does not convert must not become the empty name, which opens
  // the print server itself.
  if (wide.empty() && !name.empty()) {
    SetLastError(ERROR_INVALID_PRINTER_NAME);
    return nullptr;
  }
  HANDLE handle = nullptr;
  BOOL ok;
  if (access == PrinterAccess::kNoDefaults) {
    ok = ::OpenPrinterW(wide.data(), &handle, nullptr);
  } else {
    PRINTER_DEFAULTSW defaults{};
    defaults.DesiredAccess =
        access == PrinterAccess::kAdminister ? PRINTER_ACCESS_ADMINISTER : PRINTER_ACCESS_USE;
    ok = ::OpenPrinterW(wide.data(), &handle, &defaults);
  }
  if (!ok || !handle) {
    CaptureLastError();
    return nullptr;
  }
  return std::make_unique<WinPrinterHandle>(handle);
}

EnumResult WinSpooler::EnumJobs(PrinterHandle& printer, uint32_t maxJobs,
                                std::vector<JobEntry>& out) {
  out.clear();
  HANDLE handle = static_cast<HANDLE>(static_cast<WinPrinterHandle&>(printer).get());
  std::vector<unsigned char> buffer;
  DWORD returned = 0;
  // A queue that grows between the size query and the fetch is asked again:
  // the cancel after a killed print must still find that print's job.
  const EnumResult r = FetchEntries(
      buffer, returned, [&](unsigned char* data, DWORD size, DWORD* want, DWORD* count) {
        return ::EnumJobsW(handle, 0, maxJobs, 1, data, size, want, count) != FALSE;
      });
  if (r != EnumResult::kOk) return r;
  const auto* info = reinterpret_cast<const JOB_INFO_1W*>(buffer.data());
  for (DWORD i = 0; i < returned; ++i) {
    JobEntry job;
    job.jobId = info[i].JobId;
    job.document = Text(info[i].pDocument);
    job.userName = Text(info[i].pUserName);
    job.status = info[i].Status;
    job.totalPages = info[i].TotalPages;
    job.pagesPrinted = info[i].PagesPrinted;
    out.push_back(std::move(job));
  }
  return EnumResult::kOk;
}

bool WinSpooler::SetJob(PrinterHandle& printer, uint32_t jobId, JobControl control) {
  HANDLE handle = static_cast<HANDLE>(static_cast<WinPrinterHandle&>(printer).get());
  if (!::SetJobW(handle, jobId, 0, nullptr, static_cast<DWORD>(control))) {
    CaptureLastError();
    return false;
  }
  return true;
}

}  // namespace tb::platform
