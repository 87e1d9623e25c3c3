#pragma once
// The one cached way to obtain a printer's page metrics.
#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "metrics/page_metrics.h"
#include "platform/metrics_channel.h"

namespace tb::metrics {

// Cached for 600 s per printer; on a miss runs the query tiers. False with the
// error text when every tier failed.
bool GetPrinterPageMetrics(const std::string& printerName, PageMetrics& out, std::string& error);

// Empties the cache (the hourly maintenance pass).
void ClearMetricsCache();

// The uncached query: in a user's session the daemon measures itself; in the
// service it asks the helper in the user's session, then measures while
// impersonating the user, then as itself.
bool QueryMetricsByTiers(const std::string& printerName, PageMetrics& out, std::string& error);

// Impersonation of the active session's user on the calling thread, ended by
// EndImpersonation (or by destroying the context).
std::unique_ptr<platform::Impersonation> ImpersonateSessionUser(std::string& error);
void EndImpersonation(std::unique_ptr<platform::Impersonation>& context);

// The monotonic clock the cache ages by; tests replace it (null restores).
using MetricsClock = std::function<std::chrono::steady_clock::time_point()>;
void SetMetricsClockForTesting(MetricsClock clock);

}  // namespace tb::metrics
