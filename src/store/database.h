#pragma once
// The one shared SQLite connection to database.db and the lock that guards it.
#include <string>

#include "base/thread_annotations.h"

struct sqlite3;

namespace tb::store {

class Database {
 public:
  // The process-wide connection used by every subsystem.
  static Database& Shared();

  // OpenDatabase: opens (creating when missing) and runs the schema. On failure
  // logs "Cannot open DB: ..." and stays closed.
  // Takes Mutex(), like the three below.
  void Open(const std::string& path = "database.db") EXCLUDES(mutex_);
  // CloseDatabase. A connection SQLite refuses to close stays open.
  void Close() EXCLUDES(mutex_);

  // These take Mutex(): not for callers already holding it.
  bool IsOpen() EXCLUDES(mutex_);
  // sqlite3_busy_timeout on the open connection; nothing when closed.
  void SetBusyTimeout(int milliseconds) EXCLUDES(mutex_);

  // DbMutex: always the innermost lock.
  tb::Mutex& Mutex() RETURN_CAPABILITY(mutex_) { return mutex_; }
  // Only while Mutex() is held; null when no database is open. The
  // connection stays owned by this object.
  sqlite3* Handle() const REQUIRES(mutex_) { return handle_; }

 private:
  tb::Mutex mutex_;
  sqlite3* handle_ GUARDED_BY(mutex_) = nullptr;
};

// How long a statement that meets a locked file keeps retrying.
inline constexpr int kBusyTimeoutMs = 5000;

void OpenDatabase();
void CloseDatabase();

}  // namespace tb::store
