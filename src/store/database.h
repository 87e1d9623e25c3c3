#pragma once
// The one shared SQLite connection to database.db and the lock that guards it.
#include <mutex>
#include <string>

struct sqlite3;

namespace tb::store {

class Database {
 public:
  // The process-wide connection used by every subsystem.
  static Database& Shared();

  // OpenDatabase: opens (creating when missing) and runs the schema. On failure
  // logs "Cannot open DB: ..." and stays closed.
  void Open(const std::string& path = "database.db");
  // CloseDatabase.
  void Close();

  // Both take Mutex(): not for callers already holding it.
  bool IsOpen();
  // sqlite3_busy_timeout on the open connection; nothing when closed.
  void SetBusyTimeout(int milliseconds);

  // DbMutex: always the innermost lock.
  std::mutex& Mutex() { return mutex_; }
  // Only while Mutex() is held; null when no database is open.
  sqlite3* Handle() const { return handle_; }

 private:
  std::mutex mutex_;
  sqlite3* handle_ = nullptr;
};

// How long a statement that meets a locked file keeps retrying.
inline constexpr int kBusyTimeoutMs = 5000;

void OpenDatabase();
void CloseDatabase();

}  // namespace tb::store
