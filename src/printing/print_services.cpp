#include "printing/print_services.h"

#include "printers/job_queue.h"
#include "printers/printer_list.h"

namespace tb::printing {

PrintServices DefaultPrintServices() {
  PrintServices s;
  s.listConfig = store::ListConfig;
  s.autoScalePdf = store::GetAutoScalePdf;
  s.printSettings = store::GetPrintSettings;
  s.resolveDefaultPrinter = printers::ResolveDefaultPrinter;
  // The print's own printer, already known to be the account's.
  s.cancelPrintJob = [](std::string& name, const printers::JobFilter& filter) {
    return printers::CancelOwnJobs(name, filter);
  };
  s.rawPrintingAllowed = store::GetRawPrintingAllowed;
  return s;
}

}  // namespace tb::printing
