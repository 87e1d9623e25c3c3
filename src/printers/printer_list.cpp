#include "printers/printer_list.h"

#include <cctype>
#include <map>
#include <optional>
#include <utility>
#include <vector>

#include "base/text.h"
#include "base/thread_annotations.h"
#include "platform/platform.h"
#include "platform/spooler.h"
#include "store/config_store.h"

namespace tb::printers {
namespace {

using Clock = std::chrono::steady_clock;
using nlohmann::json;

constexpr const char* kPrintersKey = "printers";

// Keyed lists with an expiry; only "printers" is used today.
class PrinterListCache {
 public:
  void Put(const std::string& key, json list, Clock::time_point expiry) {
    MutexLock lock(mutex_);
    entries_[key] = Entry{std::move(list), expiry, true};
  }

  // A hit copies the list out; an expired entry is dropped.
  bool Get(const std::string& key, Clock::time_point now, json& out) {
    MutexLock lock(mutex_);
    auto it = entries_.find(key);
    if (it == entries_.end()) return false;
    if (it->second.hasExpiry && now > it->second.expiry) {
      entries_.erase(it);
      return false;
    }
    out = it->second.list;
    return true;
  }

  void Clear() {
    MutexLock lock(mutex_);
    entries_.clear();
  }

 private:
  struct Entry {
    json list;
    Clock::time_point expiry;
    bool hasExpiry = false;
  };
  Mutex mutex_;
  std::map<std::string, Entry> entries_ GUARDED_BY(mutex_);
};

// PrinterCacheMutex guards the cache, the remembered default and the clock.
Mutex g_printerCacheMutex;
PrinterListCache g_cache GUARDED_BY(g_printerCacheMutex);
std::string g_systemDefault GUARDED_BY(g_printerCacheMutex);
CacheClock g_clock GUARDED_BY(g_printerCacheMutex);

Clock::time_point NowLocked() REQUIRES(g_printerCacheMutex) {
  return g_clock ? g_clock() : Clock::now();
}

void StoreList(const json& list) EXCLUDES(g_printerCacheMutex) {
  MutexLock lock(g_printerCacheMutex);
  g_cache.Put(kPrintersKey, list, NowLocked() + kPrinterCacheTtl);
}

struct StatusBitText {
  uint32_t bit;
  const char* text;
};

constexpr StatusBitText kStatusBits[] = {
    {0x1, "Paused "},      {0x2, "Error "},        {0x4, "Deleting "},  {0x8, "Paper Jam "},
    {0x10, "Paper Out "},  {0x20, "Manual Feed "}, {0x40, "Paper Problem "},
    {0x80, "Offline "},    {0x100, "Printing "},   {0x200, "Busy "},
};

// The first "*" row names the daemon's default printer.
std::optional<std::string> ConfiguredDefault() {
  std::vector<store::ConfigEntry> rows = store::ListConfig("*", "");
  if (rows.empty()) return std::nullopt;
  return rows.front().value;
}

}  // namespace

std::string PrinterStatusText(uint32_t status) {
  if (status == 0) return "Ready";
  std::string text;
  for (const StatusBitText& b : kStatusBits) {
    if (status & b.bit) text += b.text;
  }
  if (text.empty()) text = "Other (" + std::to_string(status) + ")";
  return text;
}

void RefreshPrinters(json& list) {
  list = json::array();
  platform::Spooler* spooler = platform::Current().spooler;
  if (!spooler) return;  // no spooler on this build: nothing to list

  std::vector<platform::PrinterEntry> entries;
  switch (spooler->EnumPrinters(entries)) {
    case platform::EnumResult::kEmpty:
      // Nothing installed is an answer worth keeping; the default stays.
      StoreList(list);
      return;
    case platform::EnumResult::kFailed:
      return;
    case platform::EnumResult::kOk:
      break;
  }
  for (const platform::PrinterEntry& e : entries) {
    if (!e.name) continue;
    // Invalid UTF-8 reads as empty text, as a failed conversion does.
    list.push_back(json{{"name", StrictUtf8(*e.name)}, {"status", PrinterStatusText(e.status)}});
  }
  StoreList(list);

  std::string systemDefault;
  if (!spooler->GetDefaultPrinter(systemDefault)) systemDefault.clear();
  MutexLock lock(g_printerCacheMutex);
  g_systemDefault = StrictUtf8(systemDefault);
}

bool GetCachedPrinters(json& list) {
  MutexLock lock(g_printerCacheMutex);
  return g_cache.Get(kPrintersKey, NowLocked(), list);
}

json GetPrinterList() {
  json list;
  if (!GetCachedPrinters(list)) RefreshPrinters(list);
  return list;
}

std::string GetCachedDefaultPrinter() {
  MutexLock lock(g_printerCacheMutex);
  return g_systemDefault;
}

json ListPrintersWithDefault() {
  json list = GetPrinterList();
  const std::string defaultName = ConfiguredDefault().value_or(GetCachedDefaultPrinter());
  if (!defaultName.empty()) {
    for (json& entry : list) {
      auto name = entry.find("name");
      if (name != entry.end() && name->is_string() && name->get_ref<const std::string&>() == defaultName) {
        entry["default"] = true;
        break;
      }
    }
  }
  return list;
}

std::string ResolveDefaultPrinter() {
  const json list = GetPrinterList();  // may refresh the remembered default
  if (std::optional<std::string> configured = ConfiguredDefault()) return *configured;
  if (list.size() == 1) return list[0].value("name", std::string());
  return GetCachedDefaultPrinter();
}

namespace {
bool LooksRemote(const std::string& name) {
  auto separator = [](char c) { return c == '\\' || c == '/'; };
  return name.size() >= 2 && separator(name[0]) && separator(name[1]);
}

#ifdef _WIN32
constexpr bool kOnlyExactNames = true;
#else
constexpr bool kOnlyExactNames = false;
#endif
}  // namespace

bool IsUnlistedRemotePrinter(const std::string& name) {
  if (!kOnlyExactNames && !LooksRemote(name)) return false;
  return IsUnlistedPrinterIn(GetPrinterList(), name, kOnlyExactNames);
}

bool IsUnlistedPrinterIn(const json& list, const std::string& name, bool onlyExactNames) {
  if (!onlyExactNames && !LooksRemote(name)) return false;
  // Printer names compare without regard to ASCII case, as the spooler does;
  // the exact rule takes the name only as the list spells it.
  auto same = [&name, onlyExactNames](const std::string& other) {
    if (onlyExactNames) return other == name;
    if (other.size() != name.size()) return false;
    for (size_t i = 0; i < name.size(); ++i) {
      unsigned char a = static_cast<unsigned char>(name[i]);
      unsigned char b = static_cast<unsigned char>(other[i]);
      if (a != b && std::tolower(a) != std::tolower(b)) return false;
    }
    return true;
  };
  // A list that cannot be read refuses every remote name.
  for (const json& entry : list) {
    auto it = entry.find("name");
    if (it != entry.end() && it->is_string() && same(it->get_ref<const std::string&>()))
      return false;
  }
  return true;
}

void SetPrinterCacheClock(CacheClock clock) {
  MutexLock lock(g_printerCacheMutex);
  g_clock = std::move(clock);
}

void ResetPrinterCache() {
  MutexLock lock(g_printerCacheMutex);
  g_cache.Clear();
  g_systemDefault.clear();
}

}  // namespace tb::printers
