#pragma once
// The spooler on Linux: the local CUPS scheduler, asked over IPP.
//
// Only the local scheduler is asked (CUPS-Get-Printers on its own socket):
// destinations that exist only through network discovery are not listed, so a
// list never waits for a discovery round.
//
// Error numbers in LastError(): errno values (below 1024) when the scheduler
// cannot be reached, IPP status codes (1024 and above, e.g. 1030 for
// client-error-not-found) when it answered with a failure.
#include <cups/cups.h>

#include <memory>
#include <string>

#include "platform/spooler.h"

namespace tb::platform {

struct HttpCloser {
  void operator()(http_t* http) const { httpClose(http); }
};
using CupsConnection = std::unique_ptr<http_t, HttpCloser>;

struct IppDeleter {
  void operator()(ipp_t* ipp) const { ippDelete(ipp); }
};
using IppMessage = std::unique_ptr<ipp_t, IppDeleter>;

// An "open" queue: the scheduler confirmed it exists. It keeps its own
// connection so that listing and cancelling many jobs reuse one socket.
class CupsPrinterHandle : public PrinterHandle {
 public:
  CupsPrinterHandle(std::string name, CupsConnection http)
      : name_(std::move(name)), http_(std::move(http)) {}
  const std::string& name() const { return name_; }
  http_t* http() const { return http_.get(); }

 private:
  std::string name_;
  CupsConnection http_;
};

class CupsSpooler : public Spooler {
 public:
  EnumResult EnumPrinters(std::vector<PrinterEntry>& out) override;
  bool GetDefaultPrinter(std::string& name) override;
  std::unique_ptr<PrinterHandle> OpenPrinter(const std::string& name,
                                             PrinterAccess access) override;
  EnumResult EnumJobs(PrinterHandle& printer, uint32_t maxJobs,
                      std::vector<JobEntry>& out) override;
  bool SetJob(PrinterHandle& printer, uint32_t jobId, JobControl control) override;

  // Page metrics of a queue (cups_spooler_metrics.cpp).
  int DocumentProperties(PrinterHandle& printer, const std::string& name, DevMode* out,
                         const DevMode* in, uint32_t mode) override;
  bool GetPrinterDevMode(PrinterHandle& printer, int level, DevMode& out) override;
  int PaperIds(const std::string& name, std::vector<int16_t>* out) override;
  int PaperSizes(const std::string& name, std::vector<PaperSizeTenthsMm>* out) override;
  int Resolutions(const std::string& name, std::vector<Resolution>* out) override;
  std::unique_ptr<DeviceContext> CreateDC(const std::string& name,
                                          const DevMode& devmode) override;

  uint32_t LastError() override;

  // Shared with the metrics half of this class.
  // A new connection to the local scheduler; null (LastError set) on failure.
  static CupsConnection ConnectLocal();
  static void SetLastError(uint32_t code);
  // Records cupsLastError() of the calling thread as the reason.
  static void SetLastErrorFromIpp();
  // "ipp://localhost/printers/<name>", the name percent-encoded.
  static std::string PrinterUri(const std::string& name);
  // True when the IPP status is a success (including the "with warnings" forms).
  static bool IppOk(ipp_status_t status) { return status < IPP_STATUS_REDIRECTION_OTHER_SITE; }
};

// The Windows-style status words derived from CUPS, exposed for tests.
// printer-state 3 idle, 4 processing, 5 stopped; reasons as keywords.
uint32_t CupsPrinterStatusBits(int printerState, const std::vector<std::string>& reasons);
// job-state 3..9 and its job-state-reasons.
uint32_t CupsJobStatusBits(int jobState, const std::vector<std::string>& reasons);

}  // namespace tb::platform
