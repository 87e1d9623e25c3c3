#include "store/print_records.h"

#include <sqlite3.h>

#include "base/logging.h"
#include "store/database.h"
#include "store/statement.h"

namespace tb::store {

void RecordPrint(const PrintRecord& r) {
  static const char* kInsert =
      "INSERT INTO print_files(md5sum,RequestTrackingNumber,filePath,fileSize,printerName,code,"
      "print_start_time,print_end_time) VALUES(?,?,?,?,?,?,?,?);";
  std::string failure;
  {
    Database& db = Database::Shared();
    MutexLock lock(db.Mutex());
    if (!db.Handle()) {
      failure = "INSERT prepare failed: database is not initialized";
    } else {
      Statement st(db.Handle(), kInsert);
      if (!st.Ok()) {
        failure = std::string("INSERT prepare failed: ") + sqlite3_errmsg(db.Handle());
      } else {
        st.BindText(1, r.md5sum);
        st.BindText(2, r.requestTrackingNumber);
        st.BindText(3, r.filePath);
        st.BindInt64(4, r.fileSize);
        st.BindText(5, r.printerName);
        st.BindInt(6, r.code);
        st.BindText(7, r.printStartTime);
        st.BindText(8, r.printEndTime);
        if (st.Step() != SQLITE_DONE) {
          failure = std::string("INSERT print_files failed: ") + sqlite3_errmsg(db.Handle());
        }
      }
    }
  }
  // Logged outside DbMutex, which stays the innermost lock.
  if (!failure.empty()) LogError(failure);
}

std::optional<int> DeleteOldPrintRecords() {
  Database& db = Database::Shared();
  MutexLock lock(db.Mutex());
  if (db.Handle() == nullptr) return std::nullopt;
  // Start times carry milliseconds, so one equal to the cut-off second
  // compares greater and is kept.
  Statement st(db.Handle(),
               "DELETE FROM print_files WHERE print_start_time < "
               "datetime('now','-3 days','localtime');");
  if (!st.Ok()) return std::nullopt;
  return st.Step() == SQLITE_DONE ? sqlite3_changes(db.Handle()) : 0;
}

nlohmann::json ListHistory() {
  nlohmann::json list = nlohmann::json::array();
  Database& db = Database::Shared();
  MutexLock lock(db.Mutex());
  if (db.Handle() == nullptr) return list;
  Statement st(db.Handle(),
               "SELECT id,md5sum,RequestTrackingNumber,filePath,fileSize,printerName,code,"
               "print_start_time,print_end_time FROM print_files ORDER BY id DESC LIMIT 1000;");
  if (!st.Ok()) return list;
  while (st.Step() == SQLITE_ROW) {
    list.push_back({
        {"id", st.ColumnInt64(0)},
        {"md5sum", st.ColumnText(1)},
        {"RequestTrackingNumber", st.ColumnText(2)},
        {"filePath", st.ColumnText(3)},
        {"fileSize", st.ColumnInt64(4)},
        {"printerName", st.ColumnText(5)},
        {"code", st.ColumnInt(6)},
        {"start_time", st.ColumnText(7)},
        {"end_time", st.ColumnText(8)},
    });
  }
  return list;
}

}  // namespace tb::store
