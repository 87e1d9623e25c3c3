#pragma once
// The spooler on Windows: winspool and GDI. No Windows header here, so that
// this can be included anywhere; the .cpp files include winspool_api.h.
#include <memory>
#include <string>

#include "platform/spooler.h"

namespace tb::platform {

// An open printer (a winspool HANDLE); ClosePrinter on destruction.
class WinPrinterHandle : public PrinterHandle {
 public:
  explicit WinPrinterHandle(void* handle) : handle_(handle) {}
  ~WinPrinterHandle() override;
  WinPrinterHandle(const WinPrinterHandle&) = delete;
  WinPrinterHandle& operator=(const WinPrinterHandle&) = delete;
  void* get() const { return handle_; }

 private:
  void* handle_;
};

class WinSpooler : public Spooler {
 public:
  EnumResult EnumPrinters(std::vector<PrinterEntry>& out) override;
  bool GetDefaultPrinter(std::string& name) override;
  std::unique_ptr<PrinterHandle> OpenPrinter(const std::string& name,
                                             PrinterAccess access) override;
  EnumResult EnumJobs(PrinterHandle& printer, uint32_t maxJobs,
                      std::vector<JobEntry>& out) override;
  bool SetJob(PrinterHandle& printer, uint32_t jobId, JobControl control) override;

  // Page metrics (win_spooler_metrics.cpp).
  int DocumentProperties(PrinterHandle& printer, const std::string& name, DevMode* out,
                         const DevMode* in, uint32_t mode) override;
  bool GetPrinterDevMode(PrinterHandle& printer, int level, DevMode& out) override;
  int PaperIds(const std::string& name, std::vector<int16_t>* out) override;
  int PaperSizes(const std::string& name, std::vector<PaperSizeTenthsMm>* out) override;
  int Resolutions(const std::string& name, std::vector<Resolution>* out) override;
  std::unique_ptr<DeviceContext> CreateDC(const std::string& name,
                                          const DevMode& devmode) override;

  // GetLastError() as it was right after the calling thread's last failed
  // call here (closing a handle on the way out may overwrite the live value).
  uint32_t LastError() override;

  // Shared with the metrics half of this class.
  static void SetLastError(uint32_t code);
  static void CaptureLastError();  // records ::GetLastError()
};

}  // namespace tb::platform
