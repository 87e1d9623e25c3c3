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
  s.cancelPrintJob = printers::CancelPrintJob;
  return s;
}

}  // namespace tb::printing
