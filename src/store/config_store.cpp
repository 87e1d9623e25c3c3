#include "store/config_store.h"

#include <sqlite3.h>

#include "base/logging.h"
#include "store/database.h"
#include "store/statement.h"

namespace tb::store {
namespace {

constexpr const char* kDeleteByTypeKey = "DELETE FROM config WHERE type=? AND key=?;";
constexpr const char* kInsert = "INSERT INTO config(type,flag,key,value) VALUES(?,?,?,?);";

constexpr const char* kPrintType = "PRINT";
constexpr const char* kPrintSettingsKey = "SUMATRA_PRINT_SETTINGS";
constexpr const char* kAutoScaleKey = "AUTO_SCALE_PDF_TO_PRINTER";
constexpr const char* kDefaultPrintSettings = "fit";

// sqlite3_exec; `errorText` gets the text SQLite handed back (empty when it
// gave none), which is released here.
bool Exec(sqlite3* db, const char* sql, std::string* errorText = nullptr) {
  char* error = nullptr;
  const bool ok = sqlite3_exec(db, sql, nullptr, nullptr, &error) == SQLITE_OK;
  if (errorText) *errorText = error ? error : "";
  sqlite3_free(error);
  return ok;
}

void Rollback(sqlite3* db) { Exec(db, "ROLLBACK;"); }

// Runs one statement of an open transaction. On failure the statement is
// finalized (the rollback needs no statement pending), the transaction
// rolled back and `message` holds SQLite's text.
bool StepOrRollBack(sqlite3* db, Statement& statement, std::string& message) {
  if (statement.Ok() && statement.Step() == SQLITE_DONE) return true;
  message = sqlite3_errmsg(db);
  statement.Finalize();
  Rollback(db);
  return false;
}

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string LowerAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = LowerAscii(c);
  return out;
}

// Reads member `name` of a batch entry: missing gives empty text; anything
// but a string makes the entry unusable.
bool ReadMember(const nlohmann::json& entry, const char* name, std::string* out) {
  auto it = entry.find(name);
  if (it == entry.end()) {
    out->clear();
    return true;
  }
  if (!it->is_string()) return false;
  *out = it->get<std::string>();
  return true;
}

}  // namespace

Mutex& ConfigWriteMutex() {
  static Mutex m;
  return m;
}

nlohmann::json ConfigEntryToJson(const ConfigEntry& entry) {
  return nlohmann::json{
      {"type", entry.type}, {"flag", entry.flag}, {"key", entry.key}, {"value", entry.value}};
}

std::vector<ConfigEntry> ListConfig(const std::string& type, const std::string& key) {
  std::vector<ConfigEntry> rows;
  Database& db = Database::Shared();
  MutexLock lock(db.Mutex());
  if (db.Handle() == nullptr) return rows;

  std::string sql = "SELECT type,flag,key,value FROM config";
  if (!type.empty() && !key.empty()) {
    sql += " WHERE type=? AND key=?";
  } else if (!type.empty()) {
    sql += " WHERE type=?";
  } else if (!key.empty()) {
    sql += " WHERE key=?";
  }
  sql += ";";
  Statement st(db.Handle(), sql);
  if (!st.Ok()) return rows;
  int index = 1;
  if (!type.empty()) st.BindText(index++, type);
  if (!key.empty()) st.BindText(index, key);
  while (st.Step() == SQLITE_ROW) {
    rows.push_back({st.ColumnText(0), st.ColumnText(1), st.ColumnText(2), st.ColumnText(3)});
  }
  return rows;
}

