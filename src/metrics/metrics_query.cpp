#include "metrics/metrics_query.h"

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "base/logging.h"
#include "base/service_context.h"
#include "metrics/metrics_helper.h"
#include "platform/launcher.h"
#include "platform/platform.h"
#include "platform/process.h"
#include "printers/printer_list.h"

namespace tb::metrics {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kCacheLifetime = std::chrono::seconds(600);

struct CacheEntry {
  PageMetrics metrics;
  Clock::time_point expiry;
};

std::mutex g_cacheMutex;
std::map<std::string, CacheEntry> g_cache;

std::mutex g_clockMutex;
MetricsClock g_clock;

Clock::time_point Now() {
  std::lock_guard<std::mutex> lock(g_clockMutex);
  return g_clock ? g_clock() : Clock::now();
}

void AddFailure(std::string& log, const char* label, const std::string& text) {
  if (!log.empty()) log += " || ";
  log += label;
  log += ": ";
  log += text.empty() ? "failed" : text;
}

// A thread that cannot stop acting as the user ends the process; this is
// the line it leaves.
void LogFailedRevert(const std::string& failure) {
  LogError("[Service] " + failure + "; ending the process");
}

}  // namespace

void SetMetricsClockForTesting(MetricsClock clock) {
  std::lock_guard<std::mutex> lock(g_clockMutex);
  g_clock = std::move(clock);
}

bool GetPrinterPageMetrics(const std::string& printerName, PageMetrics& out, std::string& error) {
  const Clock::time_point now = Now();
  {
    std::lock_guard<std::mutex> lock(g_cacheMutex);
    auto it = g_cache.find(printerName);
    if (it != g_cache.end()) {
      if (it->second.expiry > now) {
        out = it->second.metrics;
        return true;
      }
      g_cache.erase(it);
    }
  }

  // No lock while the tiers run: they may take a minute.
  PageMetrics fresh;
  if (!QueryMetricsByTiers(printerName, fresh, error)) return false;

  std::lock_guard<std::mutex> lock(g_cacheMutex);
  for (auto it = g_cache.begin(); it != g_cache.end();) {
    it = it->second.expiry <= now ? g_cache.erase(it) : std::next(it);
  }
  g_cache[printerName] = CacheEntry{fresh, now + kCacheLifetime};
  out = std::move(fresh);
  return true;
}

void ClearMetricsCache() {
  std::lock_guard<std::mutex> lock(g_cacheMutex);
  g_cache.clear();
}

std::unique_ptr<platform::Impersonation> ImpersonateSessionUser(std::string& error) {
  platform::Platform& p = platform::Current();
  const uint32_t session = p.launcher ? p.launcher->ActiveUserSession() : platform::kNoSession;
  if (session == platform::kNoSession) {
    error = "no interactive session";
    return nullptr;
  }
  if (!p.metricsChannel) {
    error = "impersonation is not available on this system";
    return nullptr;
  }
  p.metricsChannel->SetFatalReport(&LogFailedRevert);
  return p.metricsChannel->ImpersonateSessionUser(session, error);
}

void EndImpersonation(std::unique_ptr<platform::Impersonation>& context) { context.reset(); }

bool QueryMetricsByTiers(const std::string& printerName, PageMetrics& out, std::string& error) {
  platform::Platform& p = platform::Current();
  // Unknown counts as the service: its tiers keep the user's and the
  // service's views apart.
  const bool inService = p.process && ActsAsService(*p.process);
  if (!inService) {
    std::string text;
    if (DerivePageMetrics(printerName, "interactive:", out, text)) return true;
    error = "all interactive tiers failed [" + text + "]";
    return false;
  }

  std::string log;
  {
    PageMetrics viaHelper;
    std::string text;
    if (QueryMetricsViaHelper(printerName, viaHelper, text)) {
      viaHelper.source = viaHelper.source.empty() ? "active-user-process"
                                                  : "active-user-process/" + viaHelper.source;
      out = std::move(viaHelper);
      return true;
    }
    AddFailure(log, "active-user-process", text);
  }
  {
    std::string text;
    std::unique_ptr<platform::Impersonation> context = ImpersonateSessionUser(text);
    if (context) {
      PageMetrics asUser;
      const bool ok = DerivePageMetrics(printerName, "impersonated:", asUser, text);
      EndImpersonation(context);
      if (ok) {
        out = std::move(asUser);
        return true;
      }
    }
    AddFailure(log, "impersonated-session0", text);
  }
  {
    PageMetrics asService;
    std::string text;
    // As the service itself, a name of another computer's printer would make
    // the spooler connect there with the machine's credentials.
    if (printers::IsUnlistedRemotePrinter(printerName)) {
      text = "OpenPrinterW failed: 1801 (not an installed printer)";
    } else if (DerivePageMetrics(printerName, "system:", asService, text)) {
      out = std::move(asService);
      return true;
    }
    AddFailure(log, "system-session0", text);
  }
  error = "cannot determine printable area for \"" + printerName + "\": " + log;
  return false;
}

}  // namespace tb::metrics
