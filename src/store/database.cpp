#include "store/database.h"

#include <sqlite3.h>

#include "base/logging.h"

namespace tb::store {
namespace {

// Serialised threading mode: SQLite adds its own lock under DbMutex.
constexpr int kOpenFlags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX;
static_assert(kOpenFlags == 0x10006);

// Run at every start; an existing table or index is left as it is.
constexpr const char* kSchema[] = {
    "CREATE TABLE IF NOT EXISTS print_files (id INTEGER PRIMARY KEY AUTOINCREMENT,md5sum TEXT, "
    "RequestTrackingNumber TEXT,filePath TEXT, fileSize BIGINT DEFAULT 0,printerName TEXT, code "
    "INTEGER DEFAULT 0,print_start_time TEXT, print_end_time TEXT);",
    "CREATE INDEX IF NOT EXISTS idx_pf_md5   ON print_files(md5sum);",
    "CREATE INDEX IF NOT EXISTS idx_pf_track ON print_files(RequestTrackingNumber);",
    "CREATE INDEX IF NOT EXISTS idx_pf_path  ON print_files(filePath);",
    "CREATE INDEX IF NOT EXISTS idx_pf_start ON print_files(print_start_time);",
    "CREATE TABLE IF NOT EXISTS config (type VARCHAR(255), flag VARCHAR(255),key  VARCHAR(255), "
    "value VARCHAR(255));",
    "CREATE UNIQUE INDEX IF NOT EXISTS idx_config ON config(type,key,value);",
};

}  // namespace

Database& Database::Shared() {
  static Database db;
  return db;
}

void Database::Open(const std::string& path) {
  MutexLock lock(mutex_);
  if (handle_ != nullptr) return;  // one connection per process
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, kOpenFlags, nullptr) != SQLITE_OK) {
    LogError(std::string("Cannot open DB: ") + (db ? sqlite3_errmsg(db) : "unknown"));
    sqlite3_close(db);  // accepts null
    return;
  }
  handle_ = db;
  // A failing statement (a read-only file, say) shows up later as a prepare
  // failure in whichever caller needs the table.
  for (const char* sql : kSchema) {
    char* error = nullptr;
    sqlite3_exec(handle_, sql, nullptr, nullptr, &error);
    sqlite3_free(error);
  }
}

void Database::Close() {
  MutexLock lock(mutex_);
  if (handle_ == nullptr) return;
  if (sqlite3_close(handle_) != SQLITE_OK) {
    LogError(std::string("sqlite3_close failed: ") + sqlite3_errmsg(handle_));
    return;  // keep the handle: it still owns the connection
  }
  handle_ = nullptr;
}

bool Database::IsOpen() {
  MutexLock lock(mutex_);
  return handle_ != nullptr;
}

void Database::SetBusyTimeout(int milliseconds) {
  MutexLock lock(mutex_);
  if (handle_ != nullptr) sqlite3_busy_timeout(handle_, milliseconds);
}

void OpenDatabase() { Database::Shared().Open("database.db"); }

void CloseDatabase() { Database::Shared().Close(); }

}  // namespace tb::store