namespace {

// SetConfigValues with ConfigWriteMutex already held.
bool WriteConfigValues(const std::vector<nlohmann::json>& entries) REQUIRES(ConfigWriteMutex()) {
  Database& db = Database::Shared();
  MutexLock lock(db.Mutex());
  sqlite3* handle = db.Handle();
  if (handle == nullptr) return false;

  std::string error;
  if (!Exec(handle, "BEGIN IMMEDIATE TRANSACTION;", &error)) {
    if (!error.empty()) LogError("SetConfigValues BEGIN failed: " + error);
    return false;
  }
  Statement del(handle, kDeleteByTypeKey);
  if (!del.Ok()) {
    Rollback(handle);
    return false;
  }
  Statement ins(handle, kInsert);
  if (!ins.Ok()) {
    del.Finalize();
    Rollback(handle);
    return false;
  }

  for (size_t i = 0; i < entries.size(); ++i) {
    const nlohmann::json& entry = entries[i];
    std::string type, flag, key, value;
    // A malformed entry fails the whole batch like a failed write, so the
    // rows written for earlier entries are undone with it.
    if (!entry.is_object() || !ReadMember(entry, "type", &type) ||
        !ReadMember(entry, "flag", &flag) || !ReadMember(entry, "key", &key) ||
        !ReadMember(entry, "value", &value)) {
      del.Finalize();
      ins.Finalize();
      LogError("SetConfigValues failed: entry " + std::to_string(i) +
               " is not an object of string members");
      Rollback(handle);
      return false;
    }
    del.BindText(1, type);
    del.BindText(2, key);
    bool ok = del.Step() == SQLITE_DONE;
    if (ok) {
      del.Reset();
      ins.BindText(1, type);
      ins.BindText(2, flag);
      ins.BindText(3, key);
      ins.BindText(4, value);
      ok = ins.Step() == SQLITE_DONE;
      if (ok) ins.Reset();
    }
    if (!ok) {
      del.Finalize();
      ins.Finalize();
      LogError(std::string("SetConfigValues failed: ") + sqlite3_errmsg(handle));
      Rollback(handle);
      return false;
    }
  }
  del.Finalize();
  ins.Finalize();

  if (!Exec(handle, "COMMIT;", &error)) {
    if (!error.empty()) LogError("SetConfigValues COMMIT failed: " + error);
    Rollback(handle);
    return false;
  }
  return true;
}

}  // namespace

bool SetConfigValues(const std::vector<nlohmann::json>& entries) {
  MutexLock writeLock(ConfigWriteMutex());
  return WriteConfigValues(entries);
}

ClientKeyWrite SetClientKeyPrinter(const std::string& key, const std::string& value,
                                   size_t maxKeys) {
  MutexLock writeLock(ConfigWriteMutex());
  // Counted under the write lock, so that writers at once cannot pass the cap.
  size_t keys = 0;
  for (const ConfigEntry& row : ListConfig("", "")) {
    if (!row.type.empty() || row.key.empty()) continue;
    if (row.key == key) {
      keys = 0;  // an existing key is only remapped
      break;
    }
    ++keys;
  }
  if (keys >= maxKeys) return ClientKeyWrite::kTooMany;
  return WriteConfigValues({nlohmann::json{{"key", key}, {"value", value}}}) ? ClientKeyWrite::kSaved
                                                                             : ClientKeyWrite::kFailed;
}

bool SetConfigValue(const std::string& type, const std::string& key, const std::string& value,
                    std::string* error) {
  auto fail = [error](std::string text) {
    if (error) *error = std::move(text);
    return false;
  };
  MutexLock writeLock(ConfigWriteMutex());
  Database& db = Database::Shared();
  MutexLock lock(db.Mutex());
  sqlite3* handle = db.Handle();
  if (handle == nullptr) return fail("database is not initialized");

  std::string text;
  if (!Exec(handle, "BEGIN IMMEDIATE TRANSACTION;", &text)) {
    return fail(text.empty() ? "BEGIN transaction failed" : text);
  }
  {
    Statement del(handle, kDeleteByTypeKey);
    if (del.Ok()) {
      del.BindText(1, type);
      del.BindText(2, key);
    }
    if (!StepOrRollBack(handle, del, text)) return fail(text);
  }
  {
    Statement ins(handle, kInsert);
    if (ins.Ok()) {
      ins.BindText(1, type);
      ins.BindText(2, "");
      ins.BindText(3, key);
      ins.BindText(4, value);
    }
    if (!StepOrRollBack(handle, ins, text)) return fail(text);
  }
  if (!Exec(handle, "COMMIT;", &text)) {
    Rollback(handle);
    return fail(text.empty() ? "COMMIT failed" : text);
  }
  return true;
}

