#pragma once
// Vertical page-ratio fitting of cached PDFs: pages whose width:height
// differs from the printer's printable area are stretched or squashed
// vertically into a copy beside the cached document, which later prints of
// the same document on a printer of the same printable size reuse.
#include <functional>
#include <string>

#include "metrics/page_metrics.h"

namespace tb::pdffit {

// How the fit step obtains a printer's page metrics: true with the record, or
// false with the error text.
using MetricsLookup =
    std::function<bool(const std::string& printer, metrics::PageMetrics& out, std::string& error)>;

// The fit step of the print path: the path to print (a fitted copy, new or
// reused, or `document` unchanged). Never fails; failures are logged as
// warnings and the original is printed. Uses GetPrinterPageMetrics.
std::string FitDocumentForPrinter(const std::string& document, const std::string& printer);
std::string FitDocumentForPrinter(const std::string& document, const std::string& printer,
                                  const MetricsLookup& lookup);

// "<document without extension>_printfit_v2_<W>x<H>.pdf" in the document's
// folder, keyed by the printable size in device pixels, with
// "_<dpiX>x<dpiY>dpi" before ".pdf" when the two resolutions differ.
std::string FittedCopyPath(const std::string& document, const metrics::PageMetrics& metrics);

// Writes `destination` with every page whose ratio is off by more than 0.1 %
// scaled vertically to `targetRatio`. True on success, `changed` false when no
// page needed it (then nothing is written); false with the error text.
bool FitPdfToRatio(const std::string& source, const std::string& destination, double targetRatio,
                   bool& changed, std::string& error);

}  // namespace tb::pdffit
