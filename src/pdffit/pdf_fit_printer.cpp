// The fit step with the daemon's own metrics source, kept apart so that code
// which supplies its own lookup does not pull in the metrics tiers.
#include "metrics/metrics_query.h"
#include "pdffit/pdf_fit.h"

namespace tb::pdffit {

std::string FitDocumentForPrinter(const std::string& document, const std::string& printer) {
  return FitDocumentForPrinter(document, printer, &metrics::GetPrinterPageMetrics);
}

}  // namespace tb::pdffit