std::string GetConfigValue(const std::string& type, const std::string& key,
                           const std::string& defaultValue) {
  MutexLock writeLock(ConfigWriteMutex());
  Database& db = Database::Shared();
  MutexLock lock(db.Mutex());
  if (db.Handle() == nullptr) return defaultValue;
  Statement st(db.Handle(),
               "SELECT value FROM config WHERE type=? AND key=? ORDER BY rowid DESC LIMIT 1;");
  if (!st.Ok()) return defaultValue;
  st.BindText(1, type);
  st.BindText(2, key);
  if (st.Step() == SQLITE_ROW && !st.ColumnIsNull(0)) return st.ColumnText(0);
  return defaultValue;
}

int DeleteConfig(const std::string& type, const std::string& key) {
  MutexLock writeLock(ConfigWriteMutex());
  Database& db = Database::Shared();
  MutexLock lock(db.Mutex());
  sqlite3* handle = db.Handle();
  if (handle == nullptr) return -1;
  Statement st(handle, key.empty() ? "DELETE FROM config WHERE type=?;" : kDeleteByTypeKey);
  if (!st.Ok()) {
    LogError(std::string("DeleteConfig prepare failed: ") + sqlite3_errmsg(handle));
    return -1;
  }
  st.BindText(1, type);
  if (!key.empty()) st.BindText(2, key);
  if (st.Step() != SQLITE_DONE) {
    // Nothing was deleted: a locked or read-only database must not pass for
    // a delete that found no rows.
    LogError(std::string("DeleteConfig failed: ") + sqlite3_errmsg(handle));
    return -1;
  }
  return sqlite3_changes(handle);
}

std::string NormalizePrintSettings(std::string_view text) {
  std::string s = LowerAscii(text);
  constexpr const char* kTrim = " \t\r\n";
  const size_t first = s.find_first_not_of(kTrim);
  if (first == std::string::npos) return {};
  s = s.substr(first, s.find_last_not_of(kTrim) - first + 1);
  if (s == "fit" || s == "shrink" || s == "noscale" || s == "stretch") return s;
  return {};
}

bool SetPrintSettings(std::string_view text, std::string* error) {
  const std::string mode = NormalizePrintSettings(text);
  if (mode.empty()) {
    if (error) *error = "invalid SUMATRA_PRINT_SETTINGS; allowed: fit, shrink, noscale, stretch";
    return false;
  }
  return SetConfigValue(kPrintType, kPrintSettingsKey, mode, error);
}

std::string GetPrintSettings() {
  const std::string mode =
      NormalizePrintSettings(GetConfigValue(kPrintType, kPrintSettingsKey, kDefaultPrintSettings));
  return mode.empty() ? kDefaultPrintSettings : mode;
}

bool SetAutoScalePdf(bool on, std::string* error) {
  return SetConfigValue(kPrintType, kAutoScaleKey, on ? "1" : "0", error);
}

bool GetAutoScalePdf() {
  const std::string text = LowerAscii(GetConfigValue(kPrintType, kAutoScaleKey, "1"));
  return !(text == "0" || text == "false" || text == "off" || text == "no");
}

bool GetRawPrintingAllowed(const std::string& printer) {
  return !printer.empty() && GetConfigValue(kRawPrintingType, printer, "0") == "1";
}

bool SetRawPrintingAllowed(const std::string& printer, bool on, std::string* error) {
  if (printer.empty()) {
    if (error) *error = "printer name is empty";
    return false;
  }
  if (on) return SetConfigValue(kRawPrintingType, printer, "1", error);
  if (DeleteConfig(kRawPrintingType, printer) >= 0) return true;
  if (error) *error = "the database could not be changed";
  return false;
}

void SeedConfigDefaults() {
  std::string error;
  if (GetConfigValue(kPrintType, kPrintSettingsKey, "").empty() &&
      !SetPrintSettings(kDefaultPrintSettings, &error)) {
    LogError("[Config] failed to initialize SUMATRA_PRINT_SETTINGS: " + error);
  }
  if (GetConfigValue(kPrintType, kAutoScaleKey, "").empty() && !SetAutoScalePdf(true, &error)) {
    LogError("[Config] failed to initialize AUTO_SCALE_PDF_TO_PRINTER: " + error);
  }
}

}  // namespace tb::store
