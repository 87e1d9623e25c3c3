#pragma once
// Installed printers with their status text, the 15-minute list cache, the
// remembered system default and the daemon's own default-printer rule.
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include <nlohmann/json.hpp>

namespace tb::printers {

inline constexpr std::chrono::milliseconds kPrinterCacheTtl{900000};  // 15 minutes

std::string PrinterStatusText(uint32_t status);

// Fresh enumeration; fills `list` (a JSON array of {"name","status"}), empty on
// failure, and refreshes the cache and the remembered system default.
void RefreshPrinters(nlohmann::json& list);
// True and the list on a fresh cache entry.
bool GetCachedPrinters(nlohmann::json& list);
// The cached list, or a refresh on a miss.
nlohmann::json GetPrinterList();
std::string GetCachedDefaultPrinter();
// The /printers body: the list with "default": true on the daemon's default.
nlohmann::json ListPrintersWithDefault();
// The configured "*" printer, else the only printer, else the system default.
std::string ResolveDefaultPrinter();

// True for a name the service must not hand to the spooler as itself: one of
// a printer on another computer ("\\host\queue") that is not among the
// installed printers (the spooler would connect to that host with the
// machine's credentials). On Windows every name that is not exactly one of
// the service's own printers: a URL ("http://host/printers/q/.printer") or a
// port-monitor or job form ("Q,XcvMonitor m", "Q,Job 5") reaches as much.
bool IsUnlistedRemotePrinter(const std::string& name);
// The rule itself, against a given list; `onlyExactNames` is the Windows one.
bool IsUnlistedPrinterIn(const nlohmann::json& list, const std::string& name, bool onlyExactNames);

// The clock the cache reads its expiry against; an empty function restores the
// steady clock. Lets tests move time instead of waiting.
using CacheClock = std::function<std::chrono::steady_clock::time_point()>;
void SetPrinterCacheClock(CacheClock clock);
// Forgets the cached list and the remembered system default.
void ResetPrinterCache();

}  // namespace tb::printers
