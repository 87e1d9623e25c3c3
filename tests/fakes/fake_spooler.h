#pragma once
// A scriptable spooler for unit tests: printers, the system default, job
// queues, failures and call counters; DEVMODEs, device capabilities and
// device-context measures for the page metrics. Script the public fields
// before the code under test runs; read the counters afterwards.
#include <atomic>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/spooler.h"

namespace tbtest {

class FakeSpooler : public tb::platform::Spooler {
 public:
  using PrinterEntry = tb::platform::PrinterEntry;
  using JobEntry = tb::platform::JobEntry;
  using PrinterAccess = tb::platform::PrinterAccess;
  using JobControl = tb::platform::JobControl;
  using DevMode = tb::platform::DevMode;

  // ---- printers ----
  std::vector<PrinterEntry> printers;
  bool enumPrintersFails = false;
  // The system default; nullopt makes GetDefaultPrinter fail.
  std::optional<std::string> defaultPrinter;

  // ---- jobs ----
  // Queues by printer name. A printer can be opened when it is listed in
  // `printers` or has a queue here, unless scripted to fail below.
  std::map<std::string, std::deque<JobEntry>> jobs;
  std::set<std::string> openFails;           // these names never open
  std::set<PrinterAccess> accessDenied;      // these access rights never open
  bool enumJobsFails = false;
  std::set<uint32_t> undeletableJobs;        // delete refused (the job stays)
  // What LastError() reports after any scripted failure.
  uint32_t failureCode = 1801;

  // ---- page metrics ----
  // DocumentProperties: the driver's DEVMODE per printer (absent = failure).
  std::map<std::string, DevMode> documentDefaults;
  // GetPrinterDevMode: per (printer, level 2 / 8 / 9).
  std::map<std::pair<std::string, int>, DevMode> printerDevModes;
  std::map<std::string, std::vector<int16_t>> paperIds;
  std::map<std::string, std::vector<tb::platform::PaperSizeTenthsMm>> paperSizes;
  std::map<std::string, std::vector<tb::platform::Resolution>> resolutions;
  // CreateDC succeeds for the printers listed here, answering GetDeviceCaps
  // from the map (unknown indexes give 0).
  std::map<std::string, std::map<int, int>> deviceCaps;

  // ---- what happened ----
  std::atomic<int> enumPrintersCalls{0};
  std::atomic<int> getDefaultCalls{0};
  std::atomic<int> openHandles{0};  // handles not yet closed
  struct OpenCall {
    std::string name;
    PrinterAccess access;
  };
  struct SetJobCall {
    std::string printer;
    uint32_t jobId;
    JobControl control;
  };
  // Guarded by mutex(); read them once the code under test has returned.
  std::vector<OpenCall> openCalls;
  std::vector<uint32_t> enumJobsLimits;  // maxJobs of every EnumJobs call
  std::vector<SetJobCall> setJobCalls;
  std::vector<std::pair<int, uint32_t>> documentPropertiesCalls;  // (result, mode)
  std::vector<DevMode> documentPropertiesInputs;                  // DM_IN_BUFFER contents
  std::vector<std::pair<std::string, DevMode>> createDcCalls;

  std::mutex& mutex() { return mutex_; }

  // Spooler
  tb::platform::EnumResult EnumPrinters(std::vector<PrinterEntry>& out) override;
  bool GetDefaultPrinter(std::string& name) override;
  std::unique_ptr<tb::platform::PrinterHandle> OpenPrinter(const std::string& name,
                                                           PrinterAccess access) override;
  tb::platform::EnumResult EnumJobs(tb::platform::PrinterHandle& printer, uint32_t maxJobs,
                                    std::vector<JobEntry>& out) override;
  bool SetJob(tb::platform::PrinterHandle& printer, uint32_t jobId, JobControl control) override;
  int DocumentProperties(tb::platform::PrinterHandle& printer, const std::string& name,
                         DevMode* out, const DevMode* in, uint32_t mode) override;
  bool GetPrinterDevMode(tb::platform::PrinterHandle& printer, int level, DevMode& out) override;
  int PaperIds(const std::string& name, std::vector<int16_t>* out) override;
  int PaperSizes(const std::string& name,
                 std::vector<tb::platform::PaperSizeTenthsMm>* out) override;
  int Resolutions(const std::string& name, std::vector<tb::platform::Resolution>* out) override;
  std::unique_ptr<tb::platform::DeviceContext> CreateDC(const std::string& name,
                                                        const DevMode& devmode) override;
  uint32_t LastError() override;

  // The printer a handle from this fake was opened for.
  static const std::string& HandleName(const tb::platform::PrinterHandle& printer);

 private:
  bool Fail();  // records failureCode and returns false

  std::mutex mutex_;
  uint32_t lastError_ = 0;
};

// Convenience builders.
inline tb::platform::PrinterEntry Printer(std::string name, uint32_t status = 0) {
  tb::platform::PrinterEntry e;
  e.name = std::move(name);
  e.status = status;
  return e;
}

inline tb::platform::JobEntry Job(uint32_t id, uint32_t status = 0,
                                  std::optional<std::string> document = "doc.pdf",
                                  std::optional<std::string> user = "operator") {
  tb::platform::JobEntry j;
  j.jobId = id;
  j.status = status;
  j.document = std::move(document);
  j.userName = std::move(user);
  return j;
}

}  // namespace tbtest
