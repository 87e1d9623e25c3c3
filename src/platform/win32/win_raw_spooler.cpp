#include "platform/win32/win_raw_spooler.h"

#include <algorithm>
#include <limits>
#include <memory>

#include "platform/win32/wide_text.h"
#include "platform/win32/winspool_api.h"

namespace tb::platform {
namespace {

std::string Failure(const char* call, DWORD error) {
  return std::string(call) + " failed: " + std::to_string(static_cast<uint32_t>(error));
}

class WinRawSteps : public RawJobSteps {
 public:
  ~WinRawSteps() override {
    if (printer_) ::ClosePrinter(printer_);
  }

  bool Open(const std::string& printer, std::string& error) override {
    std::wstring wide = Utf8ToWide(printer);
    // Empty text would open the print server itself.
    if (wide.empty()) {
      error = Failure("OpenPrinterW", ERROR_INVALID_PRINTER_NAME);
      return false;
    }
    PRINTER_DEFAULTSW defaults{};
    defaults.DesiredAccess = PRINTER_ACCESS_USE;
    if (!::OpenPrinterW(wide.data(), &printer_, &defaults) || !printer_) {
      printer_ = nullptr;
      error = Failure("OpenPrinterW", ::GetLastError());
      return false;
    }
    return true;
  }

  bool Start(const std::string& title, uint32_t& jobId, std::string& error) override {
    std::wstring name = Utf8ToWide(title);
    wchar_t datatype[] = L"RAW";
    DOC_INFO_1W info{};
    info.pDocName = name.data();
    info.pOutputFile = nullptr;
    info.pDatatype = datatype;
    const DWORD id = ::StartDocPrinterW(printer_, 1, reinterpret_cast<LPBYTE>(&info));
    if (id == 0) {
      error = Failure("StartDocPrinterW", ::GetLastError());
      return false;
    }
    jobId = id;
    inDocument_ = true;
    if (!::StartPagePrinter(printer_)) {
      error = Failure("StartPagePrinter", ::GetLastError());
      return false;
    }
    return true;
  }

  bool Write(const char* data, size_t size, size_t& written, std::string& error) override {
    DWORD done = 0;
    const DWORD ask = static_cast<DWORD>(std::min<size_t>(size, std::numeric_limits<DWORD>::max()));
    if (!::WritePrinter(printer_, const_cast<char*>(data), ask, &done)) {
      error = Failure("WritePrinter", ::GetLastError());
      return false;
    }
    written = done;
    return true;
  }

  bool Finish(std::string& error) override {
    if (!::EndPagePrinter(printer_)) {
      error = Failure("EndPagePrinter", ::GetLastError());
      return false;
    }
    inDocument_ = false;
    if (!::EndDocPrinter(printer_)) {
      error = Failure("EndDocPrinter", ::GetLastError());
      return false;
    }
    return true;
  }

  void Cancel(uint32_t jobId) override {
    if (!printer_) return;
    if (jobId != 0) ::SetJobW(printer_, jobId, 0, nullptr, JOB_CONTROL_DELETE);
    // Ending the document of a deleted job discards what was spooled.
    if (inDocument_) ::EndDocPrinter(printer_);
    inDocument_ = false;
  }

 private:
  HANDLE printer_ = nullptr;
  bool inDocument_ = false;
};

}  // namespace

RawJobResult WinRawSpooler::SendRawJob(const std::string& printer, const std::string& title,
                                       std::string_view data) {
  // In the service the job must be the user's, not SYSTEM's: the spooler
  // takes its owner from the thread's token.
  std::string error;
  std::unique_ptr<Impersonation> asUser = account_.Act(ActingFor::kSpooler, error);
  if (!asUser) {
    RawJobResult result;
    result.error = "no printing account: " + error;
    return result;
  }
  WinRawSteps steps;  // closed before the impersonation ends
  return RunRawJob(steps, printer, title, data);
}

}  // namespace tb::platform
