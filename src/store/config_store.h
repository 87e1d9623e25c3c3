#pragma once
// The configuration rows of the config table and the two print settings.
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "base/thread_annotations.h"

namespace tb::store {

struct ConfigEntry {
  std::string type;
  std::string flag;
  std::string key;
  std::string value;
};

// ConfigWriteMutex: taken before DbMutex by every writer and by GetConfigValue.
Mutex& ConfigWriteMutex();

nlohmann::json ConfigEntryToJson(const ConfigEntry& entry);  // all four members

// Empty type / key = no filter on it. Empty list without a database.
std::vector<ConfigEntry> ListConfig(const std::string& type, const std::string& key);
// Entries are JSON objects with optional string members type, flag, key, value.
bool SetConfigValues(const std::vector<nlohmann::json>& entries);
// Maps client `key` to printer `value` (the row ("", key)), unless the key is
// new and `maxKeys` client keys exist already.
enum class ClientKeyWrite { kSaved, kTooMany, kFailed };
ClientKeyWrite SetClientKeyPrinter(const std::string& key, const std::string& value,
                                   size_t maxKeys);
bool SetConfigValue(const std::string& type, const std::string& key, const std::string& value,
                    std::string* error = nullptr);
std::string GetConfigValue(const std::string& type, const std::string& key,
                           const std::string& defaultValue);
// Rows deleted, or -1 when the database is closed or the delete failed.
int DeleteConfig(const std::string& type, const std::string& key);

std::string NormalizePrintSettings(std::string_view text);
bool SetPrintSettings(std::string_view text, std::string* error = nullptr);
std::string GetPrintSettings();
bool SetAutoScalePdf(bool on, std::string* error = nullptr);
bool GetAutoScalePdf();
void SeedConfigDefaults();

// Raw printing, switched per printer: the row ("RAW_PRINTING", printer name)
// holds "1" when it is on; no row or any other value means off.
inline constexpr const char* kRawPrintingType = "RAW_PRINTING";
bool GetRawPrintingAllowed(const std::string& printer);
bool SetRawPrintingAllowed(const std::string& printer, bool on, std::string* error = nullptr);

}  // namespace tb::store
