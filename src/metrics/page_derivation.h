#pragma once
// The steps DerivePageMetrics is made of, each against the spooler interface so
// that the same rules run on every platform and under a scripted spooler.
#include <memory>
#include <string>

#include "metrics/page_metrics.h"
#include "platform/devmode.h"
#include "platform/spooler.h"

namespace tb::metrics {

// Opens the printer without defaults, then asking for use access only.
std::unique_ptr<platform::PrinterHandle> OpenPrinterForMetrics(platform::Spooler& spooler,
                                                               const std::string& name,
                                                               std::string& error);

// The DEVMODE to measure with: the user's merged into the driver's, the
// driver's own, then the raw printer levels. `requirePageSize` asks for a
// DEVMODE that names a page size rather than one that is merely well-formed.
bool AcquireDevmode(platform::Spooler& spooler, platform::PrinterHandle& printer,
                    const std::string& name, bool preferUser, bool requirePageSize,
                    platform::DevMode& out, bool& usedUser, std::string& error);

// Sheet size in millimetres of the driver's paper `paperId`.
bool PaperSizeById(platform::Spooler& spooler, const std::string& name, int paperId,
                   double& widthMm, double& heightMm);

// The driver's finest resolution, else the DEVMODE's, else 300 dpi; never 0.
void PickResolution(platform::Spooler& spooler, const std::string& name,
                    const platform::DevMode& devmode, int32_t& dpiX, int32_t& dpiY);

// Geometry from the DEVMODE alone: whole sheet printable, no margins.
bool DeriveFromDevmode(platform::Spooler& spooler, const std::string& name,
                       const platform::DevMode& devmode, PageMetrics& record, std::string& error);

// Geometry from a printer device context created with the acquired DEVMODE.
// An invalid ratio fails with an empty error text.
bool DeriveFromDc(platform::Spooler& spooler, const std::string& name, PageMetrics& record,
                  bool preferUser, std::string& error);

// DerivePageMetrics against an explicit spooler.
bool DerivePageMetricsWith(platform::Spooler& spooler, const std::string& printerName,
                           const std::string& sourcePrefix, PageMetrics& out, std::string& error);

}  // namespace tb::metrics
