#pragma once
// The one cached way to obtain a printer's page metrics.
#include <string>

#include "metrics/page_metrics.h"

namespace tb::metrics {

// Cached for 600 s per printer; on a miss runs the query tiers. False with the
// error text when every tier failed.
bool GetPrinterPageMetrics(const std::string& printerName, PageMetrics& out, std::string& error);

// Empties the cache (the hourly maintenance pass).
void ClearMetricsCache();

}  // namespace tb::metrics
