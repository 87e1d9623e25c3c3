#pragma once
// The print spooler and printer driver, in the daemon's terms. The Windows
// implementation calls winspool and GDI; the Linux one asks CUPS; tests use a
// scriptable fake. Every call that fails leaves its reason in LastError().
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/devmode.h"

namespace tb::platform {

// One installed printer: its name and the spooler's status word
// (PRINTER_STATUS_* bits: 0x1 paused, 0x2 error, 0x8 paper jam, ...).
struct PrinterEntry {
  std::optional<std::string> name;  // UTF-8; absent when the spooler gives none
  uint32_t status = 0;
};

// One queued job (JOB_INFO_1). Status bits: 0x1 paused, 0x2 error,
// 0x4 deleting, 0x10 printing, 0x20 offline, 0x40 paper out.
struct JobEntry {
  uint32_t jobId = 0;
  std::optional<std::string> document;  // UTF-8; absent when null
  std::optional<std::string> userName;  // UTF-8; absent when null
  uint32_t status = 0;
  uint32_t totalPages = 0;
  uint32_t pagesPrinted = 0;
};

enum class EnumResult {
  kOk,      // entries delivered (possibly none)
  kEmpty,   // the size query reported nothing to deliver
  kFailed,  // the call failed; LastError() tells why
};

// Access asked for when opening a printer: none (no defaults at all), or
// defaults with only an access right.
enum class PrinterAccess { kNoDefaults, kAdminister, kUse };

enum class JobControl : uint32_t { kPause = 1, kDelete = 5 };

// An open printer; closing it is destroying the handle.
class PrinterHandle {
 public:
  virtual ~PrinterHandle() = default;
};

// GetDeviceCaps indexes the metrics read.
enum DeviceCapIndex : int {
  kHorzRes = 8,
  kVertRes = 10,
  kLogPixelsX = 88,
  kLogPixelsY = 90,
  kPhysicalWidth = 110,
  kPhysicalHeight = 111,
  kPhysicalOffsetX = 112,
  kPhysicalOffsetY = 113,
};

// A printer device context; deleting it is destroying the object.
class DeviceContext {
 public:
  virtual ~DeviceContext() = default;
  virtual int GetDeviceCaps(int index) = 0;
};

struct PaperSizeTenthsMm {
  int32_t x = 0;  // width in 0.1 mm
  int32_t y = 0;  // height in 0.1 mm
};

struct Resolution {
  int32_t x = 0;  // dots per inch
  int32_t y = 0;
};

// DocumentProperties modes.
inline constexpr uint32_t DM_OUT_BUFFER = 2;
inline constexpr uint32_t DM_IN_BUFFER = 8;

class Spooler {
 public:
  virtual ~Spooler() = default;

  // Local and connected printers, in the spooler's order.
  virtual EnumResult EnumPrinters(std::vector<PrinterEntry>& out) = 0;

  // The system's default printer; false when there is none or the call fails.
  virtual bool GetDefaultPrinter(std::string& name) = 0;

  // Null on failure.
  virtual std::unique_ptr<PrinterHandle> OpenPrinter(const std::string& name,
                                                     PrinterAccess access) = 0;

  // Up to `maxJobs` jobs from the first one, in the spooler's order.
  virtual EnumResult EnumJobs(PrinterHandle& printer, uint32_t maxJobs,
                              std::vector<JobEntry>& out) = 0;

  // Non-zero / true when the control was accepted.
  virtual bool SetJob(PrinterHandle& printer, uint32_t jobId, JobControl control) = 0;

  // DocumentPropertiesW. Mode 0 returns the DEVMODE size in bytes (below 1 is
  // failure); DM_OUT_BUFFER (optionally | DM_IN_BUFFER) fills `out` (already
  // sized by the caller) and returns 1 on success.
  virtual int DocumentProperties(PrinterHandle& printer, const std::string& name, DevMode* out,
                                 const DevMode* in, uint32_t mode) = 0;

  // The DEVMODE of GetPrinterW level 9 (the calling user's), 2 or 8. False when
  // the level cannot be read or carries no DEVMODE.
  virtual bool GetPrinterDevMode(PrinterHandle& printer, int level, DevMode& out) = 0;

  // DeviceCapabilitiesW: DC_PAPERS, DC_PAPERSIZE, DC_ENUMRESOLUTIONS. With a
  // null output only the count is returned; -1 (or 0) on failure.
  virtual int PaperIds(const std::string& name, std::vector<int16_t>* out) = 0;
  virtual int PaperSizes(const std::string& name, std::vector<PaperSizeTenthsMm>* out) = 0;
  virtual int Resolutions(const std::string& name, std::vector<Resolution>* out) = 0;

  // CreateDCW("WINSPOOL", name, nullptr, devmode). Null on failure.
  virtual std::unique_ptr<DeviceContext> CreateDC(const std::string& name,
                                                  const DevMode& devmode) = 0;

  // The reason of the calling thread's last failed call (GetLastError / errno
  // or the implementation's own number), as an unsigned number.
  virtual uint32_t LastError() = 0;
};

}  // namespace tb::platform
