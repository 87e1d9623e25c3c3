#pragma once
// What a print needs from the other subsystems, gathered in one place so that
// the print path can be exercised with stand-ins. Production uses
// DefaultPrintServices().
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "printers/job_queue.h"
#include "store/config_store.h"

namespace tb::printing {

// The waits of one print, in their order of use.
struct PrintTimeLimits {
  std::chrono::milliseconds programExit{15000};        // then the graceful close
  std::chrono::milliseconds helperFinish{3000};        // the close helper itself
  std::chrono::milliseconds programAfterHelper{5000};  // then forced termination
  std::chrono::milliseconds afterTerminate{2000};
  std::chrono::milliseconds pauseBeforeCancel{1500};   // before clearing the queue
};

struct PrintServices {
  // ListConfig(type, key): rows of the config table.
  std::function<std::vector<store::ConfigEntry>(const std::string&, const std::string&)> listConfig;
  // The configured AUTO_SCALE_PDF_TO_PRINTER.
  std::function<bool()> autoScalePdf;
  // The configured print setting: fit, shrink, noscale or stretch.
  std::function<std::string()> printSettings;
  // The daemon's default-printer rule; possibly empty.
  std::function<std::string()> resolveDefaultPrinter;
  // Deletes the printer's queued jobs that the filter takes, for a caller
  // acting as their owner; may throw std::runtime_error.
  std::function<int(std::string&, const printers::JobFilter&)> cancelPrintJob;
  // Whether the client that asked for the print has gone; null: never asked.
  std::function<bool()> clientGone;
  // Whether an administrator switched the printer on for raw printing.
  std::function<bool(const std::string&)> rawPrintingAllowed;
  PrintTimeLimits limits;
};

// The configuration store, the printer list and the job queue.
PrintServices DefaultPrintServices();

}  // namespace tb::printing
